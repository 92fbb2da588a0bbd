#include "tokens.h"

#include "random.h"

namespace cabinetd {

void Tokens::reloaded() {
    std::lock_guard lk(mu_);
    std::erase_if(stream_, [&](auto &p) { return !policy_.holds(p.second.who); });
}

std::string Tokens::issue_stream_token(const Principal &who, std::chrono::seconds ttl) {
    const auto token = "s" + random_hex(16);
    const auto now = clock_();
    std::lock_guard lk(mu_);
    std::erase_if(stream_, [&](auto &p) { return p.second.expires_ms <= now; });
    // A client that keeps asking for tokens cannot grow the table: past the
    // limit, its own oldest token makes room.
    std::size_t mine = 0;
    auto oldest = stream_.end();
    for (auto it = stream_.begin(); it != stream_.end(); ++it)
        if (it->second.who.grant == who.grant) {
            ++mine;
            if (oldest == stream_.end() || it->second.issued < oldest->second.issued) oldest = it;
        }
    if (mine >= kStreamTokensEach) stream_.erase(oldest);
    const auto ttl_ms = std::chrono::duration_cast<std::chrono::milliseconds>(ttl).count();
    stream_[token] = {who, now + static_cast<std::uint64_t>(ttl_ms), next_issued_++};
    return token;
}

std::optional<Principal> Tokens::check_stream_token(std::string_view token) {
    std::lock_guard lk(mu_);
    auto it = stream_.find(std::string(token));
    if (it == stream_.end()) return std::nullopt;
    if (it->second.expires_ms <= clock_() || !policy_.holds(it->second.who)) {
        stream_.erase(it);
        return std::nullopt;
    }
    return it->second.who;
}

} // namespace cabinetd
