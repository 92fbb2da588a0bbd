// Who a request is: its bearer token, as the access policy knows it
// (policy.h, token_file.h), or a stream token this server issued for the
// query string of an event stream, where a browser cannot send headers.
#pragma once

#include "clock.h"
#include "policy.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace cabinetd {

class Tokens {
public:
    // clock: what stream tokens expire by.
    explicit Tokens(Policy &policy, SteadyClock clock = {})
            : policy_(policy), clock_(or_steady(std::move(clock))) {}

    Policy &policy() const { return policy_; }
    std::optional<Principal> check(std::string_view token) const {
        return policy_.authenticate(token);
    }
    // Whether the token file still grants exactly this principal (same token
    // and line): what an open stream asks after a reload.
    bool holds(const Principal &who) const { return policy_.holds(who); }
    // After a reload: the stream tokens of bearer tokens no longer held go.
    void reloaded();

    // A token for the query string of an event stream: valid for ttl, for
    // streaming only, as the same principal. 128 bits from the OS's random
    // source. It dies with the bearer token that asked for it (a reload that
    // removes or changes that token), and each bearer token has at most
    // kStreamTokensEach alive (the oldest goes).
    std::string issue_stream_token(const Principal &who, std::chrono::seconds ttl);
    std::optional<Principal> check_stream_token(std::string_view token);
    static constexpr std::size_t kStreamTokensEach = 16;

private:
    struct StreamToken {
        Principal who;
        std::uint64_t expires_ms;
        std::uint64_t issued; // the order of issue, which a clock's tick cannot tell
    };
    Policy &policy_;
    SteadyClock clock_;
    mutable std::mutex mu_;
    std::map<std::string, StreamToken> stream_;
    std::uint64_t next_issued_ = 0;
};

} // namespace cabinetd
