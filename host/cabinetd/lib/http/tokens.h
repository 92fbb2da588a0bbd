// Bearer tokens and their roles. The token file has one token per line:
//     NAME ROLE TOKEN
// NAME says who the token belongs to (journalled with every open it asks
// for), ROLE is "viewer" (read and stream) or "operator" (also open doors
// and clear faults), TOKEN is at least 16 characters without spaces. Blank
// lines and lines starting with '#' are ignored.
#pragma once

#include "clock.h"
#include "config_error.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

enum class Role { Viewer, Operator };
const char *to_string(Role r);

struct Identity {
    std::string name;
    Role role = Role::Viewer;
    // Which line of the token file granted it (0: none). It stays the same
    // across reloads while that line's token, name and role do.
    std::uint64_t grant = 0;
};

// Whether who may act on that door of that cabinet (open it, approve its
// opens), and whether who may see that cabinet at all.
bool permits(const Identity &who, std::string_view cabinet, int door);
bool sees(const Identity &who, std::string_view cabinet);

class Tokens {
public:
    // clock: what stream tokens expire by.
    explicit Tokens(SteadyClock clock = {}) : clock_(or_steady(std::move(clock))) {}

    // Parses a token file's text; throws ConfigError naming the line at fault.
    static std::vector<std::pair<std::string, Identity>> parse(std::string_view text);

    // Replaces every token with the file's; on error the old ones stay. A
    // file any user of the machine could change is an error
    // (read_guarded_file); one any user may read is taken, with a warning.
    void load(const std::string &path);
    void set(std::vector<std::pair<std::string, Identity>> tokens);

    std::optional<Identity> check(std::string_view token) const;
    // Whether the token file still grants exactly this identity (same line,
    // name and role): what an open stream asks after a reload.
    bool holds(const Identity &who) const;

    // A token for the query string of an event stream, where a browser cannot
    // send headers: valid for ttl, for streaming only, with the same identity.
    // 128 bits from the OS's random source. It dies with the bearer token
    // that asked for it (a reload that removes or changes that token), and
    // each bearer token has at most kStreamTokensEach alive (the oldest goes).
    std::string issue_stream_token(const Identity &who, std::chrono::seconds ttl);
    std::optional<Identity> check_stream_token(std::string_view token);
    static constexpr std::size_t kStreamTokensEach = 16;

private:
    struct StreamToken {
        Identity who;
        std::uint64_t expires_ms;
        std::uint64_t issued; // the order of issue, which a clock's tick cannot tell
    };
    bool holds_locked(const Identity &who) const;
    SteadyClock clock_;
    mutable std::mutex mu_;
    std::vector<std::pair<std::string, Identity>> tokens_;
    std::map<std::string, StreamToken> stream_;
    std::uint64_t next_grant_ = 1;
    std::uint64_t next_issued_ = 0;
};

} // namespace cabinetd
