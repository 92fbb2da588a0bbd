// The places tokens hold among the HTTP server's connections.
#include "token_places.h"

#include <gtest/gtest.h>

namespace cabinetd {
namespace {

// Each token has its cap, the viewers together theirs, and every token
// together leave the places kept for connections without one; a place goes
// back when its connection goes, wherever its handle was moved.
TEST(TokenPlaces, NoTokenNorEveryViewerTakesEveryPlace) {
    TokenPlaces places(ConnectionLimits{.max_connections = 20,
                                        .max_unauthenticated = 5,
                                        .max_viewer_connections = 6,
                                        .max_token_connections = 4,
                                        .max_token_streams = 2});
    const Principal v1{"w", "wall", Role::Viewer, 1}, v2{"k", "kiosk", Role::Viewer, 2};
    const Principal o1{"o1", "ops", Role::Operator, 3}, o2{"o2", "ops2", Role::Operator, 4},
        o3{"o3", "ops3", Role::Operator, 5};
    std::vector<Place> held;
    // The refusal's code; "" for a place taken.
    const auto take = [&](const Principal &who) -> std::string {
        auto got = places.take(who);
        if (!got) return got.refusal().code;
        held.push_back(std::move(*got));
        return {};
    };
    const auto stream = [](Place &p, const Principal &who) -> std::string {
        auto taken = p.take_stream(who);
        return taken ? std::string() : taken.refusal().code;
    };
    for (int i = 0; i < 4; ++i) EXPECT_EQ(take(v1), "");
    EXPECT_EQ(take(v1), "token_connections");
    EXPECT_EQ(take(v2), "");
    EXPECT_EQ(take(v2), "");
    EXPECT_EQ(take(v2), "viewer_connections");
    for (auto *op : {&o1, &o2})
        for (int i = 0; i < 4; ++i) EXPECT_EQ(take(*op), "");
    EXPECT_EQ(take(o3), "");
    EXPECT_EQ(take(o3), "token_places"); // 15 of 20: 5 kept for no token

    EXPECT_EQ(stream(held[0], v1), "");
    EXPECT_EQ(stream(held[1], v1), "");
    EXPECT_EQ(stream(held[2], v1), "token_streams");
    Place moved = std::move(held[0]);
    held[0].reset(); // a moved-from handle holds nothing
    EXPECT_EQ(stream(held[3], v1), "token_streams");
    moved.reset(); // the stream and the connection go back together
    EXPECT_EQ(stream(held[3], v1), "");
    EXPECT_EQ(take(v1), "");

    const auto counts = places.counts();
    EXPECT_EQ(counts.held, 15u);
    EXPECT_EQ(counts.viewers, 6u);
    EXPECT_EQ(counts.refused, (std::array<std::uint64_t, kPlaceRefusals>{1, 2, 1, 1}));
    held.clear();
    EXPECT_EQ(places.counts().held, 0u);
}

} // namespace
} // namespace cabinetd
