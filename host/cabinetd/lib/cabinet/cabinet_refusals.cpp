// A flood of refused opens costs the journal almost nothing: after one
// requester's open of a door is refused, their further opens of that door
// are sent with a note instead of a record, and those refused with the same
// code within the window are counted and journalled as one record when it
// closes (or cabinetd stops). Anything else such an open gets (accepted, a
// different refusal, no answer) journals it in full, as every open is. The
// note is durable before the open is sent, so an open never goes unrecorded
// when cabinetd dies mid-cycle: start-up turns a note left behind into the
// open's record.
#include "cabinet.h"

#include "log.h"

#include <cabinet_host/explain.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace cabinetd {

using namespace cabinet_host;
using nlohmann::json;

namespace {

// Windows counted at once; past that the one closing soonest closes now.
constexpr std::size_t kWindowsMax = 256;

std::string note_of(const Record &r) {
    return json{{"at_ms", r.at_ms},           {"session_id", r.session_id},
                {"request_id", r.request_id}, {"door_id", r.door_id},
                {"detail", r.detail},         {"key_scope", r.key_scope},
                {"client_key", r.client_key}}
        .dump();
}

// The open a note stands for; nothing for a note that is not one.
std::optional<Record> open_of(const json &n) {
    const auto text = [&](const char *k) { return n.contains(k) && n[k].is_string(); };
    if (!n.is_object() || !n.contains("at_ms") || !n["at_ms"].is_number_integer() ||
        !n.contains("door_id") || !n["door_id"].is_number_unsigned() || !text("session_id") ||
        !text("request_id") || !text("detail") || !text("key_scope") || !text("client_key"))
        return std::nullopt;
    Record r;
    r.kind = RecordKind::Open;
    r.at_ms = n["at_ms"].get<std::int64_t>();
    r.session_id = n["session_id"].get<std::string>();
    r.request_id = n["request_id"].get<std::string>();
    r.door_id = n["door_id"].get<unsigned>();
    r.detail = n["detail"].get<std::string>();
    r.key_scope = n["key_scope"].get<std::string>();
    r.client_key = n["client_key"].get<std::string>();
    return r;
}

} // namespace

std::string Cabinet::note_key(const std::string &request_id) const {
    return fmt::format("open:{}:{}", name_, request_id);
}

bool Cabinet::counting(const std::string &requested_by, unsigned door) const {
    auto it = refusals_.lower_bound({requested_by, door, std::string()});
    return it != refusals_.end() && std::get<0>(it->first) == requested_by &&
        std::get<1>(it->first) == door;
}

// The open goes out once its note is durable, in place of its record.
void Cabinet::send_quietly(Record open) {
    const auto id = open.request_id;
    notes_.push_back({note_key(id), note_of(open)});
    quiet_[id] = Quiet{std::move(open), {}};
}

// A quiet open journalled in full after all: its record, the lines written
// for it, and its note forgotten in the same commit.
void Cabinet::write_quiet(const std::string &request_id) {
    auto it = quiet_.find(request_id);
    if (it == quiet_.end()) return;
    batch_.push_back(std::move(it->second.open));
    for (auto &l : it->second.lines) batch_.push_back(std::move(l));
    notes_.push_back({note_key(request_id), {}});
    quiet_.erase(it);
}

void Cabinet::open_failed(const Request &req, const std::string &code, const std::string &reason) {
    write_quiet(req.request_id);
    Record r = record(RecordKind::OpenFailed);
    r.session_id = req.session_id;
    r.request_id = req.request_id;
    r.door_id = req.door_id;
    r.code = code;
    r.outcome = code;
    r.detail = json{{"reason", reason}}.dump();
    batch_.push_back(std::move(r));
}

// An open the controller answered: a refusal already being counted is
// counted, the first one opens a window; the ack about to be handled is
// journalled with the outcome, unless it was counted.
void Cabinet::settle_open(const Request &req, const std::string &requested_by) {
    const auto &code = req.ack->code;
    if (is_success_ack(code)) {
        write_quiet(req.request_id);
        ack_settles_ = AckSettles{req.request_id, "accepted", false};
        return;
    }
    const auto key = std::make_tuple(requested_by, req.door_id, code);
    auto it = refusals_.find(key);
    if (it != refusals_.end() && quiet_.count(req.request_id)) {
        auto &w = it->second;
        const auto at = wall_ms();
        if (w.count++ == 0) w.first_ms = at;
        w.last_ms = at;
        quiet_.erase(req.request_id);
        notes_.push_back({note_key(req.request_id), {}});
        ack_settles_ = AckSettles{{}, {}, true};
        return;
    }
    write_quiet(req.request_id);
    ack_settles_ = AckSettles{req.request_id, code, false};
    if (it == refusals_.end()) open_window(key);
}

// A window for a requester's refusals of a door with one code, from now.
void Cabinet::open_window(const std::tuple<std::string, unsigned, std::string> &key) {
    const auto now = steady_now();
    if (refusals_.size() >= kWindowsMax) {
        auto soonest = std::min_element(refusals_.begin(), refusals_.end(), [](auto &a, auto &b) {
            return a.second.closes_at < b.second.closes_at;
        });
        soonest->second.closes_at = 0;
        close_refusals(now, false);
    }
    refusals_[key] = Refusals{now + static_cast<std::uint64_t>(opt_.refusal_window.count()), 0, 0,
                              0, journal_session_};
}

void Cabinet::refuse_open(OpenArgs args, std::string code) {
    post([this, args = std::move(args), code = std::move(code)] {
        refuse_early(args, code);
        commit();
    });
}

// An open refused before the line (outside its requester's scope, or
// without the reason its door needs): a refused record of its own, and its
// repeats counted in a window like the controller's refusals, so a client
// that keeps trying costs the journal one record a minute.
void Cabinet::refuse_early(const OpenArgs &args, const std::string &code) {
    const auto key = std::make_tuple(args.requested_by, args.door, code);
    const auto at = wall_ms();
    if (auto it = refusals_.find(key); it != refusals_.end()) {
        auto &w = it->second;
        if (w.count++ == 0) w.first_ms = at;
        w.last_ms = at;
        return;
    }
    Record r = record(RecordKind::Refused);
    r.at_ms = at;
    r.session_id = journal_session_;
    r.door_id = args.door;
    r.code = code;
    r.outcome = code;
    json d{{"requested_by", args.requested_by}, {"count", 1}, {"first_ms", at}, {"last_ms", at}};
    if (!args.reason.empty()) d["reason"] = args.reason;
    r.detail = d.dump();
    batch_.push_back(std::move(r));
    open_window(key);
}

// Each window that has closed (every one, when stopping), as one record of
// what it counted.
void Cabinet::close_refusals(std::uint64_t now, bool all) {
    for (auto it = refusals_.begin(); it != refusals_.end();) {
        if (!all && now < it->second.closes_at) {
            ++it;
            continue;
        }
        const auto &[by, door, code] = it->first;
        const auto &w = it->second;
        if (w.count > 0) {
            Record r = record(RecordKind::Refused);
            r.session_id = w.session_id;
            r.door_id = door;
            r.code = code;
            r.outcome = code;
            r.detail = json{{"requested_by", by},
                            {"count", w.count},
                            {"first_ms", w.first_ms},
                            {"last_ms", w.last_ms}}
                           .dump();
            batch_.push_back(std::move(r));
        }
        it = refusals_.erase(it);
    }
}

// Opens sent quietly before cabinetd last stopped, whose outcome never came:
// journalled as opens with an unknown outcome.
void Cabinet::recover_quiet_opens() {
    for (auto &n : journal_.notes(fmt::format("open:{}:", name_))) {
        notes_.push_back({n.key, {}});
        auto open = open_of(json::parse(n.value, nullptr, false));
        if (!open) {
            log(4,
                fmt::format("{}: a journal note that is not an open was dropped: {}", name_,
                            n.key));
            continue;
        }
        open->cabinet = name_;
        Record f = *open;
        f.kind = RecordKind::OpenFailed;
        f.at_ms = wall_ms();
        f.detail = json{{"reason", "cabinetd stopped before the answer was journalled"}}.dump();
        f.key_scope.clear();
        f.client_key.clear();
        f.code = f.outcome = "unknown";
        batch_.push_back(std::move(*open));
        batch_.push_back(std::move(f));
    }
    commit();
}

} // namespace cabinetd
