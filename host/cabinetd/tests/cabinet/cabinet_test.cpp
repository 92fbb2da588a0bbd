// One cabinet against a scripted controller on a memory line with a
// simulated clock: the link's health, sessions, opens and clears as the
// journal and the API see them.
#include "cabinet.h"
#include "journal/fault_vfs.h"

#include "test_lines.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <unistd.h>

namespace {

using namespace cabinetd;
namespace fs = std::filesystem;
namespace tl = test_lines;
using cabinet_host::ConnectionLost;
using cabinet_host::MemoryTransport;

const std::string kSecondSession = "E6613852832F4A29-0000000000000002";

// The controller as cabinetd hears it: a state line a second, an answer to
// every line, the events of an accepted open. It runs on the cabinet's thread,
// inside the line; the test changes its behaviour under mu.
struct FakeController {
    std::mutex mu;
    std::string session = tl::kSid;
    std::string restart_as;  // a restart under this session id is due
    bool silent = false;     // hears, says nothing
    bool unplugged = false;  // the line is gone and cannot be opened again
    std::string refuse;      // opens are refused with this code
    bool mute_opens = false; // opens get no answer
    int mangled = 0;         // heartbeats preceded by the answer to a line mangled on the way
    std::uint64_t boot_ms = 0, seq = 1, next_state_ms = 0;
    unsigned closed = 255, locked = 255; // the doors' sensors, as the state line shows them
    std::vector<std::string> heard;      // commands other than heartbeats and state requests

    std::uint64_t uptime(std::uint64_t now) const { return now - boot_ms + 1; }

    void tick(MemoryTransport &t, std::uint64_t now) {
        if (!restart_as.empty()) {
            session = std::exchange(restart_as, "");
            boot_ms = now;
            seq = 1;
            t.push_received(tl::event(session, seq, uptime(now), "boot"));
        }
        if (silent || now < next_state_ms) return;
        t.push_received(tl::state(session, uptime(now), seq, "idle", closed, locked));
        next_state_ms = now + 1000;
    }

    void answer(MemoryTransport &t, const std::string &line, std::uint64_t now) {
        const auto j = nlohmann::json::parse(line);
        const auto type = j.at("type").get<std::string>();
        if (type != "heartbeat" && type != "state") heard.push_back(type);
        if (silent) return;
        if (type == "state")
            return t.push_received(tl::state(session, uptime(now), seq, "idle", closed, locked));
        const auto ack = [&](const char *code) {
            t.push_received(tl::ack(session, uptime(now), code, "", 0, seq));
        };
        if (type == "heartbeat" && mangled > 0 && mangled--) ack("invalid_message");
        if (type == "heartbeat") return ack("heartbeat_ok");
        if (type == "clear_fault") return ack("cleared");
        const auto rid = j.at("request_id").get<std::string>();
        const auto door = j.at("door_id").get<unsigned>();
        if (mute_opens) return;
        if (!refuse.empty())
            return t.push_received(tl::ack(session, uptime(now), refuse.c_str(), rid, door, seq));
        t.push_received(tl::event(session, ++seq, uptime(now), "open_accepted", rid, door));
        t.push_received(tl::ack(session, uptime(now), "accepted", rid, door, seq));
    }
};

// A memory line on the simulated clock. Finding nothing to read, it gives the
// processor up for a moment and moves the clock a millisecond on, so that
// simulated time runs a few times faster than real time rather than as fast
// as the thread can spin, and the test's own steps fall between its ticks.
class Line final : public cabinet_host::Transport {
public:
    Line(FakeController &c, std::uint64_t &now) : c_(c), now_(now) {
        mem_.attach_clock(&now_);
        mem_.on_send = [this](const std::string &l) { c_.answer(mem_, l, now_); };
    }
    void send_line(const std::string &line) override {
        std::lock_guard lk(c_.mu);
        if (c_.unplugged) throw ConnectionLost("unplugged");
        mem_.send_line(line);
    }
    std::optional<std::string> receive_line(std::chrono::milliseconds timeout) override {
        {
            std::lock_guard lk(c_.mu);
            if (c_.unplugged) throw ConnectionLost("unplugged");
            c_.tick(mem_, now_);
            if (auto l = mem_.receive_line(std::chrono::milliseconds(0))) return l;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        return mem_.receive_line(std::min(timeout, std::chrono::milliseconds(1)));
    }

private:
    FakeController &c_;
    std::uint64_t &now_;
    MemoryTransport mem_;
};

template <class F> bool eventually(F pred) {
    for (int i = 0; i < 3000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

class CabinetTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
            ("cabinetd-cabinet-" + std::to_string(::getpid()) + "-" + test->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        JournalOptions jopt;
        fault_vfs_.fail_while((dir_ / "fault").string());
        jopt.vfs = fault_vfs_.name();
        jopt.retry_interval = std::chrono::milliseconds(20);
        journal_ = std::make_unique<Journal>((dir_ / "j.db").string(), jopt);
        start_cabinet();
    }
    void start_cabinet(std::uint8_t two_person_doors = 0) {
        LinkOptions lopt;
        lopt.backoff_min = lopt.backoff_max = std::chrono::milliseconds(20);
        lopt.clock = [this] { return now_; };
        lopt.two_person_doors = two_person_doors;
        lopt.policy = policy_;
        cabinet_ = std::make_unique<Cabinet>("lab", "memory", connect(), *journal_, lopt);
        cabinet_->start();
        ASSERT_TRUE(eventually([&] { return up() && cabinet_->status().session_id == tl::kSid; }));
    }
    void TearDown() override {
        cabinet_.reset();
        journal_.reset();
        fs::remove_all(dir_);
    }

    TransportFactory connect() {
        return [this]() -> std::unique_ptr<cabinet_host::Transport> {
            std::lock_guard lk(ctl_.mu);
            if (ctl_.unplugged) throw std::runtime_error("no such device");
            return std::make_unique<Line>(ctl_, now_);
        };
    }
    bool up() const { return cabinet_->status().link == Link::Up; }
    std::vector<Record> records(RecordKind kind) {
        journal_->flush();
        Query q;
        q.limit = 1000;
        q.kinds = {kind};
        return journal_->read(q);
    }
    std::vector<std::string> heard() {
        std::lock_guard lk(ctl_.mu);
        return ctl_.heard;
    }
    std::vector<Record> page(const std::string &outcome) {
        journal_->flush();
        Query q;
        q.limit = 1000;
        q.outcome = outcome;
        return journal_->page(q, 20000, Journal::Reader::audit).records;
    }
    void set(std::string refuse, bool mute = false) {
        std::lock_guard lk(ctl_.mu);
        ctl_.refuse = std::move(refuse);
        ctl_.mute_opens = mute;
    }
    template <class Send> CommandResult call(Send send) {
        auto done = std::make_shared<std::promise<CommandResult>>();
        auto answer = done->get_future();
        send([done](CommandResult r) { done->set_value(std::move(r)); });
        EXPECT_EQ(answer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        return answer.get();
    }
    CommandResult open(unsigned door, std::string key = "", std::string scope = "http:ops",
                       bool cycle = false) {
        OpenArgs a;
        a.door = door;
        a.key = std::move(key);
        a.key_scope = std::move(scope);
        a.who = ops();
        a.requested_by = "ops";
        a.wait_cycle = cycle;
        return call([&](Reply r) { cabinet_->open(a, std::move(r)); });
    }

    // "ops", an operator of every door.
    static std::shared_ptr<Policy> make_policy() {
        auto p = std::make_shared<Policy>();
        p->set(*parse_token_file("ops operator ops-token-0123456789\n"
                                 "ops2 operator ops2-token-0123456789\n"));
        return p;
    }
    Principal ops() const { return *policy_->authenticate("ops-token-0123456789"); }
    ClearArgs clear_args(std::string key = "", std::string scope = "") const {
        return ClearArgs{ops(), "ops", std::move(key), std::move(scope)};
    }

    fs::path dir_;
    std::shared_ptr<Policy> policy_ = make_policy();
    std::uint64_t now_ = 0; // simulated milliseconds, the cabinet's thread's only
    FakeController ctl_;
    test_support::FaultVfs fault_vfs_; // writes fail while dir_/fault exists
    std::unique_ptr<Journal> journal_;
    std::unique_ptr<Cabinet> cabinet_;
};

TEST_F(CabinetTest, TheLinkIsUpSilentAndDownAsTheLineIs) {
    {
        std::lock_guard lk(ctl_.mu);
        ctl_.silent = true;
    }
    ASSERT_TRUE(eventually([&] { return cabinet_->status().link == Link::Silent; }));
    EXPECT_FALSE(cabinet_->status().state); // nothing stale is shown as the controller's state
    EXPECT_EQ(open(1).code, "link_down");
    {
        std::lock_guard lk(ctl_.mu);
        ctl_.silent = false;
    }
    ASSERT_TRUE(eventually([&] { return up(); }));
    {
        std::lock_guard lk(ctl_.mu);
        ctl_.unplugged = true;
    }
    ASSERT_TRUE(eventually([&] { return cabinet_->status().link_reason == "no such device"; }));
    EXPECT_EQ(cabinet_->status().link, Link::Down);
    std::vector<std::string> links;
    for (auto &r : records(RecordKind::Link)) links.push_back(r.code);
    EXPECT_EQ(links, (std::vector<std::string>{"up", "silent", "up", "down"}));
    const auto health =
        records(RecordKind::Heartbeat); // the silence was heartbeats going unanswered
    EXPECT_TRUE(
        std::any_of(health.begin(), health.end(), [](auto &r) { return r.code == "missing"; }));
}

TEST_F(CabinetTest, HeartbeatAnswersAreNeverJournalledAsAcksEvenAfterAManglingAnswer) {
    const auto answered = [&] { return cabinet_->status().acks["heartbeat_ok"]; };
    const auto before = answered();
    {
        std::lock_guard lk(ctl_.mu);
        ctl_.mangled = 2;
    }
    // Each mangling answer is taken for the heartbeat in flight; the
    // heartbeat_ok that follows it has none left to answer.
    ASSERT_TRUE(eventually([&] { return answered() >= before + 4; }));
    for (const auto &r : records(RecordKind::Ack)) EXPECT_NE(r.code, "heartbeat_ok");
    EXPECT_EQ(cabinet_->status().link, Link::Up);
}

TEST_F(CabinetTest, ARestartedControllerEndsTheCycleWaitedForAndStartsANewRun) {
    auto waiting = std::async(std::launch::async, [&] { return open(2, "", "", true); });
    ASSERT_TRUE(eventually([&] { return heard().size() == 1; }));
    {
        std::lock_guard lk(ctl_.mu);
        ctl_.restart_as = kSecondSession;
    }
    const auto r = waiting.get();
    EXPECT_EQ(r.code, "accepted");
    EXPECT_EQ(r.cycle_end, "session_changed");
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].code, "open_accepted");
    ASSERT_TRUE(eventually([&] { return cabinet_->status().session_id == kSecondSession; }));
    const auto sessions = records(RecordKind::Session);
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[1].code, "restarted");
    EXPECT_EQ(sessions[1].session_id, kSecondSession);
}

TEST_F(CabinetTest, OpensAndClearsAreJournalledAndAKeyIsAnsweredAgainNeverSentAgain) {
    const auto first = open(3, "k1");
    EXPECT_EQ(first.code, "accepted");
    EXPECT_EQ(first.outcome, cabinet_host::Outcome::Done);
    EXPECT_EQ(first.key, "k1");
    EXPECT_FALSE(first.replayed);
    const auto again = open(3, "k1");
    EXPECT_TRUE(again.replayed);
    EXPECT_EQ(again.request_id, first.request_id);
    const auto other_door = open(4, "k1");
    EXPECT_EQ(other_door.code, "key_reused");
    EXPECT_EQ(other_door.outcome, cabinet_host::Outcome::Refused);
    EXPECT_FALSE(open(3, "k1", "mqtt").replayed); // another client's key of the same name

    const auto clear = clear_args("c1", "mqtt");
    const auto cleared = call([&](Reply r) { cabinet_->clear_fault(clear, std::move(r)); });
    EXPECT_EQ(cleared.code, "cleared");
    EXPECT_EQ(cleared.outcome, cabinet_host::Outcome::Done);
    EXPECT_TRUE(call([&](Reply r) { cabinet_->clear_fault(clear, std::move(r)); }).replayed);
    EXPECT_EQ(heard(), (std::vector<std::string>{"open", "open", "clear_fault"}));

    // The command is journalled as it was sent, after the intent to send it.
    const auto commands = records(RecordKind::Command);
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].code, "open");
    EXPECT_EQ(commands[0].request_id, first.request_id);
    EXPECT_EQ(commands[0].door_id, 3u);
    EXPECT_EQ(commands[0].session_id, tl::kSid);
    EXPECT_EQ(commands[2].code, "clear_fault");
    EXPECT_LT(records(RecordKind::Open).at(0).cursor, commands[0].cursor);

    // This controller's state lines never show the opens it accepts: the next
    // one corrects what open_accepted made of the state, is counted, and is
    // journalled for whoever follows the records.
    const auto accepted = records(RecordKind::Event).back();
    ASSERT_EQ(accepted.code, "open_accepted");
    ASSERT_TRUE(
        eventually([&] { return records(RecordKind::State).back().cursor > accepted.cursor; }));
    EXPECT_EQ(records(RecordKind::State).back().code, "idle");
    EXPECT_GE(cabinet_->status().view_reconciled, 1u);
}

TEST_F(CabinetTest, NothingIsSentWhileTheJournalCannotWriteIt) {
    std::ofstream(dir_ / "fault") << "full";
    journal_->write_durable({Record{}}, [](bool) {});
    ASSERT_TRUE(eventually([&] { return !journal_->available(); }));
    const auto r = open(5);
    EXPECT_EQ(r.code, "journal_unavailable");
    EXPECT_EQ(r.outcome, cabinet_host::Outcome::ConnectionLost);
    const auto clear =
        call([&](Reply rep) { cabinet_->clear_fault(clear_args(), std::move(rep)); });
    EXPECT_EQ(clear.code, "journal_unavailable");
    EXPECT_TRUE(heard().empty());
}

Record alarm_record(std::string code, unsigned door, std::int64_t at, const std::string &state,
                    const std::string &id, const char *by = nullptr) {
    Record r;
    r.at_ms = at;
    r.cabinet = "lab";
    r.kind = RecordKind::Alarm;
    r.code = std::move(code);
    r.door_id = door;
    nlohmann::json d{{"state", state}, {"text", "t"}, {"alarm_id", id}};
    if (by) d["by"] = by;
    r.detail = d.dump();
    return r;
}

TEST_F(CabinetTest, AlarmsActiveWhenCabinetdStoppedAreRebuiltFromTheJournal) {
    cabinet_.reset();
    const auto now = wall_ms();
    journal_->write({alarm_record("forced_open", 3, now - 9000, "raised", "a3"),
                     alarm_record("forced_open", 1, now - 8000, "raised", "a1"),
                     alarm_record("held_open", 5, now - 7000, "raised", "b5"),
                     alarm_record("forced_open", 3, now - 6000, "acknowledged", "a3", "ops"),
                     alarm_record("forced_open", 1, now - 5000, "acknowledged", "a1", "ops"),
                     alarm_record("forced_open", 1, now - 4000, "cleared", "a1")});
    journal_->flush();
    ctl_.closed = 0xff & ~(1u << 4); // door 5 open, the rest shut and locked
    LinkOptions lopt;
    lopt.clock = [this] { return now_; };
    cabinet_ = std::make_unique<Cabinet>("lab", "memory", connect(), *journal_, lopt);
    // Before it has heard anything: as the journal left them, with their starts.
    auto active = cabinet_->alarms();
    ASSERT_EQ(active.size(), 2u);
    EXPECT_EQ(std::make_tuple(active[0].id, active[0].door, active[0].raised_at_ms),
              std::make_tuple(std::string("a3"), 3u, now - 9000));
    EXPECT_EQ(active[0].acknowledged_by, "ops");
    EXPECT_EQ(std::make_tuple(active[1].id, active[1].code, active[1].raised_at_ms),
              std::make_tuple(std::string("b5"), std::string("held_open"), now - 7000));
    EXPECT_FALSE(active[1].acknowledged_by);
    EXPECT_EQ(cabinet_->status().alarms.size(), 2u);
    // The sensors decide: door 3 shut and locked clears its acknowledged
    // alarm, saying so; door 5 open keeps its own.
    cabinet_->start();
    ASSERT_TRUE(eventually([&] { return cabinet_->alarms().size() == 1; }));
    EXPECT_EQ(cabinet_->alarms()[0].id, "b5");
    ASSERT_TRUE(eventually([&] { return records(RecordKind::Alarm).size() == 7; }));
    const auto alarms = records(RecordKind::Alarm);
    const auto cleared = nlohmann::json::parse(alarms[6].detail);
    EXPECT_EQ(cleared.at("alarm_id"), "a3");
    EXPECT_EQ(cleared.at("reason"),
              "door 3 was found closed and locked when cabinetd started again");
}

// Each open and clear is settled by a record holding its outcome, which a
// search by outcome finds; repeats of a refusal cost one record for the lot,
// and an open sent without a record of its own is not lost to a crash.
TEST_F(CabinetTest, OutcomesAreSearchableAndRepeatedRefusalsAreCounted) {
    EXPECT_EQ(open(3).code, "accepted");
    set("driver_rearming");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(open(3).code, "driver_rearming");
    EXPECT_EQ(open(4).code, "driver_rearming"); // another door: in full
    set("busy");
    EXPECT_EQ(open(3).code, "busy"); // another refusal: in full
    set("", true);
    EXPECT_EQ(open(3).code, "timeout");
    set("");
    EXPECT_EQ(open(3).code, "accepted"); // an open sent quietly, accepted: in full
    EXPECT_EQ(call([&](Reply r) { cabinet_->clear_fault(clear_args(), std::move(r)); }).code,
              "cleared");
    EXPECT_EQ(heard().size(), 11u);

    std::vector<std::string> outcomes;
    for (auto &r : page("")) // every record: the opens and clears show what settled them
        if (r.kind == RecordKind::Open || r.kind == RecordKind::Clear)
            outcomes.push_back(r.outcome);
    EXPECT_EQ(outcomes,
              (std::vector<std::string>{"accepted", "driver_rearming", "driver_rearming", "busy",
                                        "timeout", "accepted", "accepted"}));
    EXPECT_EQ(page("accepted").size(), 3u);
    EXPECT_EQ(page("timeout").at(0).kind, RecordKind::Open);
    EXPECT_EQ(page("refused").size(), 3u);
    EXPECT_TRUE(records(RecordKind::Refused).empty()); // until the window closes

    cabinet_.reset(); // stopping closes it
    const auto counted = records(RecordKind::Refused);
    ASSERT_EQ(counted.size(), 1u);
    EXPECT_EQ(counted[0].code, "driver_rearming");
    EXPECT_EQ(counted[0].door_id, 3u);
    EXPECT_EQ(counted[0].requested_by, "ops");
    const auto detail = nlohmann::json::parse(counted[0].detail);
    EXPECT_EQ(detail["count"], 4);
    EXPECT_LE(detail["first_ms"], detail["last_ms"]);
    EXPECT_EQ(page("refused").size(), 4u);
    EXPECT_EQ(records(RecordKind::Ack).size(), 6u); // none of the counted ones

    // A note of an open sent quietly, left by a crash, becomes its record.
    journal_->write_durable(
        {}, [](bool) {},
        {Note{"open:lab:r1",
              R"({"at_ms":5,"session_id":"s","request_id":"r1","door_id":2,)"
              R"("detail":"{\"requested_by\":\"ops\"}","key_scope":"","client_key":""})"},
         Note{"open:lab:r2", "not an open"}});
    journal_->flush();
    start_cabinet();
    const auto unknown = page("unknown");
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0].request_id, "r1");
    EXPECT_EQ(unknown[0].requested_by, "ops");
    EXPECT_TRUE(journal_->notes("open:").empty());
}

// After an accepted open the controller refuses every open while its latch
// driver re-arms: the status says so from the acceptance until the re-arm is
// surely over, and its watchers are told of both at once.
TEST_F(CabinetTest, TheStatusHoldsOpensBackWhileTheLatchDriverReArms) {
    std::mutex mu;
    std::vector<std::pair<std::uint64_t, bool>> told; // (when, re-arming), on the cabinet's thread
    cabinet_->on_status_change([&, cab = cabinet_.get()] {
        const bool rearming = cab->status().rearm_until_ms.has_value();
        std::lock_guard lk(mu);
        told.emplace_back(now_, rearming);
    });
    EXPECT_EQ(open(3).code, "accepted");
    const auto span = [&]() -> std::optional<std::uint64_t> {
        std::lock_guard lk(mu);
        const auto from = std::find_if(told.begin(), told.end(), [](auto &t) { return t.second; });
        const auto to = std::find_if(from, told.end(), [](auto &t) { return !t.second; });
        if (to == told.end()) return std::nullopt;
        return to->first - from->first;
    };
    ASSERT_TRUE(eventually([&] { return span().has_value(); }));
    EXPECT_GE(*span(), 1300u); // never shorter than the controller's own
    EXPECT_LT(*span(), 1500u); // and over soon after it
    cabinet_->stop();          // before what its watcher writes to goes
}

// Whoever calls it, the cabinet opens a two-person door only with an
// approval the policy made, and only while it still holds when it is sent.
TEST_F(CabinetTest, ATwoPersonDoorOpensOnlyWithAnApprovalThatStillHolds) {
    cabinet_.reset();
    start_cabinet(0x80);
    const auto alone = open(8);
    EXPECT_EQ(alone.code, "approval_required");
    EXPECT_EQ(alone.outcome, cabinet_host::Outcome::Refused);
    const auto ops2 = *policy_->authenticate("ops2-token-0123456789");
    auto approved = policy_->approve(ops(), ops2, "lab", 8, "a1");
    ASSERT_TRUE(approved);
    OpenArgs a;
    a.door = 8;
    a.who = ops();
    a.requested_by = "ops";
    a.approval = *approved;
    EXPECT_EQ(call([&](Reply r) { cabinet_->open(a, std::move(r)); }).code, "accepted");
    const auto opened = records(RecordKind::Open);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_NE(opened[0].detail.find(R"("approved_by":"ops2")"), std::string::npos);
    // The approver's token is gone by the time the same approval is sent again.
    policy_->set(*parse_token_file("ops operator ops-token-0123456789\n"));
    EXPECT_EQ(call([&](Reply r) { cabinet_->open(a, std::move(r)); }).code, "not_permitted");
    EXPECT_EQ(heard(), std::vector<std::string>{"open"});
    std::vector<std::string> refused;
    for (auto &r : records(RecordKind::Refused)) refused.push_back(r.code);
    EXPECT_EQ(refused, (std::vector<std::string>{"approval_required", "not_permitted"}));
}

} // namespace
