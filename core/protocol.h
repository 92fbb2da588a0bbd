// The strict parser of inbound command lines: one flat JSON object per line,
// drawn from ten known keys, strings of printable ASCII without escapes and
// unsigned decimal integers. Everything else is rejected whole.
#pragma once

#include "cabinet.h"

#ifdef __cplusplus
extern "C" {
#endif

// Values of cabinet_cmd_t::kind.
enum cabinet_kind_t : uint8_t {
    CABINET_CMD_NONE = 0,
    CABINET_CMD_STATE = 1,
    CABINET_CMD_HEARTBEAT = 2,
    CABINET_CMD_OPEN = 3,
    CABINET_CMD_CLEAR_FAULT = 4,
    CABINET_CMD_SIM_INPUTS = 5,
};

typedef struct alignas(8) cabinet_args_t {
    char request_id[CABINET_REQUEST_ID_MAX + 1]; // "open" only; else empty
    char session_id[CABINET_SESSION_ID_MAX + 1];
    uint64_t issued_at_ms; // on the controller's uptime clock
    uint32_t pulse_ms;
    uint32_t ttl_ms;
    uint8_t door_id; // 1..8 for "open"; else 0
} cabinet_args_t;

typedef struct cabinet_cmd_t {
    uint8_t kind; // cabinet_kind_t
    cabinet_args_t args;
    cabinet_inputs_t sim; // "sim_inputs" only; all zero otherwise
} cabinet_cmd_t;

// Parses the first `length` bytes of `line` (1..512, need not be terminated).
// Returns true and fills *cmd for a well-formed command; false otherwise.
// A null line or cmd, or a length outside 1..512, returns false with *cmd
// untouched; otherwise *cmd is cleared first.
bool cabinet_parse(const char *line, size_t length, int allow_sim, cabinet_cmd_t *cmd);

#ifdef __cplusplus
}
#endif
