#include "api_rig.h"

#include "http_routes.h"
#include "openapi.h"
#include "sse.h"

#include "test_lines.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <future>
#include <thread>
#include <unistd.h>

namespace cabinetd::test_support {
namespace {

namespace fs = std::filesystem;
namespace tl = test_lines;
using nlohmann::json;

// lab's line: the scripted controller answers every line at once, and says
// its state every simulated second. Finding nothing to read, it gives the
// processor up for a moment and moves the clock a millisecond on, so that
// simulated time runs a few times faster than real time rather than as fast
// as the thread can spin, and the test's own steps fall between its ticks.
class ScriptedLine final : public cabinet_host::Transport {
public:
    ScriptedLine(ControllerScript &s, std::uint64_t &now) : s_(s), now_(now) {
        mem_.attach_clock(&now_);
        mem_.on_send = [this](const std::string &l) { answer(l); };
    }
    void send_line(const std::string &line) override {
        std::lock_guard lk(s_.mu);
        mem_.send_line(line);
    }
    std::optional<std::string> receive_line(std::chrono::milliseconds timeout) override {
        {
            std::lock_guard lk(s_.mu);
            for (; !s_.say.empty(); s_.say.pop_front()) mem_.push_received(s_.say.front());
            if (now_ >= next_state_ms_) {
                mem_.push_received(state());
                next_state_ms_ = now_ + 1000;
            }
            if (auto l = mem_.receive_line(std::chrono::milliseconds(0))) return l;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        return mem_.receive_line(std::min(timeout, std::chrono::milliseconds(1)));
    }

private:
    std::string state() const {
        const bool fault = s_.fault != "none";
        return tl::state(tl::kSid, now_ + 1, s_.seq, fault ? "fault" : "idle", 255, 255, true, true,
                         s_.fault.c_str());
    }
    void ack(const std::string &code, const std::string &rid = "", unsigned door = 0) {
        mem_.push_received(tl::ack(tl::kSid, now_ + 1, code, rid, door, s_.seq));
    }
    // Called with s_.mu held (from send_line).
    void answer(const std::string &line) {
        const auto j = json::parse(line);
        const auto type = j.at("type").get<std::string>();
        if (type == "state") return mem_.push_received(state());
        if (type == "heartbeat") return ack("heartbeat_ok");
        s_.heard.push_back(type);
        if (type == "clear_fault") return ack(s_.clear_ack);
        const auto rid = j.at("request_id").get<std::string>();
        const auto door = j.at("door_id").get<unsigned>();
        if (s_.open_ack != "accepted") {
            if (!s_.open_ack.empty()) ack(s_.open_ack, rid, door);
            return;
        }
        mem_.push_received(tl::event(tl::kSid, ++s_.seq, now_ + 1, "open_accepted", rid, door));
        ack("accepted", rid, door);
        mem_.push_received(tl::event(tl::kSid, ++s_.seq, now_ + 1, "cycle_complete", rid, door));
    }

    ControllerScript &s_;
    std::uint64_t &now_;
    std::uint64_t next_state_ms_ = 0;
    cabinet_host::MemoryTransport mem_;
};

// The document's path template for a request path ("/api/cabinets/{name}"),
// or "": templates without parameters first, so /healthz is not a {file}.
std::string doc_template(const json &paths, std::string_view path) {
    std::string best;
    for (auto &[tmpl, item] : paths.items()) {
        std::string_view t = tmpl, p = path;
        bool fits = true;
        while (fits && !t.empty() && !p.empty()) {
            const auto ts = t.substr(1, t.find('/', 1) - 1), ps = p.substr(1, p.find('/', 1) - 1);
            fits = ts == ps || (ts.size() > 2 && ts.front() == '{' && !ps.empty());
            t.remove_prefix(std::min(t.size(), ts.size() + 1));
            p.remove_prefix(std::min(p.size(), ps.size() + 1));
        }
        if (fits && t.empty() && p.empty() && (best.empty() || best.find('{') != std::string::npos))
            best = tmpl;
    }
    return best;
}

// What the API document does not say of an answer, or "": a path it does
// not list may answer only 404, a method it does not list only 405.
std::string undocumented(http::verb method, std::string_view target, const Response &r) {
    static const json doc = json::parse(openapi_json());
    const auto path = target.substr(0, target.find('?'));
    const auto status = std::to_string(static_cast<int>(r.status));
    const auto tmpl = doc_template(doc["paths"], path);
    if (tmpl.empty()) return status == "404" ? "" : fmt::format("{} {}: not listed", status, path);
    const auto &item = doc["paths"][tmpl];
    const auto m =
        std::string(http::to_string(method == http::verb::head ? http::verb::get : method));
    std::string verb;
    for (const char c : m) verb += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!item.contains(verb))
        return status == "405" ? "" : fmt::format("{} {} {}: no such operation", status, m, tmpl);
    const auto &responses = item[verb]["responses"];
    if (!responses.contains(status))
        return fmt::format("{} {} {}: status not listed", status, m, tmpl);
    auto answer = responses[status];
    if (answer.contains("$ref")) {
        const auto ref = answer["$ref"].get<std::string>();
        answer = doc["components"]["responses"][ref.substr(ref.rfind('/') + 1)];
    }
    const auto media = r.content_type.substr(0, r.content_type.find(';'));
    if (!answer.contains("content") || !answer["content"].contains(media))
        return fmt::format("{} {} {}: {} not listed", status, m, tmpl, media);
    return "";
}

} // namespace

void ControllerScript::event(const std::string &code, unsigned door) {
    std::lock_guard lk(mu);
    say.push_back(tl::event(tl::kSid, ++seq, 1, code, "", door));
}

ApiRig::ApiRig() {
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
        fmt::format("cabinetd-api-{}-{}", ::getpid(), test ? test->name() : "rig");
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    JournalOptions jopt;
    fault_vfs_.fail_while((dir_ / "fault").string());
    jopt.vfs = fault_vfs_.name();
    jopt.retry_interval = std::chrono::milliseconds(20);
    journal_ = std::make_unique<Journal>((dir_ / "journal.db").string(), jopt);
    PolicyOptions popt;
    popt.zone = std::make_shared<const SiteZone>("Europe/Berlin");
    popt.clock = [this] {
        return wall_ ? *wall_
                     : std::chrono::time_point_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now());
    };
    policy_ = std::make_shared<Policy>(popt);
    tokens_ = std::make_unique<Tokens>(*policy_);
    reload(fmt::format(
        "ops operator {}\nops2 operator {}\nkiosk viewer {}\nnurse operator {} lab:1-4\n",
        kOperator, kOperator2, kViewer, kNurse));
    HttpOptions hopt;
    hopt.approvals.clock = [this] { return approval_ms_; };
    ctx_ = std::make_unique<ApiContext>(*journal_, *tokens_, hopt);
    LinkOptions lopt;
    lopt.two_person_doors = 0x80;
    lopt.backoff_min = lopt.backoff_max = std::chrono::milliseconds(20);
    lopt.clock = [this] { return now_; };
    lopt.reason_doors = 0x40; // door 7
    lopt.policy = policy_;
    cabinets_.push_back(std::make_unique<Cabinet>(
        "lab", "/dev/ttyLAB", [this] { return std::make_unique<ScriptedLine>(script_, now_); },
        *journal_, lopt));
    LinkOptions dead_link;
    dead_link.backoff_min = std::chrono::milliseconds(20);
    dead_link.policy = policy_;
    cabinets_.push_back(std::make_unique<Cabinet>(
        "dead", kDeadEndpoint,
        []() -> std::unique_ptr<cabinet_host::Transport> {
            throw std::runtime_error("cannot connect to 10.0.0.7:5000: connection refused");
        },
        *journal_, dead_link));
    for (auto &c : cabinets_) {
        ctx_->cabinets.emplace_back(c.get(), c->name() == "lab" ? "/dev/ttyLAB" : kDeadEndpoint);
        c->start();
    }
    EXPECT_TRUE(eventually([&] {
        const auto s = lab().status();
        return s.link == Link::Up && s.heartbeat_ok_local_ms &&
            cabinets_[1]->status().link_reason != "not connected yet";
    }));
}

ApiRig::~ApiRig() {
    reader_.stop();
    cabinets_.clear();
    ctx_.reset();
    journal_.reset();
    fs::remove_all(dir_);
}

Response ApiRig::serve(http::verb method, const std::string &target, const std::string &token,
                       const std::string &body, const Headers &headers) {
    Request req{method, target, 11};
    req.set(http::field::host, "127.0.0.1:8080");
    if (!token.empty()) req.set(http::field::authorization, "Bearer " + token);
    if (!body.empty()) req.set(http::field::content_type, "application/json");
    for (auto &[name, value] : headers) req.set(name, value);
    req.body() = body;
    req.prepare_payload();
    auto routed = route_request(req, *tokens_, {});
    std::optional<Response> out;
    if (!routed) out = refusal_response(routed.refusal());
    else {
        auto &[m, who] = *routed;
        auto later = std::make_shared<std::promise<Response>>();
        auto answer = later->get_future();
        ApiRequest ar{req, m.query, m.params,
                      who, reader_, [later](Response r) { later->set_value(std::move(r)); }};
        if (m.route->stream) {
            // The stream would take the connection over: a 200 says it starts.
            auto start = stream_request(ar, *ctx_);
            out = start ? Response{http::status::ok, "", "text/event-stream", {}}
                        : refusal_response(start.refusal());
        } else if (!(out = m.route->handler(ar, *ctx_))) {
            const bool answered =
                answer.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
            EXPECT_TRUE(answered) << target << ": no answer";
            out = answered ? answer.get() : error_response(500, "no answer");
        }
    }
    EXPECT_EQ(undocumented(method, target, *out), "");
    return std::move(*out);
}

void ApiRig::reload(const std::string &token_file) {
    auto parsed = parse_token_file(token_file);
    ASSERT_TRUE(parsed) << parsed.refusal().text;
    policy_->set(std::move(*parsed));
    tokens_->reloaded();
    if (ctx_) ctx_->approvals.revoke_lost();
}

void ApiRig::expect_refused(const std::vector<Refused> &cases) {
    for (const auto &c : cases) {
        const auto r = serve(c.method, c.target, c.token, c.body, c.headers);
        const auto where = std::string(http::to_string(c.method)) + " " + c.target + " " + c.body;
        EXPECT_EQ(static_cast<int>(r.status), c.status) << where << ": " << r.body;
        const auto j = json_of(r);
        EXPECT_TRUE(j.is_object() && j["error"].is_string() && !j["error"].empty()) << where;
        EXPECT_EQ(r.headers.size(), c.status == 401 ? 1u : 0u) << where << ": WWW-Authenticate";
    }
    std::lock_guard lk(script_.mu);
    EXPECT_TRUE(script_.heard.empty())
        << script_.heard.size() << " commands reached the controller";
}

json ApiRig::json_of(const Response &r) const {
    EXPECT_EQ(r.content_type, "application/json");
    return json::parse(r.body, nullptr, false);
}

bool ApiRig::eventually(const std::function<bool()> &pred) {
    for (int i = 0; i < 3000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

void ApiRig::fill_the_disk() {
    std::ofstream(dir_ / "fault") << "full";
    journal_->write_durable({Record{}}, [](bool) {});
    ASSERT_TRUE(eventually([&] { return !journal_->available(); }));
}

} // namespace cabinetd::test_support
