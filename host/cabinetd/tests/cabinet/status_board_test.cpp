// The status view: a snapshot per change of what the status shows, not per
// line, told to whoever asked.
#include "status_board.h"

#include <gtest/gtest.h>

namespace {

using namespace cabinetd;

TEST(StatusBoard, AnnouncesANewSnapshotOnlyWhenWhatItShowsChanged) {
    CabinetStatus first;
    first.name = "lab";
    StatusBoard board(first, true);
    std::vector<std::uint64_t> told;
    int watched = 0;
    board.on_snapshot([&](const Snapshot &s) { told.push_back(s->version); });
    board.on_change([&] { ++watched; });
    EXPECT_EQ(board.snapshot()->version, 1u);

    // Counters move with every line and are no change.
    board.update([](CabinetStatus &s) { ++s.lines_in, ++s.acks["heartbeat_ok"]; });
    EXPECT_FALSE(board.announce("", true));
    // The link, the heartbeats' health and the journal's availability are.
    board.update([](CabinetStatus &s) { s.link = Link::Up; });
    EXPECT_TRUE(board.announce("", true));
    EXPECT_TRUE(board.announce("ok", true));
    EXPECT_FALSE(board.announce("ok", true));
    EXPECT_TRUE(board.announce("ok", false));
    board.update([](CabinetStatus &s) {
        s.alarms.push_back(Alarm{"a1", "forced_open", 3, "t", 0, std::nullopt, false});
    });
    EXPECT_TRUE(board.announce("ok", false));
    EXPECT_EQ(told, (std::vector<std::uint64_t>{2, 3, 4, 5}));
    EXPECT_EQ(watched, 4);
    const auto snap = board.snapshot();
    EXPECT_EQ(snap->version, 5u);
    EXPECT_EQ(snap->status.heartbeat_health, "ok");
    EXPECT_EQ(snap->status.lines_in, 1u); // as it was at the change
    EXPECT_EQ(snap->status.alarms.size(), 1u);
}

TEST(StatusBoard, LiveFiguresMoveWithoutASnapshot) {
    StatusBoard board(CabinetStatus{}, true);
    EXPECT_FALSE(board.live().heartbeat_ok_ms);
    board.heartbeat_ok(1234);
    board.line_figures(5000, 17);
    EXPECT_EQ(board.live().heartbeat_ok_ms, 1234);
    EXPECT_EQ(board.live().uptime_ms, 5000u);
    EXPECT_EQ(board.live().event_seq, 17u);
    board.heartbeat_ok(std::nullopt); // the link went
    EXPECT_FALSE(board.live().heartbeat_ok_ms);
    EXPECT_EQ(board.snapshot()->version, 1u);
}

} // namespace
