// The cabinet controller: a hardware-free state machine that supervises the
// eight doors. It is told the time and handed input samples; it acts on the
// board only through the two callbacks given to cabinet_init.
//
// Freestanding: no heap, no exceptions, no RTTI. The functions have C linkage
// and take only fixed-width integers, bool, pointers and plain records, so the
// board layer (or a C caller) links to them unchanged.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Timing and size constants of the controller, in milliseconds where timed.
#define CABINET_SETTLE_MS 30u              // an input must hold this long to count
#define CABINET_HEARTBEAT_TIMEOUT_MS 5000u // a heartbeat older than this is stale
#define CABINET_OPEN_TIMEOUT_MS 10000u     // door must be seen open this soon after the pulse
#define CABINET_HELD_OPEN_MS 60000u        // reported once if the cycle runs this long after the open
#define CABINET_REARM_MS 1300u             // no new open this soon after the last admission
#define CABINET_DUPLICATE_MS 5000u         // a request id is blocked this long after acceptance
#define CABINET_PULSE_MIN_MS 100u
#define CABINET_PULSE_MAX_MS 1000u
#define CABINET_TTL_MIN_MS 1u
#define CABINET_TTL_MAX_MS 5000u
#define CABINET_DOORS 8u
#define CABINET_INPUTS 16u
#define CABINET_RECENT 64u               // entries in the replay ring
#define CABINET_SESSION_ID_MAX 48u       // characters, terminator excluded
#define CABINET_REQUEST_ID_MAX 64u       // characters, terminator excluded
#define CABINET_LINE_MAX 512u            // longest inbound line, line feed excluded

#ifdef __cplusplus
extern "C" {
#endif

// One input sample, passed by value. Read as a 16-bit word
// door_closed_mask | latch_locked_mask << 8: input i belongs to door (i & 7) + 1
// and a set bit is always the safe reading (closed, locked).
typedef struct cabinet_inputs_t {
    uint8_t door_closed_mask;
    uint8_t latch_locked_mask;
    uint8_t inputs_valid; // 0 or 1; when 0 the masks mean nothing
    uint8_t power_ok;     // 0 or 1
} cabinet_inputs_t;

enum cabinet_state_t : uint8_t {
    CABINET_IDLE = 0,
    CABINET_PULSING = 1,
    CABINET_WAIT_OPEN = 2,
    CABINET_WAIT_CLOSE = 3,
    CABINET_FAULT = 4,
};

// Drives the latch outputs: mask bit d-1 releases door d for pulse_ms.
// (user, 0, 0) switches every latch output off now.
typedef void (*cabinet_outputs_fn)(void *user, uint8_t mask, uint32_t pulse_ms);

// Publishes one numbered event.
typedef void (*cabinet_emit_fn)(void *user, const char *session_id, uint64_t event_seq,
                                uint64_t uptime_ms, const char *code, const char *request_id,
                                uint8_t door_id);

// One slot of the replay ring.
typedef struct recent_entry_t {
    char request_id[CABINET_REQUEST_ID_MAX + 1];
    uint64_t expires_ms; // blocks a repeat of request_id while greater than now_ms
} recent_entry_t;

// The controller record. Flags are single bytes holding 0 or 1; all times are
// milliseconds of uptime.
typedef struct cabinet_t {
    cabinet_outputs_fn outputs_fn;
    cabinet_emit_fn emit_fn;
    void *user;
    char session_id[CABINET_SESSION_ID_MAX + 1];
    char request_id[CABINET_REQUEST_ID_MAX + 1];
    recent_entry_t recent[CABINET_RECENT];
    uint8_t recent_next;
    uint64_t now_ms;
    uint64_t event_seq;
    uint64_t heartbeat_ms;
    uint64_t pulse_end_ms;
    uint64_t opened_ms;
    uint64_t rearm_until_ms;
    uint64_t changed_ms[CABINET_INPUTS];
    cabinet_inputs_t sample;
    uint16_t pending;
    uint16_t stable;
    uint16_t seen;
    uint8_t heartbeat_seen;
    uint8_t identity_ok;
    uint8_t inputs_ready;
    uint8_t faulted;
    uint8_t open_seen;
    uint8_t held_open_sent;
    uint8_t output_mask;
    uint8_t active_door;
    cabinet_state_t state;
    const char *fault_code; // always one of the controller's constant strings
} cabinet_t;

struct cabinet_args_t; // one parsed command's arguments (protocol.h)

// State names printed in the state line, indexed by cabinet_state_t.
extern const char *const names[5];

void cabinet_init(cabinet_t *c, cabinet_outputs_fn outputs_fn, cabinet_emit_fn emit_fn,
                  void *user, const char *session_id, bool identity_ok, uint64_t now_ms);
void cabinet_tick(cabinet_t *c, uint64_t now_ms, cabinet_inputs_t sample);
const char *cabinet_open(cabinet_t *c, const struct cabinet_args_t *args);
bool cabinet_heartbeat(cabinet_t *c, const char *session_id);
bool cabinet_clear_fault(cabinet_t *c, const char *session_id);
size_t cabinet_state_json(const cabinet_t *c, const char *platform, char *buf, size_t cap);

#ifdef __cplusplus
}
#endif
