// The parts a cabinet is made of, each with one job, and what its thread
// keeps of the line it serves.
#pragma once

#include "cabinet.h"
#include "commands.h"
#include "heartbeat_health.h"
#include "inbox.h"
#include "journal_batch.h"
#include "refusal_windows.h"
#include "run_tracker.h"
#include "status_board.h"

#include <optional>
#include <string>
#include <vector>

namespace cabinetd {

// The alarms the journal shows active when cabinetd stopped, however it
// stopped, put back into the model before the cabinet serves anything
// (cabinet_alarms.cpp): a restart is no acknowledgement.
std::vector<Alarm> restore_alarms(AlarmModel &model, const std::string &cabinet, Journal &journal,
                                  const std::optional<std::string> &known_run, AlarmClock now);

struct Cabinet::Parts {
    Parts(const std::string &name, Journal &journal, const LinkOptions &opt, CabinetStatus first,
          AlarmClock now, std::function<void(std::function<void()>)> post);

    Inbox inbox;
    JournalBatch batch;
    RunTracker runs;
    HeartbeatHealth heartbeats;
    RefusalWindows refusals;
    AlarmModel alarms;
    StatusBoard board; // after the alarms: its first snapshot shows those restored
    Commands commands;

    // The cabinet's own thread only, from here on.
    cabinet_host::Client *client = nullptr;
    std::uint64_t last_line_ms = 0;
    std::optional<cabinet_host::StateLine> last_logged_state;
};

} // namespace cabinetd
