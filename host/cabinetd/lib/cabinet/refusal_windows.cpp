#include "refusal_windows.h"

#include "log.h"
#include "stamped.h"

#include <cabinet_host/explain.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

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

RefusalWindows::RefusalWindows(std::string cabinet, JournalBatch &batch,
                               std::chrono::milliseconds window)
        : cabinet_(std::move(cabinet)), batch_(batch),
          window_ms_(static_cast<std::uint64_t>(window.count())) {}

std::string RefusalWindows::note_key(const std::string &request_id) const {
    return fmt::format("open:{}:{}", cabinet_, request_id);
}

bool RefusalWindows::counting(const std::string &requested_by, unsigned door) const {
    auto it = windows_.lower_bound({requested_by, door, std::string(), std::string()});
    return it != windows_.end() && std::get<0>(it->first) == requested_by &&
        std::get<1>(it->first) == door && std::get<2>(it->first).empty();
}

void RefusalWindows::send_quietly(Record open) {
    const auto id = open.request_id;
    batch_.note({note_key(id), note_of(open)});
    quiet_[id] = Quiet{std::move(open), {}};
}

bool RefusalWindows::keep_line(const std::string &request_id, Record line) {
    auto quiet = quiet_.find(request_id);
    if (quiet == quiet_.end()) return false;
    quiet->second.lines.push_back(std::move(line));
    return true;
}

void RefusalWindows::write_quiet(const std::string &request_id) {
    auto it = quiet_.find(request_id);
    if (it == quiet_.end()) return;
    batch_.add(std::move(it->second.open));
    for (auto &l : it->second.lines) batch_.add(std::move(l));
    batch_.note({note_key(request_id), {}});
    quiet_.erase(it);
}

void RefusalWindows::open_failed(const Request &req, const std::string &code,
                                 const std::string &reason) {
    write_quiet(req.request_id);
    Record r = stamped(cabinet_, RecordKind::OpenFailed);
    r.session_id = req.session_id;
    r.request_id = req.request_id;
    r.door_id = req.door_id;
    r.code = code;
    r.outcome = code;
    r.detail = json{{"reason", reason}}.dump();
    batch_.add(std::move(r));
}

AckSettles RefusalWindows::settle_open(const Request &req, const std::string &requested_by,
                                       std::uint64_t now, const std::string &session) {
    const auto &code = req.ack->code;
    if (is_success_ack(code)) {
        write_quiet(req.request_id);
        return {req.request_id, "accepted", false};
    }
    const WindowKey key{requested_by, req.door_id, std::string(), code};
    auto it = windows_.find(key);
    if (it != windows_.end() && quiet_.count(req.request_id)) {
        auto &w = it->second;
        const auto at = wall_ms();
        if (w.count++ == 0) w.first_ms = at;
        w.last_ms = at;
        tell_counted(key, w);
        quiet_.erase(req.request_id);
        batch_.note({note_key(req.request_id), {}});
        return {{}, {}, true};
    }
    write_quiet(req.request_id);
    if (it == windows_.end()) open_window(key, now, session);
    return {req.request_id, code, false};
}

// A window for a requester's refusals of a door with one code, from now.
void RefusalWindows::open_window(const WindowKey &key, std::uint64_t now,
                                 const std::string &session) {
    if (windows_.size() >= kWindowsMax) {
        auto soonest = std::min_element(windows_.begin(), windows_.end(), [](auto &a, auto &b) {
            return a.second.closes_at < b.second.closes_at;
        });
        soonest->second.closes_at = 0;
        close(now, false);
    }
    windows_[key] = Window{now + window_ms_, 0, 0, 0, session};
}

// An action refused before the line (by the policy, or an open without the
// reason its door needs): a refused record of its own, and its repeats
// counted in a window like the controller's refusals, so a client that
// keeps trying costs the journal one record a minute.
void RefusalWindows::refuse_early(const EarlyRefusal &e, std::uint64_t now,
                                  const std::string &session) {
    const WindowKey key{e.requested_by, e.door, e.action, e.code};
    const auto at = wall_ms();
    if (auto it = windows_.find(key); it != windows_.end()) {
        auto &w = it->second;
        if (w.count++ == 0) w.first_ms = at;
        w.last_ms = at;
        return tell_counted(key, w);
    }
    Record r = stamped(cabinet_, RecordKind::Refused);
    r.at_ms = at;
    r.session_id = session;
    r.door_id = e.door;
    r.code = e.code;
    r.outcome = e.code;
    json d{{"requested_by", e.requested_by}, {"count", 1}, {"first_ms", at}, {"last_ms", at}};
    if (!e.action.empty()) d["action"] = e.action;
    if (!e.reason.empty()) d["reason"] = e.reason;
    r.detail = d.dump();
    batch_.add(std::move(r));
    open_window(key, now, session);
}

// A refusal counted has no record until its window closes: whoever watches
// is told of it now.
void RefusalWindows::tell_counted(const WindowKey &key, const Window &window) {
    const auto &[by, door, action, code] = key;
    const CountedRefusal told{cabinet_, door, code, by, action, window.last_ms, window.count};
    std::vector<std::function<void(const CountedRefusal &)>> watchers;
    {
        std::lock_guard lk(watchers_mu_);
        watchers = watchers_;
    }
    for (auto &w : watchers) w(told);
}

void RefusalWindows::on_counted(std::function<void(const CountedRefusal &)> told) {
    std::lock_guard lk(watchers_mu_);
    watchers_.push_back(std::move(told));
}

void RefusalWindows::close(std::uint64_t now, bool all) {
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (!all && now < it->second.closes_at) {
            ++it;
            continue;
        }
        const auto &[by, door, action, code] = it->first;
        const auto &w = it->second;
        if (w.count > 0) {
            Record r = stamped(cabinet_, RecordKind::Refused);
            r.session_id = w.session_id;
            r.door_id = door;
            r.code = code;
            r.outcome = code;
            json d{{"requested_by", by},
                   {"count", w.count},
                   {"first_ms", w.first_ms},
                   {"last_ms", w.last_ms}};
            if (!action.empty()) d["action"] = action;
            r.detail = d.dump();
            batch_.add(std::move(r));
        }
        it = windows_.erase(it);
    }
}

std::optional<std::uint64_t> RefusalWindows::next_due() const {
    std::optional<std::uint64_t> due;
    for (const auto &[key, w] : windows_) due = std::min(due.value_or(w.closes_at), w.closes_at);
    return due;
}

void RefusalWindows::recover(Journal &journal) {
    for (auto &n : journal.notes(fmt::format("open:{}:", cabinet_))) {
        batch_.note({n.key, {}});
        auto open = open_of(json::parse(n.value, nullptr, false));
        if (!open) {
            log(Level::Warning,
                fmt::format("{}: a journal note that is not an open was dropped: {}", cabinet_,
                            n.key));
            continue;
        }
        open->cabinet = cabinet_;
        Record f = *open;
        f.kind = RecordKind::OpenFailed;
        f.at_ms = wall_ms();
        f.detail = json{{"reason", "cabinetd stopped before the answer was journalled"}}.dump();
        f.key_scope.clear();
        f.client_key.clear();
        f.code = f.outcome = "unknown";
        batch_.add(std::move(*open));
        batch_.add(std::move(f));
    }
}

} // namespace cabinetd
