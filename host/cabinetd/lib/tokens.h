// Bearer tokens and their roles. The token file has one token per line:
//     NAME ROLE TOKEN
// NAME says who the token belongs to (journalled with every open it asks
// for), ROLE is "viewer" (read and stream) or "operator" (also open doors
// and clear faults), TOKEN is at least 16 characters without spaces. Blank
// lines and lines starting with '#' are ignored.
#pragma once

#include <chrono>
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
};

class Tokens {
public:
    // Parses a token file's text; throws ConfigError naming the line at fault.
    static std::vector<std::pair<std::string, Identity>> parse(std::string_view text);

    // Replaces every token with the file's; on error the old ones stay.
    void load(const std::string &path);
    void set(std::vector<std::pair<std::string, Identity>> tokens);

    std::optional<Identity> check(std::string_view token) const;

    // A token for the query string of an event stream, where a browser cannot
    // send headers: valid for ttl, for streaming only, with the same identity.
    std::string issue_stream_token(const Identity &who, std::chrono::seconds ttl);
    std::optional<Identity> check_stream_token(std::string_view token);

private:
    mutable std::mutex mu_;
    std::vector<std::pair<std::string, Identity>> tokens_;
    std::map<std::string, std::pair<Identity, std::chrono::steady_clock::time_point>> stream_;
};

} // namespace cabinetd
