// Opens answered when their cycle ends, however it ends.
#include "cycle_waits.h"

#include <gtest/gtest.h>

namespace {

using namespace cabinetd;

struct Answers {
    std::vector<std::string> got; // request id and how its cycle ended
    Reply reply(const std::string &id) {
        return [this, id](CommandResult r) { got.push_back(id + ":" + r.cycle_end.value_or("")); };
    }
};

void give(std::vector<CycleWaits::Ended> ended) {
    for (auto &e : ended) e.reply(std::move(e.result));
}

TEST(CycleWaits, AnAcceptedOpenIsAnsweredWhenItsCycleEnds) {
    CycleWaits w;
    Answers a;
    w.wait("r1", 1000);
    w.wait("r2", 2000);
    w.wait("r3", 3000);
    CommandResult accepted;
    auto reply = a.reply("r1");
    EXPECT_TRUE(w.hold("r1", true, accepted, reply));
    EXPECT_FALSE(w.event("r1", "open_accepted")); // not the cycle's end
    auto ended = w.event("r1", "cycle_complete");
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->result.outcome, cabinet_host::Outcome::Done);
    give({std::move(*ended)});
    // A refusal is answered at once, and so is an open whose cycle ended
    // before its ack arrived.
    auto refused = a.reply("r2");
    EXPECT_FALSE(w.hold("r2", false, accepted, refused));
    EXPECT_FALSE(w.event("r3", "cycle_complete"));
    auto late = a.reply("r3");
    EXPECT_FALSE(w.hold("r3", true, accepted, late));
    EXPECT_FALSE(w.next_due());
    EXPECT_EQ(a.got, std::vector<std::string>{"r1:cycle_complete"});
}

TEST(CycleWaits, HeldAnswersEndByTheirDeadlineOrWithTheRun) {
    CycleWaits w;
    Answers a;
    CommandResult accepted;
    for (const auto *id : {"r1", "r2", "r3"}) {
        w.wait(id, id[1] == '1' ? 1000 : 5000);
        auto reply = a.reply(id);
        if (id[1] != '3') {
            EXPECT_TRUE(w.hold(id, true, accepted, reply));
        }
    }
    EXPECT_EQ(w.next_due(), 1000u);
    EXPECT_TRUE(w.expire(999).empty());
    give(w.expire(1000));
    EXPECT_EQ(w.next_due(), 5000u);
    // A controller that restarted ends what was held; r3, still waiting for
    // its ack, is the client's to fail.
    give(w.end("session_changed", true));
    EXPECT_EQ(a.got, (std::vector<std::string>{"r1:timeout", "r2:session_changed"}));
    auto reply = a.reply("r3");
    EXPECT_TRUE(w.hold("r3", true, accepted, reply));
    give(w.end("connection_lost", false));
    EXPECT_EQ(a.got.back(), "r3:connection_lost");
}

} // namespace
