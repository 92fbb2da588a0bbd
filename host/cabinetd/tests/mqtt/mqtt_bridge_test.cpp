// The MQTT bridge against a stand-in broker that records what it is given
// and lets a test drop the connection, hold back acknowledgements and
// deliver commands.
#include "mqtt_bridge.h"
#include "mqtt_discovery.h"
#include "temp_dir.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <cstdint>
#include <set>
#include <thread>

namespace cabinetd {
namespace {

using nlohmann::json;

const std::string kSession = "0123456789ABCDEF-0000000000000007";
const std::string kPrefix = "tessaro/0123456789ABCDEF/";

struct Published {
    std::string topic, payload;
    bool retain = false;
    int qos = 0;
};

// The broker's side: shared by every client the bridge makes.
struct FakeNet {
    struct Client;
    std::mutex mu;
    bool up = true;       // accepting connections
    bool auto_ack = true; // acknowledge every publish at once
    bool hold = false;    // publishing blocks (the bridge's thread with it) while set
    bool holding = false; // a publish is blocked
    std::condition_variable cv;
    std::vector<Published> log;
    std::vector<std::pair<std::size_t, std::string>> subscribed; // (log size at the time, pattern)
    std::vector<Client *> live;
    std::vector<std::pair<Client *, int>> unacked;
    int next_mid = 1;

    struct Client : BrokerClient {
        explicit Client(FakeNet &n) : net(n) {}
        ~Client() override { stop(); }
        void start(const BrokerSettings &s, Callbacks c) override {
            cb = std::move(c);
            id = s.client_id;
            bool ok;
            {
                std::lock_guard lk(net.mu);
                ok = net.up;
                if (ok) {
                    net.live.push_back(this);
                    connected = true;
                }
            }
            if (ok) cb.connected();
            else cb.disconnected("connection refused");
        }
        void stop() override {
            std::lock_guard lk(net.mu);
            std::erase(net.live, this);
            std::erase_if(net.unacked, [&](auto &p) { return p.first == this; });
            connected = false;
        }
        std::optional<int> publish(const std::string &t, const std::string &p, int qos,
                                   bool retain) override {
            int mid;
            bool ack;
            {
                std::unique_lock lk(net.mu);
                net.holding = net.hold;
                net.cv.wait(lk, [&] { return !net.hold; });
                net.holding = false;
                if (!connected) return std::nullopt;
                mid = net.next_mid++;
                net.log.push_back({t, p, retain, qos});
                ack = net.auto_ack;
                if (!ack) net.unacked.emplace_back(this, mid);
            }
            if (ack) cb.published(mid);
            return mid;
        }
        bool subscribe(const std::string &pattern, int) override {
            std::lock_guard lk(net.mu);
            net.subscribed.emplace_back(net.log.size(), pattern);
            return connected;
        }
        FakeNet &net;
        Callbacks cb;
        std::string id;
        bool connected = false;
    };

    BrokerFactory factory() {
        return [this] { return std::make_unique<Client>(*this); };
    }
    // The connection breaks, as when the broker goes away.
    void drop() {
        std::vector<Client *> gone;
        {
            std::lock_guard lk(mu);
            gone = live;
            for (auto *c : gone) c->connected = false;
            live.clear();
            unacked.clear();
        }
        for (auto *c : gone) c->cb.disconnected("connection lost");
    }
    void ack_all() {
        std::vector<std::pair<Client *, int>> acks;
        {
            std::lock_guard lk(mu);
            acks.swap(unacked);
        }
        for (auto &[c, mid] : acks) c->cb.published(mid);
    }
    void deliver(const std::string &topic, const std::string &payload, bool retained = false) {
        std::vector<Client *> to;
        {
            std::lock_guard lk(mu);
            to = live;
        }
        for (auto *c : to) c->cb.message(topic, payload, retained);
    }
    void set(bool FakeNet::*flag, bool on) {
        std::lock_guard lk(mu);
        this->*flag = on;
    }
    void set_hold(bool on) {
        {
            std::lock_guard lk(mu);
            hold = on;
        }
        cv.notify_all();
    }
    bool held() {
        std::lock_guard lk(mu);
        return holding;
    }
    std::multiset<std::string> client_ids() {
        std::lock_guard lk(mu);
        std::multiset<std::string> out;
        for (auto *c : live) out.insert(c->id);
        return out;
    }
    std::vector<Published> messages(const std::string &topic = {}) {
        std::lock_guard lk(mu);
        std::vector<Published> out;
        for (auto &m : log)
            if (topic.empty() || m.topic == topic) out.push_back(m);
        return out;
    }
    std::vector<std::uint64_t> event_seqs() {
        std::vector<std::uint64_t> out;
        for (auto &m : messages(kPrefix + "event"))
            out.push_back(json::parse(m.payload)["seq"].get<std::uint64_t>());
        return out;
    }
};

using test_support::eventually;

// A controller's line that a test writes: what it pushes is heard by the
// cabinet, what the cabinet sends is dropped, and once closed the line is
// gone and cannot be opened again.
struct Script {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::string> lines;
    bool closed = false, woken = false;

    void push(std::string line) {
        {
            std::lock_guard lk(mu);
            lines.push_back(std::move(line));
        }
        cv.notify_all();
    }
    void close() {
        {
            std::lock_guard lk(mu);
            closed = true;
        }
        cv.notify_all();
    }
};

class ScriptedLine final : public cabinet_host::Transport {
public:
    explicit ScriptedLine(std::shared_ptr<Script> s) : s_(std::move(s)) {}
    void send_line(const std::string &) override {}
    std::optional<std::string> receive_line(std::chrono::milliseconds timeout) override {
        std::unique_lock lk(s_->mu);
        s_->cv.wait_for(lk, timeout, [&] { return !s_->lines.empty() || s_->closed || s_->woken; });
        s_->woken = false;
        if (!s_->lines.empty()) {
            auto l = std::move(s_->lines.front());
            s_->lines.pop_front();
            return l;
        }
        if (s_->closed) throw cabinet_host::ConnectionLost("closed");
        return std::nullopt;
    }
    void wake() override {
        {
            std::lock_guard lk(s_->mu);
            s_->woken = true;
        }
        s_->cv.notify_all();
    }

private:
    std::shared_ptr<Script> s_;
};

// The controller's lines, in its templates.
std::string state_line(std::uint64_t uptime, const char *state, unsigned locked) {
    return fmt::format(
        R"({{"type":"state","protocol":1,"platform":"rp2040_pico","session_id":"{}",)"
        R"("uptime_ms":{},"event_seq":1,"state":"{}","active_door":2,"output_mask":0,)"
        R"("door_closed_mask":255,"latch_locked_mask":{},"inputs_valid":true,"power_ok":true,)"
        R"("heartbeat_ok":true,"driver_ready":true,"fault":"none","p24_adc":2710,)"
        R"("fw":"0.2.0","hw":"0.2","transport":"uart0"}})",
        kSession, uptime, state, locked);
}
std::string event_line(std::uint64_t seq, std::uint64_t uptime, const char *code, unsigned door) {
    return fmt::format(R"({{"type":"event","session_id":"{}","event_seq":{},"uptime_ms":{},)"
                       R"("code":"{}","request_id":"r-1","door_id":{}}})",
                       kSession, seq, uptime, code, door);
}

class MqttBridgeTest : public test_support::TestDir {
protected:
    void SetUp() override {
        TestDir::SetUp();
        journal_ = std::make_unique<Journal>(path("j.db"));
        // A cabinet that has been seen before (its board is known from the
        // journal) and whose link is down now.
        cabinet_ = std::make_unique<Cabinet>("lab", "tcp:127.0.0.1:1",
                                             endpoint_transport("tcp:127.0.0.1:1"), *journal_);
        write_events(1, 1);
        boards_ = std::make_unique<BoardIds>(*journal_, std::vector<std::string>{"lab"});
        cfg_.url = "mqtt://127.0.0.1:1883";
        timing_.ha_delay_max = std::chrono::milliseconds(20);
        // This cabinet's line never comes up: nothing to wait for.
        timing_.first_state_wait = std::chrono::milliseconds(0);
    }
    void TearDown() override {
        bridge_.reset();
        boards_.reset();
        twin_.reset();
        cabinet_.reset();
        journal_.reset();
        TestDir::TearDown();
    }

    void write_events(std::uint64_t from, std::uint64_t to, const std::string &cabinet = "lab") {
        std::vector<Record> recs;
        for (auto s = from; s <= to; ++s) {
            Record r;
            r.cabinet = cabinet;
            r.kind = RecordKind::Event;
            r.session_id = kSession;
            r.event_seq = s;
            r.code = "door_open";
            r.door_id = 2;
            r.uptime_ms = 1234;
            recs.push_back(r);
        }
        journal_->write(std::move(recs));
        journal_->flush();
    }
    void start_bridge() {
        std::vector<Cabinet *> cabs{cabinet_.get()};
        if (twin_) cabs.push_back(twin_.get());
        bridge_ =
            std::make_unique<MqttBridge>(cfg_, *journal_, cabs, *boards_, net_.factory(), timing_);
        bridge_->start();
    }
    // A second cabinet, "twin", whose controller has reported lab's board.
    void add_twin() {
        twin_ = std::make_unique<Cabinet>("twin", "tcp:127.0.0.1:1",
                                          endpoint_transport("tcp:127.0.0.1:1"), *journal_);
        write_events(1, 1, "twin");
        boards_ = std::make_unique<BoardIds>(*journal_, std::vector<std::string>{"lab", "twin"});
    }
    json last(const std::string &topic) {
        auto m = net_.messages(topic);
        return m.empty() ? json() : json::parse(m.back().payload, nullptr, false);
    }

    std::unique_ptr<Journal> journal_;
    std::unique_ptr<Cabinet> cabinet_, twin_;
    std::unique_ptr<BoardIds> boards_;
    MqttConfig cfg_;
    MqttTiming timing_;
    FakeNet net_;
    std::unique_ptr<MqttBridge> bridge_;
};

// What a connection publishes first, of a cabinet whose link is down:
// subscriptions, then availability, discovery and a fresh snapshot, then events.
void expect_cold_start(FakeNet &net) {
    std::vector<std::string> topics;
    for (auto &m : net.messages()) topics.push_back(m.topic);
    ASSERT_GE(topics.size(), 4u);
    EXPECT_EQ(topics[0], kPrefix + "availability");
    EXPECT_EQ(topics[1], "homeassistant/device/tessaro_0123456789abcdef/config");
    EXPECT_EQ(topics[2], kPrefix + "state");
    {
        std::lock_guard lk(net.mu);
        std::set<std::string> subs;
        for (auto &[at, p] : net.subscribed) {
            EXPECT_EQ(at, 0u) << p << " subscribed after publishing";
            subs.insert(p);
        }
        EXPECT_TRUE(subs.count(kPrefix + "door/+/+/set") && subs.count(kPrefix + "+/set") &&
                    subs.count("homeassistant/status"));
    }
    auto avail = net.messages(kPrefix + "availability");
    EXPECT_TRUE(avail[0].retain);
    EXPECT_EQ(avail[0].payload, "offline"); // the cabinet's link is down
    auto state = json::parse(net.messages(kPrefix + "state")[0].payload);
    EXPECT_EQ(state["link"], "down");
    EXPECT_TRUE(state["state"].is_null()); // never the last known state
}

TEST_F(MqttBridgeTest, EveryConnectionIsAColdStartAndEventsWaitInTheJournal) {
    cfg_.commands = cfg_.discovery = true;
    timing_.backoff_min = timing_.backoff_max = std::chrono::milliseconds(20);
    timing_.window = 2; // fewer than wait for the broker: they go window by window
    net_.up = false;
    start_bridge();
    write_events(2, 4); // while the broker is unreachable
    net_.set(&FakeNet::up, true);
    ASSERT_TRUE(eventually([&] { return net_.event_seqs().size() == 3; }));
    EXPECT_EQ(net_.event_seqs(), (std::vector<std::uint64_t>{2, 3, 4})); // oldest first

    expect_cold_start(net_);
    auto ev = net_.messages(kPrefix + "event")[0];
    EXPECT_FALSE(ev.retain);
    EXPECT_EQ(ev.qos, 1);
    auto e = json::parse(ev.payload);
    EXPECT_EQ(e["session_id"], kSession);
    EXPECT_EQ(e["cabinet"], "lab");
    EXPECT_EQ(e["door"], 2);
    EXPECT_EQ(e["uptime_ms"], 1234);
    EXPECT_EQ(e["code"], "door_open");
    // The journal's chain head, retained: an anchor kept beyond the host.
    ASSERT_TRUE(eventually([&] { return !net_.messages(kPrefix + "journal/head").empty(); }));
    const auto head = net_.messages(kPrefix + "journal/head")[0];
    EXPECT_TRUE(head.retain);
    const auto h = json::parse(head.payload);
    EXPECT_EQ(h["anchor"],
              fmt::format("{}:{}:{}", h["origin"].get<std::string>(),
                          h["count"].get<std::uint64_t>(), h["hash"].get<std::string>()));

    // The broker is lost with events unacknowledged: on reconnecting, the
    // cold start comes again and the unacknowledged events follow it.
    net_.set(&FakeNet::auto_ack, false);
    write_events(5, 6);
    ASSERT_TRUE(eventually([&] { return net_.event_seqs().size() == 5; }));
    const auto before = net_.messages().size();
    net_.set(&FakeNet::auto_ack, true);
    net_.drop();
    ASSERT_TRUE(eventually([&] { return net_.event_seqs().size() == 7; }));
    auto all = net_.messages();
    EXPECT_EQ(all[before].topic, kPrefix + "availability");
    EXPECT_EQ(net_.event_seqs(), (std::vector<std::uint64_t>{2, 3, 4, 5, 6, 5, 6}));
    // State is never queued: the snapshot after reconnecting is the only one.
    std::size_t states = 0;
    for (std::size_t i = before; i < all.size(); ++i) states += all[i].topic == kPrefix + "state";
    EXPECT_EQ(states, 1u);
}

TEST_F(MqttBridgeTest, StateAndDoorsFollowWhatTheCabinetTellsAsItChanges) {
    // A cabinet whose controller the test speaks for.
    auto script = std::make_shared<Script>();
    auto opened = std::make_shared<bool>(false);
    cabinet_ = std::make_unique<Cabinet>(
        "lab", "tcp:127.0.0.1:1",
        [script, opened]() -> std::unique_ptr<cabinet_host::Transport> {
            if (std::exchange(*opened, true)) throw std::runtime_error("gone");
            return std::make_unique<ScriptedLine>(script);
        },
        *journal_);
    start_bridge();
    ASSERT_TRUE(eventually([&] { return !net_.messages(kPrefix + "state").empty(); }));
    cabinet_->start();
    script->push(state_line(1000, "pulsing", 253));
    // The state topic goes first, its doors' after it, in the same turn.
    ASSERT_TRUE(eventually([&] {
        return last(kPrefix + "state")["state"] == "pulsing" &&
            !last(kPrefix + "door/2/state").is_null();
    }));
    EXPECT_EQ(last(kPrefix + "state")["session_id"], kSession);
    EXPECT_EQ(last(kPrefix + "door/2/state"), (json{{"door", "closed"}, {"latch", "unlocked"}}));
    EXPECT_TRUE(eventually(
        [&] { return net_.messages(kPrefix + "availability").back().payload == "online"; }));
    // Events move them too, without waiting for the next state line, each
    // state said in words as it is reached.
    const auto states = net_.messages(kPrefix + "state").size();
    {
        std::lock_guard lk(script->mu);
        script->lines.push_back(event_line(2, 1100, "pulse_complete", 2));
        script->lines.push_back(event_line(3, 1200, "door_open", 2));
    }
    script->cv.notify_all();
    ASSERT_TRUE(eventually([&] { return last(kPrefix + "door/2/state")["door"] == "open"; }));
    EXPECT_EQ(last(kPrefix + "state")["state"], "wait_close");
    EXPECT_EQ(last(kPrefix + "state")["text"], "waiting for door 2 to close");
    const auto said = net_.messages(kPrefix + "state");
    for (auto i = states; i < said.size(); ++i) {
        const auto st = json::parse(said[i].payload)["state"];
        EXPECT_TRUE(st == "wait_open" || st == "wait_close") << said[i].payload;
    }

    const auto doors = net_.messages(kPrefix + "door/2/state").size();
    script->close();
    // Availability goes first, the state after it.
    ASSERT_TRUE(eventually([&] {
        return net_.messages(kPrefix + "availability").back().payload == "offline" &&
            last(kPrefix + "state")["link"] == "down";
    }));
    EXPECT_TRUE(last(kPrefix + "state")["state"].is_null());
    EXPECT_EQ(last(kPrefix + "state")["text"], "no link to the controller");
    EXPECT_EQ(net_.messages(kPrefix + "door/2/state").size(), doors);
    cabinet_->stop();
}

TEST_F(MqttBridgeTest, ARestartResumesAfterTheLastAcknowledgedEvent) {
    start_bridge();
    write_events(2, 3);
    ASSERT_TRUE(eventually([&] { return net_.event_seqs().size() == 2; }));
    net_.set(&FakeNet::auto_ack, false);
    write_events(4, 4); // published, never acknowledged
    ASSERT_TRUE(eventually([&] { return net_.event_seqs().size() == 3; }));
    bridge_.reset();
    write_events(5, 5); // while cabinetd's bridge is down
    {
        std::lock_guard lk(net_.mu);
        net_.auto_ack = true;
        net_.log.clear();
    }
    start_bridge();
    // A later event is the signal that nothing else went before it.
    write_events(6, 6);
    ASSERT_TRUE(eventually([&] { return net_.event_seqs().size() == 3; }));
    EXPECT_EQ(net_.event_seqs(), (std::vector<std::uint64_t>{4, 5, 6}));
}

TEST_F(MqttBridgeTest, BadCommandsAreAnsweredAndNeverReachTheCabinet) {
    cfg_.commands = true;
    start_bridge();
    ASSERT_TRUE(eventually([&] { return !net_.messages(kPrefix + "state").empty(); }));
    const auto result = [&](const std::string &sub, const std::string &payload,
                            bool retained = false) {
        const auto n = net_.messages(kPrefix + "result").size();
        net_.deliver(kPrefix + sub, payload, retained);
        EXPECT_TRUE(eventually([&] { return net_.messages(kPrefix + "result").size() == n + 1; }))
            << sub << " " << payload;
        return json::parse(net_.messages(kPrefix + "result").back().payload);
    };
    const auto code = [&](const std::string &sub, const std::string &payload,
                          bool retained = false) {
        auto r = result(sub, payload, retained);
        EXPECT_EQ(r["result"], "error") << r;
        return r["code"].get<std::string>();
    };
    EXPECT_EQ(code("door/1/open/set", "OPEN", true), "retained");
    EXPECT_EQ(code("door/1/open/set", R"({"request_id":"r1"})", true), "retained");
    EXPECT_EQ(code("door/x/open/set", "OPEN"), "unknown_topic");
    EXPECT_EQ(code("door/03/open/set", "OPEN"), "unknown_topic");
    EXPECT_EQ(code("door/1/close/set", "OPEN"), "unknown_topic");
    EXPECT_EQ(code("reboot/set", ""), "unknown_topic");
    auto r =
        result("door/1/open/set", R"({"request_id":"late-1","ttl_ms":1000,"sent_at_ms":1000})");
    EXPECT_EQ(r["code"], "expired");
    EXPECT_EQ(r["request_id"], "late-1");
    // A command from the future would never expire; the far past must not wrap around.
    EXPECT_EQ(code("door/1/open/set",
                   R"({"sent_at_ms":)" + std::to_string(wall_ms() + 365LL * 86400000) + "}"),
              "bad_request");
    EXPECT_EQ(code("door/1/open/set", R"({"sent_at_ms":-9223372036854775808})"), "expired");
    // A good command for a cabinet that is offline is refused too.
    r = result("door/3/open/set", R"({"pulse_ms":300,"ttl_ms":2000,"request_id":"k-3"})");
    EXPECT_EQ(r["code"], "offline");
    EXPECT_EQ(r["request_id"], "k-3");
    EXPECT_EQ(r["door"], 3);
    EXPECT_EQ(code("clear_fault/set", "PRESS"), "offline");
    // Nothing was asked of the cabinet.
    journal_->flush();
    Query q;
    q.kinds = {RecordKind::Open, RecordKind::Clear, RecordKind::Command};
    EXPECT_TRUE(journal_->read(q).empty());
}

TEST_F(MqttBridgeTest, AFloodOfCommandsIsAnsweredOverloadedThenDroppedNeverQueuedWithoutEnd) {
    cfg_.commands = true;
    timing_.commands = 3;
    timing_.overloaded = 2;
    start_bridge();
    ASSERT_TRUE(eventually([&] { return !net_.messages(kPrefix + "state").empty(); }));
    const auto results = [&] { return net_.messages(kPrefix + "result"); };
    net_.deliver(kPrefix + "door/1/open/set", "OPEN", true);
    ASSERT_TRUE(eventually([&] { return results().size() == 1; }));
    // The bridge's thread stalls publishing an answer while ten commands arrive.
    net_.set_hold(true);
    net_.deliver(kPrefix + "door/1/open/set", "OPEN", true);
    ASSERT_TRUE(eventually([&] { return net_.held(); }));
    for (int i = 0; i < 10; ++i)
        net_.deliver(kPrefix + "door/1/open/set", fmt::format(R"({{"request_id":"r{}"}})", i));
    net_.set_hold(false);
    ASSERT_TRUE(eventually([&] { return results().size() == 7; }));
    // Taken in order: three as usual, two answered overloaded, the rest dropped.
    net_.deliver(kPrefix + "door/1/open/set", R"({"request_id":"after"})");
    ASSERT_TRUE(eventually([&] { return results().size() == 8; }));
    std::vector<std::string> got;
    for (auto &m : results()) {
        const auto r = json::parse(m.payload);
        got.push_back(r["code"].get<std::string>() + ":" +
                      (r["request_id"].is_string() ? r["request_id"].get<std::string>() : ""));
    }
    EXPECT_EQ(got,
              (std::vector<std::string>{"retained:", "retained:", "offline:r0", "offline:r1",
                                        "offline:r2", "overloaded:r3", "overloaded:r4",
                                        "offline:after"}));
}

TEST_F(MqttBridgeTest, TwoCabinetsOfOneBoardGetOneConnectionThatRefusesTheirCommands) {
    cfg_.commands = true;
    add_twin();
    start_bridge();
    // One connection holds the shared topics: it says "offline" there and
    // nothing of either cabinet, and takes no command.
    ASSERT_TRUE(eventually([&] { return !net_.messages(kPrefix + "availability").empty(); }));
    const auto ids = net_.client_ids();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_TRUE(ids.count("cabinetd-0123456789abcdef-lab") ||
                ids.count("cabinetd-0123456789abcdef-twin"));
    EXPECT_EQ(net_.messages(kPrefix + "availability").back().payload, "offline");
    write_events(2, 2);
    net_.deliver(kPrefix + "door/3/open/set", R"({"request_id":"r1"})");
    net_.deliver(kPrefix + "clear_fault/set", "PRESS");
    ASSERT_TRUE(eventually([&] { return net_.messages(kPrefix + "result").size() == 2; }));
    const auto r = last(kPrefix + "result");
    EXPECT_EQ(r["code"], "board_id_shared") << r;
    EXPECT_NE(r["text"].get<std::string>().find("lab and twin"), std::string::npos) << r;
    EXPECT_EQ(json::parse(net_.messages(kPrefix + "result")[0].payload)["request_id"], "r1");
    EXPECT_TRUE(net_.messages(kPrefix + "state").empty());
    EXPECT_TRUE(net_.event_seqs().empty()); // waiting in the journal

    // The twin reports a board of its own: each cabinet gets its topics and
    // connection, lab's held events go out, and commands are taken again.
    Record moved;
    moved.cabinet = "twin";
    moved.kind = RecordKind::Session;
    moved.code = "restarted";
    moved.session_id = "FEDCBA9876543210-0000000000000001";
    journal_->write({moved});
    ASSERT_TRUE(eventually([&] { return net_.client_ids().size() == 2; }));
    EXPECT_EQ(net_.client_ids(),
              (std::multiset<std::string>{"cabinetd-0123456789abcdef-lab",
                                          "cabinetd-fedcba9876543210-twin"}));
    ASSERT_TRUE(eventually([&] { return net_.event_seqs() == std::vector<std::uint64_t>{2}; }));
    EXPECT_EQ(last(kPrefix + "state")["cabinet"], "lab");
    net_.deliver(kPrefix + "door/3/open/set", R"({"request_id":"r2"})");
    ASSERT_TRUE(eventually([&] { return net_.messages(kPrefix + "result").size() == 3; }));
    EXPECT_EQ(last(kPrefix + "result")["code"], "offline"); // lab's line is down
    journal_->flush();
    Query q;
    q.kinds = {RecordKind::Open, RecordKind::Clear, RecordKind::Command};
    EXPECT_TRUE(journal_->read(q).empty());
}

TEST_F(MqttBridgeTest, AnAnswerTheBrokerHasNotTakenGoesAgainOnTheNextConnection) {
    cfg_.commands = true;
    timing_.backoff_min = timing_.backoff_max = std::chrono::milliseconds(20);
    start_bridge();
    ASSERT_TRUE(eventually([&] { return !net_.messages(kPrefix + "state").empty(); }));
    // The bridge's thread stalls publishing the first answer while a second
    // command arrives; then the connection breaks under both.
    net_.set_hold(true);
    net_.deliver(kPrefix + "door/1/open/set", R"({"request_id":"a1"})");
    ASSERT_TRUE(eventually([&] { return net_.held(); }));
    net_.deliver(kPrefix + "door/2/open/set", R"({"request_id":"a2"})");
    net_.drop();
    net_.set_hold(false);
    const auto answered = [&] {
        std::vector<std::string> ids;
        for (auto &m : net_.messages(kPrefix + "result"))
            ids.push_back(json::parse(m.payload)["request_id"].get<std::string>());
        return ids;
    };
    ASSERT_TRUE(eventually([&] { return answered().size() == 2; })) << answered().size();
    EXPECT_EQ(answered(), (std::vector<std::string>{"a1", "a2"}));
}

// The fields Home Assistant's MQTT discovery documents for each platform
// (full names; device-based discovery adds "platform").
const std::map<std::string, std::set<std::string>> kDocumented = {
    {"lock",
     {"platform", "name", "unique_id", "default_entity_id", "state_topic", "value_template",
      "state_locked", "state_unlocked", "command_topic", "payload_lock", "payload_unlock",
      "payload_open", "optimistic", "qos", "retain"}},
    {"binary_sensor",
     {"platform", "name", "unique_id", "default_entity_id", "device_class", "state_topic",
      "value_template", "payload_on", "payload_off", "json_attributes_topic",
      "json_attributes_template", "qos"}},
    {"sensor",
     {"platform", "name", "unique_id", "default_entity_id", "device_class", "options",
      "state_topic", "value_template", "json_attributes_topic", "json_attributes_template",
      "entity_category", "qos"}},
    {"button",
     {"platform", "name", "unique_id", "default_entity_id", "command_topic", "payload_press", "qos",
      "retain"}},
};

TEST(MqttDiscovery, OneDeviceWithItsComponentsNamedByTheBoard) {
    auto d = discovery_config("lab", "0123456789ABCDEF", kPrefix, TopicView{});
    EXPECT_EQ(d["availability_topic"], kPrefix + "availability");
    EXPECT_EQ(d["payload_available"], "online");
    EXPECT_EQ(d["payload_not_available"], "offline");
    EXPECT_EQ(d["origin"]["name"], "cabinetd");
    EXPECT_EQ(d["device"]["identifiers"], json::array({"tessaro_0123456789abcdef"}));
    std::map<std::string, int> platforms;
    std::set<std::string> ids;
    for (auto &[key, c] : d["components"].items()) {
        const auto p = c["platform"].get<std::string>();
        ++platforms[p];
        ASSERT_TRUE(kDocumented.count(p)) << p;
        for (auto &[field, v] : c.items())
            EXPECT_TRUE(kDocumented.at(p).count(field)) << p << "." << field;
        EXPECT_FALSE(c.contains("object_id"));
        const auto uid = c["unique_id"].get<std::string>();
        EXPECT_EQ(uid.rfind("tessaro_0123456789abcdef_", 0), 0u)
            << uid; // from the board, not the name "lab"
        EXPECT_TRUE(ids.insert(uid).second) << uid;
        EXPECT_EQ(c["default_entity_id"].get<std::string>().rfind(p + ".", 0), 0u);
        if (p == "lock") {
            EXPECT_EQ(c["optimistic"], false);
            EXPECT_EQ(c["payload_open"], "OPEN");
            EXPECT_EQ(c["command_topic"].get<std::string>().substr(kPrefix.size(), 5), "door/");
        }
        if (p == "binary_sensor") { // the doors, and the cabinet's alarm
            EXPECT_EQ(c["device_class"], key == "alarm" ? "problem" : "door") << key;
        }
        if (c.contains("command_topic")) {
            EXPECT_EQ(c["retain"], false);
        }
        if (p == "button") { // what it sends is a command cabinetd takes
            const auto topic = c["command_topic"].get<std::string>().substr(kPrefix.size());
            EXPECT_TRUE(parse_mqtt_command(topic, c["payload_press"].get<std::string>()).command)
                << topic;
        }
    }
    EXPECT_EQ(platforms["lock"], 8);
    EXPECT_EQ(platforms["binary_sensor"], 9);
    EXPECT_EQ(platforms["sensor"], 2);
    EXPECT_EQ(platforms["button"], 2); // clear the fault, acknowledge the alarms
    EXPECT_EQ(discovery_topic(MqttConfig{}, "0123456789ABCDEF"),
              "homeassistant/device/tessaro_0123456789abcdef/config");
}

// A two-person door opens only with a second person's approval, which no
// MQTT command carries: its latch is a sensor, with nothing to command.
TEST(MqttDiscovery, ATwoPersonDoorsLatchIsASensorWithNoCommand) {
    TopicView v;
    v.two_person_doors = 0x80; // door 8
    const auto c = discovery_config("lab", "0123456789ABCDEF", kPrefix, v)["components"];
    const auto &latch = c["door8_latch"];
    EXPECT_EQ(latch["platform"], "binary_sensor");
    EXPECT_EQ(latch["device_class"], "lock"); // on: unlocked
    EXPECT_EQ(latch["payload_on"], "unlocked");
    EXPECT_EQ(latch["state_topic"], kPrefix + "door/8/state");
    EXPECT_EQ(latch["unique_id"], "tessaro_0123456789abcdef_door8_latch");
    for (auto &[field, value] : latch.items())
        EXPECT_TRUE(kDocumented.at("binary_sensor").count(field)) << field;
    int commands = 0;
    for (auto &[key, comp] : c.items())
        if (comp.contains("command_topic") &&
            comp["command_topic"].get<std::string>().find("door/8/") != std::string::npos)
            ++commands;
    EXPECT_EQ(commands, 0);
    EXPECT_EQ(c["door7_latch"]["platform"], "lock");
}

} // namespace
} // namespace cabinetd
