// One connection to an MQTT broker, behind an interface so that the bridge
// can be driven by a real broker (libmosquitto) or by a stand-in in tests.
//
// A client is one connection attempt and its life: start() connects, and when
// the connection ends (or never comes up) `disconnected` is called once and
// the client is finished. The bridge makes a fresh client for every attempt,
// so nothing the library kept from an old connection is sent again behind
// its back: what is in flight is sent again from the journal.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cabinetd {

struct BrokerSettings {
    std::string host = "127.0.0.1";
    unsigned short port = 1883;
    bool tls = false;
    std::string ca_file; // with tls
    std::string username, password;
    std::string client_id;
    std::chrono::seconds keepalive{10};
    struct Will {
        std::string topic, payload;
        int qos = 1;
        bool retain = true;
    };
    std::optional<Will> will;
};

class BrokerClient {
public:
    // Called on the thread that serves the connection: keep them short. They
    // are not called once stop() has begun.
    struct Callbacks {
        std::function<void()> connected;
        std::function<void(std::string reason)> disconnected;
        // The broker has taken the message with this id (PUBACK for QoS 1).
        std::function<void(int mid)> published;
        std::function<void(std::string topic, std::string payload, bool retained)> message;
    };

    virtual ~BrokerClient() = default;
    virtual void start(const BrokerSettings &settings, Callbacks callbacks) = 0;
    // Disconnects cleanly (the broker does not publish the will) and returns
    // once no callback runs any more.
    virtual void stop() = 0;
    // The message id, or nothing when the message could not be handed over.
    virtual std::optional<int> publish(const std::string &topic, const std::string &payload,
                                       int qos, bool retain) = 0;
    // Messages on the subscription carry the retain flag they were published
    // with, also when they arrive live (not only when replayed as retained).
    virtual bool subscribe(const std::string &pattern, int qos) = 0;
};

using BrokerFactory = std::function<std::unique_ptr<BrokerClient>()>;

// Clients on libmosquitto. Every client the factory makes is served by one
// event loop (its thread, and one that opens connections), which lasts as
// long as the factory and its clients: however many cabinets, and however
// often they reconnect, two threads in all.
BrokerFactory mosquitto_clients();

} // namespace cabinetd
