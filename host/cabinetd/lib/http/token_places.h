// The places tokens hold among the HTTP server's connections. A connection
// takes a place once it shows a valid token, and a stream is a connection
// that also takes one of its token's stream places; both go when the
// connection closes. Each token (a grant of the token file) has its own
// caps, and viewer tokens together have one, so that no viewer, nor all of
// them, can take the places of operators, health checks and scrapes.
// Thread-safe: a connection may end on any thread.
#pragma once

#include "connection_limits.h"
#include "result.h"
#include "tokens.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace cabinetd {

class TokenPlaces;

// Why a token was refused a place; the metrics' reason label, and the
// refusal's code.
enum class PlaceRefusal { TokenConnections, TokenStreams, ViewerConnections, TokenPlaces };
inline constexpr std::size_t kPlaceRefusals = 4;
const char *to_string(PlaceRefusal r);

// One connection's place, given back when it goes (or is reset).
class Place {
public:
    Place() = default;
    Place(Place &&o) noexcept { *this = std::move(o); }
    Place &operator=(Place &&o) noexcept;
    ~Place() { reset(); }

    explicit operator bool() const { return owner_ != nullptr; }
    std::uint64_t grant() const { return grant_; }
    // Makes the connection one of its token's streams as well; refused
    // (token_streams, naming who) when the token holds all its streams.
    Result<> take_stream(const Principal &who);
    void reset();

private:
    friend class TokenPlaces;
    TokenPlaces *owner_ = nullptr;
    std::uint64_t grant_ = 0;
    bool viewer_ = false, stream_ = false;
};

class TokenPlaces {
public:
    explicit TokenPlaces(const ConnectionLimits &limits) : limits_(limits) {}
    TokenPlaces(const TokenPlaces &) = delete;
    TokenPlaces &operator=(const TokenPlaces &) = delete;

    // A place for a connection of this token, or refused: the code is the
    // PlaceRefusal's name, the words what the client is told.
    Result<Place> take(const Principal &who);

    struct Counts {
        std::size_t held = 0, viewers = 0;
        std::array<std::uint64_t, kPlaceRefusals> refused{};
    };
    Counts counts() const;

private:
    friend class Place;
    struct Held {
        std::size_t connections = 0, streams = 0;
    };
    Result<> take_stream(std::uint64_t grant, const Principal &who);
    Refusal refuse(PlaceRefusal why, const Principal &who);
    void give_back(const Place &p);

    const ConnectionLimits limits_;
    mutable std::mutex mu_;
    std::unordered_map<std::uint64_t, Held> held_; // by grant; only tokens holding places
    Counts counts_;
};

} // namespace cabinetd
