#include "broker.h"

#include <fmt/format.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace cabinetd {
namespace {

constexpr int kLongestLoopWaitMs = 60000;

class MosquittoClient final : public BrokerClient {
public:
    ~MosquittoClient() override { stop(); }

    void start(const BrokerSettings &s, Callbacks cb) override {
        static std::once_flag init;
        std::call_once(init, [] { mosquitto_lib_init(); });
        cb_ = std::move(cb);
        m_ = mosquitto_new(s.client_id.empty() ? nullptr : s.client_id.c_str(), true, this);
        if (!m_) throw std::runtime_error("mqtt: cannot create a client");
        // MQTT 5, for "retain as published": a command published with the
        // retain flag shows it even when it reaches us live, so it can be refused.
        mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        // Events are small messages sent as they happen: Nagle's algorithm
        // would hold one back until the broker acknowledged the one before.
        mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
        // Our own thread runs the loop; publishing from the bridge's thread
        // only queues the packet and wakes the loop.
        mosquitto_threaded_set(m_, true);
        if (s.will)
            mosquitto_will_set(m_, s.will->topic.c_str(), static_cast<int>(s.will->payload.size()),
                               s.will->payload.data(), s.will->qos, s.will->retain);
        if (!s.username.empty())
            mosquitto_username_pw_set(m_, s.username.c_str(),
                                      s.password.empty() ? nullptr : s.password.c_str());
        if (s.tls) {
            const int rc =
                mosquitto_tls_set(m_, s.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS)
                throw std::runtime_error(
                    fmt::format("mqtt: CA file {}: {}", s.ca_file, mosquitto_strerror(rc)));
        }
        mosquitto_connect_callback_set(m_, [](mosquitto *, void *self, int rc) {
            auto *c = static_cast<MosquittoClient *>(self);
            if (rc == 0) {
                if (c->cb_.connected) c->cb_.connected();
            } else {
                c->reason_ = fmt::format("the broker refused the connection: {}",
                                         mosquitto_connack_string(rc));
            }
        });
        mosquitto_publish_callback_set(m_, [](mosquitto *, void *self, int mid) {
            auto *c = static_cast<MosquittoClient *>(self);
            if (c->cb_.published) c->cb_.published(mid);
        });
        mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *c = static_cast<MosquittoClient *>(self);
            if (!c->cb_.message || !m->topic) return;
            std::string payload(static_cast<const char *>(m->payload),
                                static_cast<std::size_t>(m->payloadlen));
            c->cb_.message(m->topic, std::move(payload), m->retain);
        });
        thread_ = std::thread([this, s] { run(s); });
    }

    void stop() override {
        if (!m_) return;
        // Set first: the DISCONNECT queued next wakes the loop, which must
        // then see that it is to end.
        stop_ = true;
        mosquitto_disconnect(m_);
        if (thread_.joinable()) thread_.join();
        mosquitto_destroy(m_);
        m_ = nullptr;
    }

    std::optional<int> publish(const std::string &topic, const std::string &payload, int qos,
                               bool retain) override {
        int mid = 0;
        if (!m_ ||
            mosquitto_publish(m_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos, retain) != MOSQ_ERR_SUCCESS)
            return std::nullopt;
        return mid;
    }

    bool subscribe(const std::string &pattern, int qos) override {
        return m_ &&
            mosquitto_subscribe_v5(m_, nullptr, pattern.c_str(), qos,
                                   MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr) == MOSQ_ERR_SUCCESS;
    }

private:
    void run(const BrokerSettings &s) {
        int rc = mosquitto_connect_async(m_, s.host.c_str(), s.port,
                                         static_cast<int>(s.keepalive.count()));
        if (rc == MOSQ_ERR_ERRNO)
            reason_ =
                fmt::format("cannot connect to {}:{}: {}", s.host, s.port, std::strerror(errno));
        else if (rc != MOSQ_ERR_SUCCESS)
            reason_ =
                fmt::format("cannot connect to {}:{}: {}", s.host, s.port, mosquitto_strerror(rc));
        // The loop sleeps until the socket has something, a packet is queued
        // from another thread (publish, subscribe, disconnect: the library
        // wakes it), or the next keepalive ping is due, which it waits no
        // longer than: the timeout only bounds a wait with none of those.
        while (rc == MOSQ_ERR_SUCCESS && !stop_) rc = mosquitto_loop(m_, kLongestLoopWaitMs, 1);
        if (reason_.empty()) {
            if (rc == MOSQ_ERR_ERRNO) reason_ = std::strerror(errno);
            else if (rc != MOSQ_ERR_SUCCESS) reason_ = mosquitto_strerror(rc);
            else reason_ = "stopped";
        }
        if (cb_.disconnected) cb_.disconnected(reason_);
    }

    mosquitto *m_ = nullptr;
    Callbacks cb_;
    std::string reason_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

std::unique_ptr<BrokerClient> make_mosquitto_client() {
    return std::make_unique<MosquittoClient>();
}

} // namespace cabinetd
