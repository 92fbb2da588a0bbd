#include "cabinet_host/client.h"
#include "test_lines.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

using namespace cabinet_host;
namespace tl = test_lines;
using std::chrono::milliseconds;

namespace {

// A transport on a fake clock: lines are delivered at scheduled times, and a
// receive with nothing due advances the clock by its whole timeout.
struct TimedTransport : Transport {
    explicit TimedTransport(std::uint64_t &clock) : now(clock) {}
    std::uint64_t &now;
    std::multimap<std::uint64_t, std::string> lines;
    std::vector<std::pair<std::uint64_t, std::string>> sent;
    std::function<void(const std::string &)> on_send;
    bool closed = false;

    void at(std::uint64_t t, std::string l) { lines.emplace(t, std::move(l)); }
    void send_line(const std::string &l) override {
        if (closed) throw ConnectionLost("closed");
        sent.emplace_back(now, l);
        if (on_send) on_send(l);
    }
    std::optional<std::string> receive_line(milliseconds timeout) override {
        const auto wait = static_cast<std::uint64_t>(timeout.count());
        if (!lines.empty() && lines.begin()->first <= now + wait) {
            now = std::max(now, lines.begin()->first);
            std::string l = lines.begin()->second;
            lines.erase(lines.begin());
            return l;
        }
        if (closed) throw ConnectionLost("closed");
        now += wait;
        return std::nullopt;
    }
    std::vector<nlohmann::json> sent_of(const std::string &type) const {
        std::vector<nlohmann::json> out;
        for (const auto &[t, l] : sent) {
            auto j = nlohmann::json::parse(l);
            j["_sent_at"] = t;
            if (j["type"] == type) out.push_back(j);
        }
        return out;
    }
    std::vector<std::uint64_t> times_of(const std::string &type) const {
        std::vector<std::uint64_t> out;
        for (const auto &j : sent_of(type)) out.push_back(j["_sent_at"].get<std::uint64_t>());
        return out;
    }
};

// A controller that booted at local time `boot`: its uptime is now - boot.
// It answers 5 ms after each line, writes a periodic state line every
// second, and can be told how to answer opens.
struct Rig {
    std::uint64_t now = 0;
    std::uint64_t boot = 0;
    TimedTransport t{now};
    std::unique_ptr<Client> c;
    std::string sid = tl::kSid;
    std::vector<std::string> open_answers; // consumed in order; then "accepted"
    bool answer = true;

    explicit Rig(ClientOptions o = {}) {
        o.request_prefix = "t";
        c = std::make_unique<Client>(t, o, [this] { return now; });
        t.on_send = [this](const std::string &line) { reply(line); };
    }
    std::uint64_t uptime(std::uint64_t local) const { return local - boot; }
    void periodic_states(std::uint64_t from, std::uint64_t to) {
        // Written over ~35 ms: the stamp is the tick before writing began.
        for (std::uint64_t t0 = from; t0 < to; t0 += 1000)
            t.at(t0, tl::state(sid, uptime(t0) - 35));
    }
    void reply(const std::string &line) {
        if (!answer) return;
        auto j = nlohmann::json::parse(line);
        const std::uint64_t at = now + 5;
        if (j["type"] == "heartbeat") t.at(at, tl::ack(sid, uptime(at), "heartbeat_ok"));
        if (j["type"] == "clear_fault") t.at(at, tl::ack(sid, uptime(at), "cleared"));
        if (j["type"] == "open") {
            std::string code = "accepted";
            if (!open_answers.empty()) {
                code = open_answers.front();
                open_answers.erase(open_answers.begin());
            }
            const std::string rid =
                code == "invalid_message" ? "" : j["request_id"].get<std::string>();
            const unsigned door = rid.empty() ? 0 : j["door_id"].get<unsigned>();
            if (code == "accepted")
                t.at(at, tl::event(sid, 2, uptime(at), "open_accepted", rid, door));
            t.at(at + 1, tl::ack(sid, uptime(at), code, rid, door));
        }
    }
    void run_until(std::uint64_t t_end) {
        while (now < t_end) c->poll(milliseconds(t_end - now));
    }
    // Heard from at 10 ms, then silent: answers and heartbeats are up to the test,
    // which writes every line the controller sends.
    void quiet_start() {
        answer = false;
        c->set_heartbeats(false);
        t.at(10, tl::state(sid, 10));
        run_until(100);
    }
};

} // namespace

TEST(Client, LearnsTheSessionThenKeepsHeartbeatsGoing) {
    Rig r;
    r.boot = 0;
    r.periodic_states(1000, 30000);
    std::vector<SessionChange> changes;
    r.c->on_session = [&](const SessionChange &s) { changes.push_back(s); };
    r.run_until(30000);

    ASSERT_EQ(changes.size(), 1u);
    EXPECT_TRUE(changes[0].first);
    EXPECT_EQ(r.c->session_id(), tl::kSid);

    // Nothing before the controller was heard, then one a second, whether or
    // not a periodic state line is being written at that moment.
    std::vector<std::uint64_t> every_second;
    for (std::uint64_t t = 1000; t <= 30000; t += 1000) every_second.push_back(t);
    EXPECT_EQ(r.t.times_of("heartbeat"), every_second);
    for (const auto &hb : r.t.sent_of("heartbeat")) EXPECT_EQ(hb["session_id"], tl::kSid);
}

TEST(Client, OpenIsStampedOnTheControllersClockAndAccepted) {
    Rig r;
    r.boot = 40000; // the controller started 40 s after our clock's zero
    r.now = 50000;
    r.periodic_states(50500, 60000);
    r.run_until(51495); // the next periodic state line is on its way
    ASSERT_TRUE(r.c->session_known());
    std::vector<std::string> events;
    r.c->on_line = [&](const Inbound &in, const std::string &) {
        if (auto *e = std::get_if<EventLine>(&in)) events.push_back(e->code);
    };
    auto open = r.c->open(3, 500, 3000);
    r.c->poll_until([&] { return open->done(); }, 55000);

    ASSERT_TRUE(open->succeeded());
    EXPECT_EQ(open->ack->request_id, open->request_id);
    EXPECT_EQ(events, std::vector<std::string>{"open_accepted"});
    const auto opens = r.t.sent_of("open");
    ASSERT_EQ(opens.size(), 1u);
    const auto stamp = opens[0]["issued_at_ms"].get<std::uint64_t>();
    const auto sent_at = opens[0]["_sent_at"].get<std::uint64_t>();
    EXPECT_EQ(sent_at, 51495u) << "held back although the line was free";
    EXPECT_LE(stamp, r.uptime(sent_at)) << "would be refused as future_command";
    EXPECT_GE(stamp + 160, r.uptime(sent_at)) << "needlessly stale";
    EXPECT_EQ(opens[0]["door_id"], 3);
    EXPECT_EQ(opens[0]["session_id"], tl::kSid);
}

TEST(Client, MangledOpenIsSentAgainWithTheSameIdThenGivenUp) {
    Rig r;
    r.periodic_states(1000, 20000);
    r.run_until(1500);
    r.open_answers = {"invalid_message"};
    auto once = r.c->open(1, 500, 3000);
    r.c->poll_until([&] { return once->done(); }, 5000);
    ASSERT_TRUE(once->succeeded());
    EXPECT_EQ(once->attempts, 2u);
    auto opens = r.t.sent_of("open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0]["request_id"], opens[1]["request_id"]);

    r.open_answers = {"invalid_message", "invalid_message", "message_too_long"};
    auto never = r.c->open(2, 500, 3000);
    r.c->poll_until([&] { return never->done(); }, 9000);
    ASSERT_TRUE(never->done());
    EXPECT_EQ(never->ack->code, "message_too_long");
    EXPECT_EQ(never->attempts, 3u);

    r.open_answers = {"busy"}; // a real refusal is never repeated
    auto busy = r.c->open(2, 500, 3000);
    r.c->poll_until([&] { return busy->done(); }, 13000);
    EXPECT_EQ(busy->attempts, 1u);
    EXPECT_EQ(busy->ack->code, "busy");
}

static ClientOptions three_in_flight() {
    ClientOptions o;
    o.max_in_flight = 3;
    return o;
}

TEST(Pipelined, AcksAreMatchedInOrderAndStrayOnesIgnored) {
    Rig r(three_in_flight());
    r.quiet_start();
    auto hb = r.c->heartbeat();
    auto open = r.c->open(4, 500, 3000);
    auto clear = r.c->clear_fault();
    ASSERT_EQ(r.t.sent.size(), 3u);
    // An open's answer carrying its request id: the heartbeat before it was
    // lost on the line. An ack of the heartbeat family cannot answer a clear.
    r.t.at(110, tl::ack(r.sid, 110, "accepted", open->request_id, 4));
    r.t.at(120, tl::ack(r.sid, 120, "heartbeat_ok"));
    r.t.at(130, tl::ack(r.sid, 130, "accepted", "someone-else", 2));
    r.t.at(140, tl::ack(r.sid, 140, "clear_denied"));
    r.run_until(200);
    EXPECT_EQ(hb->failure, Failure::LineLost);
    EXPECT_TRUE(open->succeeded());
    ASSERT_TRUE(clear->done());
    EXPECT_EQ(clear->ack->code, "clear_denied");
    EXPECT_EQ(r.c->stray_acks(), 2u);

    // In plain order, each ack answers the oldest line.
    auto h2 = r.c->heartbeat();
    auto o2 = r.c->open(5, 500, 3000);
    r.t.at(210, tl::ack(r.sid, 210, "session_mismatch"));
    r.t.at(220, tl::ack(r.sid, 220, "invalid_message")); // a parse refusal of the open...
    r.t.at(260, tl::ack(r.sid, 260, "duplicate", o2->request_id, 5)); // ...answered again
    r.run_until(300);
    ASSERT_TRUE(h2->ack && o2->ack);
    EXPECT_EQ(h2->ack->code, "session_mismatch");
    EXPECT_EQ(o2->ack->code, "duplicate");
    EXPECT_EQ(o2->attempts, 2u);
}

TEST(Pipelined, OnlyAnAckNamingALaterLineShowsALostOne) {
    Rig r(three_in_flight());
    r.quiet_start();
    // An ack without a request id is no proof that an earlier line was lost:
    // it answers the oldest line or nothing.
    auto o3 = r.c->open(4, 500, 3000);
    auto h3 = r.c->heartbeat();
    r.t.at(310, tl::ack(r.sid, 310, "heartbeat_ok"));
    r.run_until(320);
    EXPECT_FALSE(o3->done());
    EXPECT_FALSE(h3->done());
    EXPECT_EQ(r.c->stray_acks(), 1u);
    r.t.at(330, tl::ack(r.sid, 330, "accepted", o3->request_id, 4));
    r.t.at(340, tl::ack(r.sid, 340, "heartbeat_ok"));
    r.run_until(350);
    EXPECT_TRUE(o3->succeeded());
    EXPECT_TRUE(h3->succeeded());

    // A code both a heartbeat and an open can get, carrying the open's id,
    // answers the open; the heartbeat before it was lost on the line.
    auto h4 = r.c->heartbeat();
    auto o4 = r.c->open(5, 500, 3000);
    r.t.at(360, tl::ack(r.sid, 360, "session_mismatch", o4->request_id, 5));
    r.run_until(370);
    ASSERT_TRUE(o4->ack);
    EXPECT_EQ(o4->ack->code, "session_mismatch");
    EXPECT_EQ(h4->failure, Failure::LineLost);

    // Nor is an answer of another command's family one to the oldest line: a
    // clear's "cleared" answers no heartbeat, and without an id it does not
    // show the heartbeat before the clear lost either.
    auto h5 = r.c->heartbeat();
    auto c5 = r.c->clear_fault();
    r.t.at(380, tl::ack(r.sid, 380, "cleared"));
    r.run_until(390);
    EXPECT_FALSE(h5->done());
    EXPECT_FALSE(c5->done());
    r.t.at(400, tl::ack(r.sid, 400, "heartbeat_ok"));
    r.t.at(410, tl::ack(r.sid, 410, "cleared"));
    r.run_until(420);
    EXPECT_TRUE(h5->succeeded());
    EXPECT_TRUE(c5->succeeded());
}

TEST(Client, OnlyOneLineInFlightByDefault) {
    Rig r;
    r.quiet_start();
    auto a = r.c->clear_fault();
    auto b = r.c->open(1, 500, 3000);
    EXPECT_EQ(r.t.sent.size(), 1u);
    r.t.at(110, tl::ack(r.sid, 110, "cleared"));
    r.run_until(200);
    EXPECT_TRUE(a->succeeded());
    EXPECT_EQ(r.t.sent.size(), 2u); // the open went out once the clear was answered
    EXPECT_EQ(b->status, RequestStatus::Sent);
    // No ack at all: it fails after the ack timeout.
    r.run_until(1500);
    EXPECT_EQ(b->failure, Failure::Timeout);
}

TEST(Client, ANewSessionFailsWhatIsPendingAndRestartsTheClock) {
    Rig r;
    r.answer = false;
    r.c->set_heartbeats(false);
    r.now = 100000;
    r.t.at(100000, tl::state(r.sid, 90000));
    r.run_until(100100);
    auto open = r.c->open(2, 500, 3000);
    ASSERT_EQ(open->status, RequestStatus::Sent);
    std::vector<SessionChange> changes;
    r.c->on_session = [&](const SessionChange &s) { changes.push_back(s); };
    const std::string next = "E6613852832F4A29-0000000000000002";
    r.t.at(100200, tl::event(next, 1, 3, "boot"));
    r.run_until(100300);

    EXPECT_EQ(open->failure, Failure::SessionChanged);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_FALSE(changes[0].first);
    EXPECT_EQ(changes[0].old_id, r.sid);
    EXPECT_EQ(changes[0].new_id, next);
    EXPECT_EQ(r.c->session_id(), next);
    ASSERT_TRUE(r.c->controller_now());
    EXPECT_LE(*r.c->controller_now(), 103u); // the new boot's clock, not the old one

    // Without an identity every session id is empty: time going back shows the restart.
    r.t.at(100400, tl::state("", 5000));
    r.t.at(100500, tl::state("", 200));
    r.run_until(100600);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[2].reason, "uptime went backwards");
}

TEST(Client, WithoutIdentityNothingIsSentAndOpensFail) {
    Rig r;
    r.sid = "";
    r.periodic_states(1000, 5000);
    r.run_until(4000);
    EXPECT_TRUE(r.t.sent.empty()); // no heartbeat with an empty session id
    auto open = r.c->open(1, 500, 3000);
    EXPECT_EQ(open->failure, Failure::IdentityInvalid);
}

TEST(Client, CommandsBeforeAnyLineFailAndStateRequestsWaitForTheLine) {
    Rig r;
    r.c->set_heartbeats(false);
    auto hb = r.c->heartbeat();
    EXPECT_EQ(hb->failure, Failure::NoSession);
    r.c->request_state();
    EXPECT_TRUE(r.t.sent.empty()); // the controller may not be listening yet
    r.t.at(100, tl::event(r.sid, 1, 5, "boot"));
    r.run_until(200);
    ASSERT_EQ(r.t.sent.size(), 1u);
    EXPECT_EQ(r.t.sent[0].first, 100u); // as soon as it was heard
    EXPECT_EQ(r.t.sent[0].second, R"({"type":"state"})");
}

TEST(Client, MalformedLinesAreIgnored) {
    Rig r;
    r.c->set_heartbeats(false);
    int seen = 0;
    r.c->on_malformed = [&](const std::string &) { ++seen; };
    r.t.at(10, "ype\":\"state\",\"protocol\":1}");
    r.t.at(20, "{\"type\":\"state\"}");
    r.t.at(30, std::string("\x00\xff", 2));
    r.run_until(100);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(r.c->malformed_lines(), 3u);
    EXPECT_FALSE(r.c->session_known());
}

TEST(Client, LostConnectionFailsPendingRequests) {
    Rig r;
    r.quiet_start();
    auto clear = r.c->clear_fault();
    r.t.closed = true;
    EXPECT_THROW(r.c->poll(milliseconds(100)), ConnectionLost);
    EXPECT_EQ(clear->failure, Failure::ConnectionLost);
    EXPECT_THROW(r.c->open(1, 500, 3000), ConnectionLost);
}

TEST(Client, OpenRefusedAsFutureIsResentStampedOnTheControllersOwnClock) {
    Rig r;
    r.periodic_states(1000, 20000);
    r.run_until(2500);
    // The controller's clock falls 400 ms behind ours (a stalled board): our
    // estimate is now ahead of it, and the open comes back "future_command".
    r.boot += 400;
    r.open_answers = {"future_command"};
    auto open = r.c->open(3, 500, 3000);
    r.c->poll_until([&] { return open->done(); }, 5000);

    ASSERT_TRUE(open->succeeded());
    const auto opens = r.t.sent_of("open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[1]["request_id"], opens[0]["request_id"]);
    const auto resent_at = opens[1]["_sent_at"].get<std::uint64_t>();
    const auto stamp = opens[1]["issued_at_ms"].get<std::uint64_t>();
    EXPECT_LE(stamp, r.uptime(resent_at)) << "resent with a stamp still ahead of the controller";
    EXPECT_GE(stamp + 200, r.uptime(resent_at)) << "needlessly stale";
    EXPECT_LT(stamp, opens[0]["issued_at_ms"].get<std::uint64_t>());
}

TEST(Client, HostTimingRules) {
    {
        // A state line sooner than a line's writing time after a state
        // request was already on its way; the line stays busy until the
        // answer, so a command asked for meanwhile waits for it.
        Rig r;
        r.quiet_start();
        r.c->request_state();
        auto clear = r.c->clear_fault();
        r.t.at(110, tl::state(r.sid, 110));
        r.t.at(135, tl::state(r.sid, 135));
        r.run_until(200);
        ASSERT_EQ(r.t.sent.size(), 2u);
        EXPECT_EQ(r.t.sent[1].first, 135u) << "the early state line was taken for the answer";
        EXPECT_EQ(clear->status, RequestStatus::Sent);
    }
    {
        // A heartbeat the controller could not read is replaced at once.
        Rig r;
        r.answer = false;
        r.periodic_states(1000, 3000);
        r.run_until(1005);
        ASSERT_EQ(r.t.sent_of("heartbeat").size(), 1u);
        r.t.at(1010, tl::ack(r.sid, 1010, "invalid_message"));
        r.run_until(1500);
        EXPECT_EQ(r.t.times_of("heartbeat"), (std::vector<std::uint64_t>{1000, 1010}));
    }
    {
        // A host that polls late sends the heartbeat it owes at once and keeps
        // to its schedule after it, rather than shifting every later one.
        Rig r;
        r.periodic_states(1000, 6000);
        r.run_until(1500);
        r.now = 2300; // busy elsewhere
        r.run_until(5500);
        EXPECT_EQ(r.t.times_of("heartbeat"),
                  (std::vector<std::uint64_t>{1000, 2300, 3000, 4000, 5000}));
    }
}
