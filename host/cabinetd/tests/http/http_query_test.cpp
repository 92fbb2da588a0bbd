// What the API reads from a request target: its path, the query string, and
// the record kinds a "kind" parameter names.
#include "http_query.h"
#include "http_routes.h"
#include "message_cache.h"

#include <gtest/gtest.h>

namespace cabinetd {
namespace {

TEST(Query, DecodesAndRejectsMalformed) {
    auto q = parse_query("/api/events?cabinet=lab%2D1&after=12&kind=event,gap&flag");
    ASSERT_TRUE(q);
    EXPECT_EQ((*q)["cabinet"], "lab-1");
    EXPECT_EQ((*q)["after"], "12");
    EXPECT_EQ((*q)["kind"], "event,gap");
    EXPECT_EQ(q->count("flag"), 1u);
    EXPECT_TRUE(parse_query("/api/events")->empty());
    EXPECT_FALSE(parse_query("/x?a=%G1"));
    EXPECT_FALSE(parse_query("/x?a=%4"));
    EXPECT_FALSE(parse_query("/x?after=1&after=2")); // which one?
}

// A target's path has one form: "/" and segments, none empty. One without a
// path at all is no page's file either.
TEST(Query, ATargetWithoutAPathRoutesNowhere) {
    for (const char *target : {"?file=index.html", "?", "api/cabinets", "/api/cabinets/"}) {
        const auto found = find_route(http::verb::get, target);
        ASSERT_FALSE(found) << target;
        EXPECT_EQ(found.refusal().code, "not_found") << target;
    }
    EXPECT_TRUE(find_route(http::verb::get, "/?x=1"));
}

// Clients catching up from far back, while live records keep coming, never
// grow the stream's message cache past its capacity.
TEST(MessageCache, StaysWithinItsCapacityOnEveryPath) {
    MessageCache cache(8);
    std::size_t formatted = 0;
    const auto get = [&](std::int64_t c) {
        return cache.get(c, [&] {
            ++formatted;
            return std::to_string(c);
        });
    };
    for (std::int64_t live = 1000; live < 1010; ++live) {
        EXPECT_EQ(get(live), std::to_string(live));
        for (std::int64_t old = 1; old <= 100; ++old) EXPECT_EQ(get(old), std::to_string(old));
        EXPECT_LE(cache.size(), 8u);
    }
    formatted = 0;
    EXPECT_EQ(get(1009), "1009"); // the newest are held, formatted once
    EXPECT_EQ(get(1004), "1004");
    EXPECT_EQ(formatted, 0u);
}

} // namespace
} // namespace cabinetd
