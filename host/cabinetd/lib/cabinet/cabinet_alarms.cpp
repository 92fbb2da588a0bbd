// The cabinet's alarms: each change the model reports becomes a journal
// record of kind "alarm" (the stream and MQTT follow the journal) and is
// shown in the status.
#include "cabinet.h"

#include "log.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace cabinetd {

using nlohmann::json;

std::vector<Alarm> Cabinet::alarms() const {
    std::lock_guard lk(mu_);
    return status_.alarms;
}

AlarmClock Cabinet::alarm_now() const { return {steady_now(), wall_ms()}; }

void Cabinet::alarm_changes(std::vector<AlarmChange> changes) {
    if (changes.empty()) return;
    for (auto &c : changes) {
        const auto &a = c.alarm;
        Record r = record(RecordKind::Alarm);
        r.session_id = journal_session_;
        r.code = a.code;
        r.door_id = a.door;
        json detail{{"state", to_string(c.what)}, {"text", a.text}, {"alarm_id", a.id}};
        if (c.what == AlarmChange::What::Acknowledged) detail["by"] = *a.acknowledged_by;
        r.detail = detail.dump();
        batch_.push_back(std::move(r));
        log(c.what == AlarmChange::What::Raised ? 4 : 5,
            fmt::format("{}: alarm {} {}: {}", name_, a.code, to_string(c.what), a.text));
    }
    std::lock_guard lk(mu_);
    for (auto &c : changes)
        if (c.what == AlarmChange::What::Raised) ++status_.alarms_raised[c.alarm.code];
    status_.alarms = alarms_.active();
}

void Cabinet::acknowledge_alarms(std::optional<std::string> alarm_id, std::string by,
                                 std::function<void(AlarmAck)> reply) {
    post([this, alarm_id = std::move(alarm_id), by = std::move(by), reply = std::move(reply)] {
        // Who acknowledged what must be on record before it counts.
        if (!journal_.available()) {
            reply(AlarmAck{AlarmAck::Outcome::JournalUnavailable, {}});
            return;
        }
        auto changes = alarms_.acknowledge(alarm_id, by);
        if (!changes) {
            reply(AlarmAck{AlarmAck::Outcome::UnknownId, {}});
            return;
        }
        AlarmAck ack;
        for (auto &c : *changes)
            if (c.what == AlarmChange::What::Acknowledged) ack.acknowledged.push_back(c.alarm.id);
        alarm_changes(std::move(*changes));
        commit_then([reply, ack = std::move(ack)](bool) { reply(ack); });
    });
}

} // namespace cabinetd
