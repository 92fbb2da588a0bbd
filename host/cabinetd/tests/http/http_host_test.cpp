// What a request's header must be before anything else is done with it: the
// Host that names this server (a page whose own name points at us, by DNS
// rebinding, reads nothing), and fields that could be read two ways.
#include "http_host.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace cabinetd {
namespace {

struct HostCase {
    std::string listen;
    unsigned short port;
    std::vector<std::string> allowed_hosts;
    std::vector<std::string> allowed, refused;
};

TEST(HostCheck, TakesOnlyTheNamesOfThisServer) {
    const std::vector<HostCase> cases{
        {"127.0.0.1",
         8080,
         {},
         {"127.0.0.1:8080", "localhost:8080", "LocalHost:8080", "[::1]:8080"},
         {"127.0.0.1", "127.0.0.1:8081", "localhost:80", "cabinets.attacker.example:8080",
          "10.0.0.7:8080", "127.0.0.1:08080", "127.0.0.1:", "user@localhost:8080", "",
          "localhost:8080 ", "[::1]", "::1:8080", "127.0.0.1:8080/x"}},
        {"127.0.0.1", 80, {}, {"localhost", "127.0.0.1", "localhost:80"}, {"localhost:8080"}},
        {"::1", 8080, {}, {"[::1]:8080", "localhost:8080"}, {"[::2]:8080", "[0:0::1]:8080"}},
        // A name given in the configuration: with any port, or the one given.
        {"127.0.0.1",
         8080,
         {"Cabinets.Example", "door.example:443"},
         {"cabinets.example", "cabinets.example:9", "CABINETS.EXAMPLE:8080", "door.example:443"},
         {"door.example", "door.example:8080", "www.cabinets.example:8080"}},
        // Listening on every address, any address of the machine will do.
        {"0.0.0.0",
         8080,
         {},
         {"192.168.1.20:8080", "[fe80::1]:8080", "localhost:8080"},
         {"192.168.1.20:8081", "192.168.1.20", "rebound.example:8080", "300.1.1.1:8080"}},
    };
    for (const auto &c : cases) {
        HostCheck hosts({c.listen, c.port}, c.allowed_hosts);
        hosts.set_port(c.port);
        for (auto &h : c.allowed) EXPECT_TRUE(hosts.allowed(h)) << c.listen << " " << h;
        for (auto &h : c.refused) EXPECT_FALSE(hosts.allowed(h)) << c.listen << " " << h;
    }
}

struct HeaderCase {
    unsigned version;
    std::vector<std::pair<std::string, std::string>> fields;
    int status; // 0: taken
};

// Each refusal closes the connection: nothing after it is taken for a request.
TEST(HeaderRefusal, RefusesWhatCouldBeReadTwoWays) {
    HostCheck hosts({"127.0.0.1", 8080}, {});
    hosts.set_port(8080);
    const std::pair<std::string, std::string> host{"Host", "127.0.0.1:8080"};
    const std::vector<HeaderCase> cases{
        {11, {host}, 0},
        {10, {}, 0}, // HTTP/1.0 needs no Host
        {11, {}, 400},
        {20, {host}, 505},
        {9, {host}, 505},
        {11, {{"Host", "rebound.example:8080"}}, 421},
        {11, {host, host}, 400},
        {11, {host, {"Authorization", "Bearer a"}, {"Authorization", "Bearer b"}}, 400},
        {11, {host, {"Content-Type", "a/b"}, {"Content-Type", "a/b"}}, 400},
        {11, {host, {"Content-Length", "1"}, {"Content-Length", "1"}}, 400},
        {11, {host, {"Idempotency-Key", "a"}, {"idempotency-key", "b"}}, 400},
        {11, {host, {"Last-Event-ID", "1"}, {"Last-Event-ID", "2"}}, 400},
        {11, {host, {"Transfer-Encoding", " chunked "}}, 0},
        {11, {host, {"Transfer-Encoding", "CHUNKED"}}, 0},
        {11, {host, {"Transfer-Encoding", "xchunked"}}, 501},
        {11, {host, {"Transfer-Encoding", "gzip, chunked"}}, 501},
        {11, {host, {"Transfer-Encoding", "chunked, identity"}}, 501},
        {11, {host, {"Transfer-Encoding", "chunked"}, {"Content-Length", "3"}}, 400},
        // Bytes that are not UTF-8, as Beast's parser lets them through
        // (obs-text), quoted in the refusal.
        {11, {{"Host", "caf\xe9.example:8080"}}, 421},
        {11, {host, {"Transfer-Encoding", "gz\xbcip"}}, 501},
    };
    for (const auto &c : cases) {
        Request req{http::verb::get, "/healthz", c.version};
        std::string where = std::to_string(c.version);
        for (auto &[name, value] : c.fields) {
            req.insert(name, value);
            where += " " + name + ": " + value;
        }
        const auto checked = check_header(req, hosts);
        const auto refused = checked ? std::optional<Response>()
                                     : std::optional(refusal_response(checked.refusal()));
        EXPECT_EQ(refused ? static_cast<int>(refused->status) : 0, c.status) << where;
        if (!refused) continue;
        EXPECT_FALSE(refused->keep_alive) << where;
        EXPECT_TRUE(nlohmann::json::parse(refused->body).contains("error")) << where;
    }
}

} // namespace
} // namespace cabinetd
