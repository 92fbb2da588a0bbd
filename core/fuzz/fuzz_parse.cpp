// libFuzzer target for the command line parser. The first input byte chooses
// allow_sim; the rest is the line. Every accepted line is checked against what
// the grammar promises to its callers, and the process traps on a broken promise.
#include "protocol.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace {

constexpr unsigned char kSentinel = 0xA5;

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

void check_all_bytes(const cabinet_cmd_t &cmd, unsigned char value) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&cmd);
    for (size_t i = 0; i < sizeof cmd; ++i) {
        check(bytes[i] == value);
    }
}

bool is_ident(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == ':' || c == '_';
}

// Length of a terminated identifier inside its array, or SIZE_MAX if the
// array holds no terminator or a character outside the identifier set.
size_t ident_length(const char *s, size_t cap) {
    for (size_t i = 0; i < cap; ++i) {
        if (s[i] == '\0') {
            return i;
        }
        if (!is_ident(s[i])) {
            return SIZE_MAX;
        }
    }
    return SIZE_MAX;
}

void check_accepted(const cabinet_cmd_t &cmd, bool allow_sim) {
    const cabinet_args_t &a = cmd.args;
    check(cmd.kind >= CABINET_CMD_STATE && cmd.kind <= CABINET_CMD_SIM_INPUTS);
    const size_t request = ident_length(a.request_id, sizeof a.request_id);
    const size_t session = ident_length(a.session_id, sizeof a.session_id);
    check(request != SIZE_MAX && session != SIZE_MAX);

    const bool open = cmd.kind == CABINET_CMD_OPEN;
    const bool has_session = open || cmd.kind == CABINET_CMD_HEARTBEAT ||
                             cmd.kind == CABINET_CMD_CLEAR_FAULT;
    const bool sim = cmd.kind == CABINET_CMD_SIM_INPUTS;
    check(open ? request >= 1 && request <= CABINET_REQUEST_ID_MAX : request == 0);
    check(has_session ? session >= 1 && session <= CABINET_SESSION_ID_MAX : session == 0);
    check(open ? a.door_id >= 1 && a.door_id <= CABINET_DOORS : a.door_id == 0);
    if (!open) {
        check(a.pulse_ms == 0 && a.ttl_ms == 0 && a.issued_at_ms == 0);
    }
    if (sim) {
        check(allow_sim && cmd.sim.power_ok == 1 && cmd.sim.inputs_valid <= 1);
    } else {
        check(cmd.sim.door_closed_mask == 0 && cmd.sim.latch_locked_mask == 0 &&
              cmd.sim.inputs_valid == 0 && cmd.sim.power_ok == 0);
    }
    // Bytes after each terminator were cleared, so nothing stale can leak.
    for (size_t i = request; i < sizeof a.request_id; ++i) {
        check(a.request_id[i] == '\0');
    }
    for (size_t i = session; i < sizeof a.session_id; ++i) {
        check(a.session_id[i] == '\0');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool allow_sim = (data[0] & 1u) != 0;
    const char *line = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;

    cabinet_cmd_t cmd;
    memset(&cmd, kSentinel, sizeof cmd);
    const bool ok = cabinet_parse(line, length, allow_sim ? 1 : 0, &cmd);
    if (length == 0 || length > CABINET_LINE_MAX) {
        check(!ok);
        check_all_bytes(cmd, kSentinel); // not even cleared
        return 0;
    }
    if (ok) {
        check_accepted(cmd, allow_sim);
    } else {
        check_all_bytes(cmd, 0); // the empty command, never a half-filled one
    }
    return 0;
}
