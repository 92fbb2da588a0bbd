// The cabinet's alarms: each change the model reports becomes a journal
// record of kind "alarm" (the stream and MQTT follow the journal) and is
// shown in the status. The journal is also where they come back from when
// cabinetd starts again.
#include "cabinet.h"

#include "cabinet_parts.h"

#include "log.h"

#include <cabinet_host/words.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace cabinetd {

using nlohmann::json;

namespace {

// An alarm's records are its raise, at most one acknowledgement and its
// clear: the latest few of a door and code tell whether one is active.
constexpr std::size_t kAlarmRecordsRead = 4;
// How far back the latest run's events are read for doors left open.
constexpr std::size_t kEventsRead = 512;

json detail_of(const Record &r) {
    auto j = json::parse(r.detail, nullptr, false);
    return j.is_object() ? j : json::object();
}

std::string text_of(const json &j, const char *key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The alarm one door and code's latest records (newest first) leave active:
// none once the latest says it cleared. Its start is its raise, or the
// oldest record of it left, if pruning took the raise.
std::optional<Alarm> still_active(const std::vector<Record> &newest_first) {
    if (newest_first.empty()) return std::nullopt;
    const auto &latest = newest_first.front();
    const auto d = detail_of(latest);
    const auto state = text_of(d, "state");
    if (state != "raised" && state != "acknowledged") return std::nullopt;
    Alarm a{text_of(d, "alarm_id"), latest.code,  latest.door_id, text_of(d, "text"),
            latest.at_ms,           std::nullopt, false};
    for (const auto &r : newest_first) {
        const auto rd = detail_of(r);
        if (text_of(rd, "alarm_id") != a.id) break;
        a.raised_at_ms = r.at_ms;
        const auto s = text_of(rd, "state");
        if (s == "acknowledged" && !a.acknowledged_by) a.acknowledged_by = text_of(rd, "by");
        if (s == "raised") break;
    }
    return a;
}

// The doors whose latest open or close among a run's events (newest first)
// was an open, with when the journal saw it.
std::vector<std::pair<unsigned, std::int64_t>> left_open(const std::vector<Record> &newest_first) {
    std::vector<std::pair<unsigned, std::int64_t>> out;
    bool decided[cabinet_host::kDoors] = {};
    for (const auto &r : newest_first) {
        const bool open = r.code == cabinet_host::codes::kDoorOpen;
        if ((!open && r.code != cabinet_host::codes::kDoorClosed) || r.door_id < 1 ||
            r.door_id > cabinet_host::kDoors || std::exchange(decided[r.door_id - 1], true))
            continue;
        if (open) out.emplace_back(r.door_id, r.at_ms);
    }
    return out;
}

} // namespace

std::vector<Alarm> restore_alarms(AlarmModel &model, const std::string &cabinet, Journal &journal,
                                  const std::optional<std::string> &known_run, AlarmClock now) {
    // Each alarm comes back with its first start; the sensors, once heard,
    // clear it or not as ever. A door the journal last saw open is timed from then.
    std::vector<Alarm> active;
    for (unsigned door = 1; door <= cabinet_host::kDoors; ++door)
        for (const auto code : {kForcedOpen, kHeldOpen})
            if (auto a = still_active(
                    journal.latest_alarms(cabinet, door, std::string(code), kAlarmRecordsRead)))
                active.push_back(std::move(*a));
    std::vector<std::pair<unsigned, std::int64_t>> opened;
    if (known_run) opened = left_open(journal.latest_events(cabinet, *known_run, kEventsRead));
    model.restore(std::move(active), opened, now);
    for (const auto &a : model.active())
        log(Level::Warning,
            fmt::format("{}: alarm {} of door {} still active from before cabinetd started{}: {}",
                        cabinet, a.code, a.door,
                        a.acknowledged_by ? " (acknowledged by " + *a.acknowledged_by + ")" : "",
                        a.text));
    return model.active();
}

std::vector<Alarm> Cabinet::alarms() const {
    return parts_->board.read([](const CabinetStatus &s) { return s.alarms; });
}

AlarmClock Cabinet::alarm_now() const { return {steady_now(), wall_ms()}; }

void Cabinet::alarm_changes(std::vector<AlarmChange> changes) {
    if (changes.empty()) return;
    auto &p = *parts_;
    for (auto &c : changes) {
        const auto &a = c.alarm;
        Record r = record(RecordKind::Alarm);
        // A raise is stamped with the alarm's start, the time a restart
        // rebuilds it with.
        if (c.what == AlarmChange::What::Raised) r.at_ms = a.raised_at_ms;
        r.session_id = p.runs.key();
        r.code = a.code;
        r.door_id = a.door;
        json detail{{"state", to_string(c.what)}, {"text", a.text}, {"alarm_id", a.id}};
        if (c.what == AlarmChange::What::Acknowledged) detail["by"] = *a.acknowledged_by;
        if (!c.reason.empty()) detail["reason"] = c.reason;
        r.detail = detail.dump();
        p.batch.add(std::move(r));
        log(c.what == AlarmChange::What::Raised ? Level::Warning : Level::Notice,
            fmt::format("{}: alarm {} {}: {}", name_, a.code, to_string(c.what), a.text));
    }
    // A raised alarm is committed at once, not within the group interval, with
    // what was batched before it: cabinetd killed a moment later still finds
    // it when it starts again. Alarms are rare; the write budget does not feel it.
    const auto raised = [](const AlarmChange &c) { return c.what == AlarmChange::What::Raised; };
    if (std::any_of(changes.begin(), changes.end(), raised)) p.batch.write_now();
    p.board.update([&](CabinetStatus &s) {
        for (auto &c : changes)
            if (raised(c)) ++s.alarms_raised[c.alarm.code];
        s.alarms = p.alarms.active();
    });
}

void Cabinet::acknowledge_alarms(std::optional<std::string> alarm_id, Principal who,
                                 std::function<void(AlarmAck)> reply) {
    post([this, alarm_id = std::move(alarm_id), who = std::move(who), reply = std::move(reply)] {
        acknowledge_now(alarm_id, who, reply);
    });
}

void Cabinet::acknowledge_now(const std::optional<std::string> &alarm_id, const Principal &who,
                              const std::function<void(AlarmAck)> &reply) {
    auto &p = *parts_;
    // Who acknowledged what must be on record before it counts.
    if (!journal_.available())
        return reply(AlarmAck{AlarmAck::Outcome::JournalUnavailable, {}, {}});
    // The alarms meant, checked and acknowledged here in one go: nothing
    // raised after the check is acknowledged unchecked.
    std::vector<Alarm> meant;
    for (const auto &a : p.alarms.active())
        if (alarm_id ? a.id == *alarm_id : !a.acknowledged_by) meant.push_back(a);
    if (alarm_id && meant.empty()) return reply(AlarmAck{AlarmAck::Outcome::UnknownId, {}, {}});
    // With none waiting, whoever may acknowledge none of these doors is
    // still told so (door 0: any door).
    std::vector<unsigned> doors;
    for (const auto &a : meant) doors.push_back(a.door);
    if (meant.empty()) doors.push_back(0);
    for (const auto door : doors)
        if (auto d = policy().decide(who, Action::Acknowledge, name_, door); !d) {
            p.commands.refuse_early(who.name, door, to_string(Action::Acknowledge), d);
            return commit_then([reply, d](bool) {
                reply(AlarmAck{AlarmAck::Outcome::Refused, {}, d.refusal()});
            });
        }
    AlarmAck ack;
    std::vector<AlarmChange> changes;
    for (const auto &a : meant)
        if (auto c = p.alarms.acknowledge(a.id, who.name))
            for (auto &change : *c) {
                if (change.what == AlarmChange::What::Acknowledged)
                    ack.acknowledged.push_back(change.alarm.id);
                changes.push_back(std::move(change));
            }
    alarm_changes(std::move(changes));
    commit_then([reply, ack = std::move(ack)](bool) { reply(ack); });
}

} // namespace cabinetd
