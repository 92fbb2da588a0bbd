#include "token_places.h"

#include <fmt/format.h>

namespace cabinetd {

const char *to_string(PlaceRefusal r) {
    switch (r) {
    case PlaceRefusal::TokenConnections: return "token_connections";
    case PlaceRefusal::TokenStreams: return "token_streams";
    case PlaceRefusal::ViewerConnections: return "viewer_connections";
    case PlaceRefusal::TokenPlaces: return "token_places";
    }
    return "unknown";
}

Place &Place::operator=(Place &&o) noexcept {
    if (this == &o) return *this;
    reset();
    owner_ = o.owner_;
    grant_ = o.grant_;
    viewer_ = o.viewer_;
    stream_ = o.stream_;
    o.owner_ = nullptr;
    return *this;
}

Result<> Place::take_stream(const Principal &who) {
    if (!owner_ || stream_) return {};
    auto taken = owner_->take_stream(grant_, who);
    stream_ = static_cast<bool>(taken);
    return taken;
}

void Place::reset() {
    if (!owner_) return;
    owner_->give_back(*this);
    owner_ = nullptr;
}

Result<Place> TokenPlaces::take(const Principal &who) {
    const bool viewer = who.role == Role::Viewer;
    std::lock_guard lk(mu_);
    std::optional<PlaceRefusal> refused;
    auto it = held_.find(who.grant);
    const std::size_t mine = it == held_.end() ? 0 : it->second.connections;
    if (mine >= limits_.max_token_connections) refused = PlaceRefusal::TokenConnections;
    else if (viewer && counts_.viewers >= limits_.max_viewer_connections)
        refused = PlaceRefusal::ViewerConnections;
    else if (counts_.held >= limits_.max_connections - limits_.max_unauthenticated)
        refused = PlaceRefusal::TokenPlaces;
    if (refused) return refuse(*refused, who);
    ++held_[who.grant].connections;
    ++counts_.held;
    if (viewer) ++counts_.viewers;
    Place p;
    p.owner_ = this;
    p.grant_ = who.grant;
    p.viewer_ = viewer;
    return p;
}

Result<> TokenPlaces::take_stream(std::uint64_t grant, const Principal &who) {
    std::lock_guard lk(mu_);
    auto &mine = held_[grant]; // there: the place taking it is held
    if (mine.streams >= limits_.max_token_streams) return refuse(PlaceRefusal::TokenStreams, who);
    ++mine.streams;
    return {};
}

void TokenPlaces::give_back(const Place &p) {
    std::lock_guard lk(mu_);
    auto it = held_.find(p.grant_);
    if (it == held_.end()) return; // cannot be: every place is counted here
    if (p.stream_) --it->second.streams;
    if (--it->second.connections == 0) held_.erase(it);
    --counts_.held;
    if (p.viewer_) --counts_.viewers;
}

// Counted (under the lock), and told.
Refusal TokenPlaces::refuse(PlaceRefusal why, const Principal &who) {
    ++counts_.refused[static_cast<std::size_t>(why)];
    const auto refusal = [why](std::string text) {
        return Refusal{to_string(why), std::move(text)};
    };
    switch (why) {
    case PlaceRefusal::TokenConnections:
        return refusal(
            fmt::format("token \"{}\" holds {} connections, as many as a token may: close one "
                        "and try again",
                        who.name, limits_.max_token_connections));
    case PlaceRefusal::TokenStreams:
        return refusal(
            fmt::format("token \"{}\" holds {} event streams, as many as a token may: close one "
                        "and try again",
                        who.name, limits_.max_token_streams));
    case PlaceRefusal::ViewerConnections:
        return refusal(
            fmt::format("viewer tokens hold {} connections together, as many as viewers may: "
                        "try again later",
                        limits_.max_viewer_connections));
    case PlaceRefusal::TokenPlaces: break;
    }
    return refusal(
        fmt::format("connections with a token hold every place they may ({}): try again later",
                    limits_.max_connections - limits_.max_unauthenticated));
}

TokenPlaces::Counts TokenPlaces::counts() const {
    std::lock_guard lk(mu_);
    return counts_;
}

} // namespace cabinetd
