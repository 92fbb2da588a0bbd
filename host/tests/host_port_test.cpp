#include "cabinet_host/host_port.h"

#include <gtest/gtest.h>

using cabinet_host::HostPortRules;
using cabinet_host::parse_host_port;

TEST(HostPort, CanonicalFormsOnly) {
    auto hp = parse_host_port("cabinet-1.local:8080");
    ASSERT_TRUE(hp);
    EXPECT_EQ(hp->host, "cabinet-1.local");
    EXPECT_EQ(hp->port, 8080);
    hp = parse_host_port("[fe80::1]:65535");
    ASSERT_TRUE(hp);
    EXPECT_EQ(hp->host, "fe80::1");
    EXPECT_EQ(to_string(*hp), "[fe80::1]:65535");
    for (const char *bad : {"h", "h:", ":80", "h:0", "h:080", "h:65536", "h:+80", "h:8x", "::1:80",
                            "[::1", "[::1]80", "[h]:80", "h/x:80", "h :80", "[]:80"})
        EXPECT_FALSE(parse_host_port(bad)) << bad;
}

TEST(HostPort, OptionalPortAndPortZeroWhereAllowed) {
    const auto hp = parse_host_port("[::1]", {.port_optional = true});
    ASSERT_TRUE(hp);
    EXPECT_FALSE(hp->port);
    EXPECT_EQ(parse_host_port("0.0.0.0:0", {.port_zero = true})->port, 0);
    const auto zeros = parse_host_port("h:00", {.port_zero = true});
    ASSERT_FALSE(zeros);
    EXPECT_NE(zeros.refusal().text.find("leading zeros"), std::string::npos);
}
