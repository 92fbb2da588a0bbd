// The cabinet controller. One record holds all state; the main loop feeds it
// time, input samples and parsed commands, and the controller reaches the
// board only through the outputs and emit callbacks. Everything unexpected is
// latched as a fault with the outputs off; only a clear request ends it.
#include "cabinet.h"

#include <cstring>

#include "protocol.h"
#include "text.h"

extern "C" const char *const names[5] = {"idle", "pulsing", "wait_open", "wait_close", "fault"};

namespace {

constexpr uint64_t SEQ_MAX = UINT64_MAX;
constexpr uint16_t ALL_SECURE = 0xffffu;

// Every code the controller publishes, latches or answers with. fault_code
// always points at one of these, never at a copy.
constexpr char CODE_NONE[] = "none";
constexpr char EV_BOOT[] = "boot";
constexpr char EV_DOOR_OPEN[] = "door_open";
constexpr char EV_DOOR_CLOSED[] = "door_closed";
constexpr char EV_LATCH_UNLOCKED[] = "latch_unlocked";
constexpr char EV_LATCH_LOCKED[] = "latch_locked";
constexpr char EV_INPUTS_READY[] = "inputs_ready";
constexpr char EV_PULSE_CANCELLED[] = "pulse_cancelled";
constexpr char EV_PULSE_DOOR_OPEN[] = "pulse_door_open";
constexpr char EV_PULSE_COMPLETE[] = "pulse_complete";
constexpr char EV_CYCLE_COMPLETE[] = "cycle_complete";
constexpr char EV_DOOR_HELD_OPEN[] = "door_held_open";
constexpr char EV_OPEN_ACCEPTED[] = "open_accepted";
constexpr char EV_FAULT_CLEARED[] = "fault_cleared";

constexpr char FAULT_IDENTITY_INVALID[] = "identity_invalid";
constexpr char FAULT_CLOCK_REGRESSED[] = "clock_regressed";
constexpr char FAULT_POWER[] = "power_fault";
constexpr char FAULT_SENSOR[] = "sensor_fault";
constexpr char FAULT_HEARTBEAT_LOST[] = "heartbeat_lost";
constexpr char FAULT_OTHER_DOOR_UNSAFE[] = "other_door_unsafe";
constexpr char FAULT_OPEN_NOT_OBSERVED[] = "open_not_observed";
constexpr char FAULT_EVENT_SEQ_EXHAUSTED[] = "event_seq_exhausted";

constexpr char RES_ACCEPTED[] = "accepted";
constexpr char RES_INVALID_COMMAND[] = "invalid_command";
constexpr char RES_SESSION_MISMATCH[] = "session_mismatch";
constexpr char RES_RANGE_ERROR[] = "range_error";
constexpr char RES_FUTURE_COMMAND[] = "future_command";
constexpr char RES_EXPIRED[] = "expired";
constexpr char RES_DUPLICATE[] = "duplicate";
constexpr char RES_FAULT[] = "fault";
constexpr char RES_HEARTBEAT_REQUIRED[] = "heartbeat_required";
constexpr char RES_BUSY[] = "busy";
constexpr char RES_DRIVER_REARMING[] = "driver_rearming";
constexpr char RES_DOOR_NOT_SECURE[] = "door_not_secure";

// Length of s if it is terminated within cap bytes, else cap. Never reads
// past cap, so a text from outside cannot run us off the end of a buffer.
size_t bounded_len(const char *s, size_t cap) {
    size_t n = 0;
    while (n < cap && s[n] != '\0') {
        ++n;
    }
    return n;
}

// Whether s holds a terminator within its cap bytes. A record the parser
// filled is zeroed first, so its last byte answers at once.
bool terminated(const char *s, size_t cap) {
    return s[cap - 1] == '\0' || bounded_len(s, cap) < cap;
}

// Timers are armed as now + interval; the uptime clock cannot realistically
// reach the top of 64 bits, but saturating keeps a deadline from wrapping
// into the past if it ever did.
uint64_t deadline(uint64_t now_ms, uint64_t interval_ms) {
    return now_ms > SEQ_MAX - interval_ms ? SEQ_MAX : now_ms + interval_ms;
}

uint16_t raw_word(cabinet_inputs_t s) {
    return static_cast<uint16_t>(s.door_closed_mask | (s.latch_locked_mask << 8));
}

// Latch output bit of a door 1..8. The masking only keeps a corrupted record
// from shifting out of range; admission guarantees 1..8.
uint8_t door_bit(uint8_t door) {
    return static_cast<uint8_t>(1u << ((door - 1u) & 7u));
}

// Every input has held for SETTLE_MS. A change time after now cannot be a
// recent change and does not hold anything up.
bool all_settled(const cabinet_t *c) {
    const uint64_t now = c->now_ms;
    for (const uint64_t t : c->changed_ms) {
        if (now - t < CABINET_SETTLE_MS && t <= now) { // the usual case fails the first test
            return false;
        }
    }
    return true;
}

bool heartbeat_fresh(const cabinet_t *c) {
    return c->heartbeat_seen && c->heartbeat_ms <= c->now_ms &&
           c->now_ms - c->heartbeat_ms <= CABINET_HEARTBEAT_TIMEOUT_MS;
}

// Every door closed and latched, debounced and raw, on a valid powered
// sample, with nothing having moved for the settle time.
bool doors_secure(const cabinet_t *c) {
    return c->sample.inputs_valid && c->sample.power_ok && c->inputs_ready &&
           c->stable == ALL_SECURE && raw_word(c->sample) == ALL_SECURE && all_settled(c);
}

// Whether two terminated texts are equal. Four bytes to a pass: the library's
// strcmp goes byte by byte anyway when the texts are not word-aligned, as a
// command's session id is not, and it is three times the size.
bool same_text(const char *a, const char *b) {
    for (;; a += 4, b += 4) {
        if (a[0] != b[0]) return false;
        if (a[0] == '\0') return true;
        if (a[1] != b[1]) return false;
        if (a[1] == '\0') return true;
        if (a[2] != b[2]) return false;
        if (a[2] == '\0') return true;
        if (a[3] != b[3]) return false;
        if (a[3] == '\0') return true;
    }
}

// A command is taken only from the session this controller announced, and
// only if it could announce one at all.
bool session_matches(const cabinet_t *c, const char *session_id) {
    return c->identity_ok && session_id != nullptr && same_text(session_id, c->session_id);
}

// The outputs are forced off on every call, even if we believe they already are.
void outputs_off(cabinet_t *c) {
    c->output_mask = 0;
    if (c->outputs_fn) {
        c->outputs_fn(c->user, 0, 0);
    }
}

// Numbers and publishes one event. The counter never wraps: once it is
// exhausted nothing more can be published, so the controller shuts the
// outputs and latches that condition instead.
void post_event(cabinet_t *c, const char *code, uint8_t door_id) {
    if (c->event_seq == SEQ_MAX) {
        outputs_off(c);
        c->faulted = 1;
        c->fault_code = FAULT_EVENT_SEQ_EXHAUSTED;
        c->state = CABINET_FAULT;
        return;
    }
    ++c->event_seq;
    if (c->emit_fn) {
        c->emit_fn(c->user, c->session_id, c->event_seq, c->now_ms, code, c->request_id, door_id);
    }
}

// Ends a running pulse with an event; the operation itself goes on.
void stop(cabinet_t *c, const char *code) {
    if (c->output_mask == 0) {
        return;
    }
    outputs_off(c);
    post_event(c, code, c->active_door);
}

// Latches a fault. A pulse still driven is cut first and reported as
// cancelled; a repeat of the latched code stays silent. The operation's door
// and request id stay recorded until the fault is cleared.
void fault(cabinet_t *c, const char *code) {
    if (c->output_mask != 0) {
        outputs_off(c);
        post_event(c, EV_PULSE_CANCELLED, c->active_door);
    }
    if (!c->faulted || !same_text(c->fault_code, code)) {
        post_event(c, code, c->active_door);
    }
    c->faulted = 1;
    c->fault_code = code;
    c->state = CABINET_FAULT;
}

// Brings the debounced picture up to date, one input at a time in input
// order, and declares readiness once every input has been seen and settled.
void debounce(cabinet_t *c, uint16_t raw) {
    // Only inputs not seen yet, with a new raw value, or whose debounced value
    // still differs from the raw one have anything to do. In a quiet tick
    // that is none of them.
    const auto busy = static_cast<uint16_t>(~c->seen | (c->pending ^ raw) | (c->stable ^ raw));
    for (unsigned i = 0; i < CABINET_INPUTS; ++i) {
        const uint16_t bit = static_cast<uint16_t>(1u << i);
        if (!(busy & bit)) {
            continue;
        }
        const uint16_t r = static_cast<uint16_t>(raw & bit);
        if (!(c->seen & bit) || (c->pending & bit) != r) {
            c->pending = static_cast<uint16_t>((c->pending & ~bit) | r);
            c->changed_ms[i] = c->now_ms;
            c->seen = static_cast<uint16_t>(c->seen | bit);
            continue;
        }
        if (c->now_ms - c->changed_ms[i] < CABINET_SETTLE_MS) {
            continue;
        }
        if ((c->stable & bit) == r) {
            continue;
        }
        c->stable = static_cast<uint16_t>((c->stable & ~bit) | r);
        if (c->inputs_ready) {
            const bool door_input = i < CABINET_DOORS;
            const char *code = door_input ? (r ? EV_DOOR_CLOSED : EV_DOOR_OPEN)
                                          : (r ? EV_LATCH_LOCKED : EV_LATCH_UNLOCKED);
            post_event(c, code, static_cast<uint8_t>((i & 7u) + 1u));
        }
    }
    if (!c->inputs_ready && c->seen == ALL_SECURE && all_settled(c)) {
        c->inputs_ready = 1;
        post_event(c, EV_INPUTS_READY, 0);
    }
}

// Follows the active door through pulse, opening, closing and relatching.
void supervise(cabinet_t *c) {
    const uint64_t now = c->now_ms;
    const uint8_t b = door_bit(c->active_door);

    if (!heartbeat_fresh(c)) {
        fault(c, FAULT_HEARTBEAT_LOST);
        return;
    }
    if (c->faulted) {
        c->state = CABINET_FAULT;
        return;
    }
    // Any other door open or unlocked in a single raw sample is enough.
    const uint8_t others = static_cast<uint8_t>(~b);
    if ((c->sample.door_closed_mask & others) != others ||
        (c->sample.latch_locked_mask & others) != others) {
        fault(c, FAULT_OTHER_DOOR_UNSAFE);
        return;
    }
    // The door is already moving: no need to keep driving its latch.
    if (!(c->sample.door_closed_mask & b) && c->output_mask != 0) {
        stop(c, EV_PULSE_DOOR_OPEN);
    }

    if (!(c->stable & b) && c->inputs_ready) {
        if (!c->open_seen) {
            c->open_seen = 1;
            c->opened_ms = now;
        }
        c->state = CABINET_WAIT_CLOSE;
    } else {
        if (c->state == CABINET_PULSING && now >= c->pulse_end_ms) {
            if (c->output_mask != 0) {
                stop(c, EV_PULSE_COMPLETE);
            }
            if (c->faulted) {
                return;
            }
            c->state = CABINET_WAIT_OPEN;
        }
        if (!c->open_seen) {
            if (now >= c->pulse_end_ms && now - c->pulse_end_ms >= CABINET_OPEN_TIMEOUT_MS) {
                fault(c, FAULT_OPEN_NOT_OBSERVED);
            }
            return;
        }
    }

    if (doors_secure(c)) {
        post_event(c, EV_CYCLE_COMPLETE, c->active_door);
        if (!c->faulted) {
            c->active_door = 0;
            c->state = CABINET_IDLE;
            c->request_id[0] = '\0';
        }
        return;
    }
    if (now - c->opened_ms >= CABINET_HELD_OPEN_MS && !c->held_open_sent) {
        c->held_open_sent = 1;
        post_event(c, EV_DOOR_HELD_OPEN, c->active_door);
    }
}

bool in_range(uint64_t v, uint64_t lo, uint64_t hi) { return v >= lo && v <= hi; }

// The first ring slot from `from` on whose request id could equal one of
// length len (at least 1) ending in `last`, or CABINET_RECENT. An equal id has
// its terminator at len and the same last character; almost every other one
// fails one of these two single-byte tests. Ids from one host tend to share a
// prefix and end in a counter, so the last character is what tells them apart.
unsigned next_candidate(const cabinet_t *c, unsigned from, size_t len, char last) {
    const recent_entry_t *e = c->recent + from;
    const recent_entry_t *const end = c->recent + CABINET_RECENT;
    if (e == end) {
        return CABINET_RECENT;
    }
    do { // tested at the bottom: one branch a slot on the M0+
        if (e->request_id[len - 1] == last && e->request_id[len] == '\0') {
            return static_cast<unsigned>(e - c->recent);
        }
    } while (++e != end);
    return CABINET_RECENT;
}

// Whether the first len bytes of two ids are equal, compared from the end:
// the ids a host makes share a prefix, so two different ones differ there.
bool same_id(const char *a, const char *b, size_t len) {
    while (len != 0) {
        --len;
        if (a[len] != b[len]) {
            return false;
        }
    }
    return true;
}

// Whether a live ring entry holds the request id of length len.
bool recently_accepted(const cabinet_t *c, const char *request_id, size_t len) {
    const char last = request_id[len - 1];
    for (unsigned i = next_candidate(c, 0, len, last); i < CABINET_RECENT;
         i = next_candidate(c, i + 1, len, last)) {
        const recent_entry_t &e = c->recent[i];
        if (e.expires_ms > c->now_ms && same_id(e.request_id, request_id, len)) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" {

void cabinet_init(cabinet_t *c, cabinet_outputs_fn outputs_fn, cabinet_emit_fn emit_fn,
                  void *user, const char *session_id, bool identity_ok, uint64_t now_ms) {
    if (c == nullptr) {
        return;
    }
    std::memset(c, 0, sizeof *c);
    c->state = CABINET_IDLE;
    c->outputs_fn = outputs_fn;
    c->emit_fn = emit_fn;
    c->user = user;
    c->now_ms = now_ms;
    c->fault_code = CODE_NONE;

    if (identity_ok && session_id != nullptr) {
        const size_t n = bounded_len(session_id, CABINET_SESSION_ID_MAX + 1);
        if (n >= 1 && n <= CABINET_SESSION_ID_MAX) {
            c->identity_ok = 1;
            std::memcpy(c->session_id, session_id, n + 1);
        }
    }
    // Whatever the board left driven before a restart is switched off now.
    outputs_off(c);
    if (!c->identity_ok) {
        fault(c, FAULT_IDENTITY_INVALID);
    } else {
        post_event(c, EV_BOOT, 0);
    }
}

void cabinet_tick(cabinet_t *c, uint64_t now_ms, cabinet_inputs_t sample) {
    if (c == nullptr) {
        return;
    }
    // A clock running backwards makes every timer meaningless: keep the last
    // good time and sample and drop this one.
    if (now_ms < c->now_ms) {
        fault(c, FAULT_CLOCK_REGRESSED);
        return;
    }
    c->now_ms = now_ms;
    c->sample = sample;
    if (sample.power_ok == 0) {
        fault(c, FAULT_POWER);
        return;
    }
    if (sample.inputs_valid == 0) {
        c->seen = 0;
        c->inputs_ready = 0;
        if (c->output_mask != 0 || c->active_door != 0) {
            fault(c, FAULT_SENSOR);
        }
        return;
    }
    debounce(c, raw_word(sample));
    if (c->active_door == 0) {
        if (c->faulted) {
            c->state = CABINET_FAULT;
        }
        return;
    }
    supervise(c);
}

const char *cabinet_open(cabinet_t *c, const cabinet_args_t *args) {
    // Identifiers from outside must be terminated within their buffers.
    if (c == nullptr || args == nullptr || args->request_id[0] == '\0' ||
        args->session_id[0] == '\0' ||
        !terminated(args->request_id, sizeof args->request_id) ||
        !terminated(args->session_id, sizeof args->session_id)) {
        return RES_INVALID_COMMAND;
    }
    if (!session_matches(c, args->session_id)) {
        return RES_SESSION_MISMATCH;
    }
    if (c->event_seq == SEQ_MAX) {
        fault(c, FAULT_EVENT_SEQ_EXHAUSTED);
        return FAULT_EVENT_SEQ_EXHAUSTED;
    }
    if (!in_range(args->door_id, 1, CABINET_DOORS) ||
        !in_range(args->pulse_ms, CABINET_PULSE_MIN_MS, CABINET_PULSE_MAX_MS) ||
        !in_range(args->ttl_ms, CABINET_TTL_MIN_MS, CABINET_TTL_MAX_MS)) {
        return RES_RANGE_ERROR;
    }
    const uint64_t now = c->now_ms;
    if (args->issued_at_ms > now) {
        return RES_FUTURE_COMMAND;
    }
    if (now - args->issued_at_ms >= args->ttl_ms) {
        return RES_EXPIRED;
    }
    const size_t id_len = std::strlen(args->request_id);
    if (recently_accepted(c, args->request_id, id_len)) {
        return RES_DUPLICATE;
    }
    if (c->faulted) {
        return RES_FAULT;
    }
    if (!heartbeat_fresh(c)) {
        return RES_HEARTBEAT_REQUIRED;
    }
    if (c->output_mask != 0 || c->active_door != 0 || c->state != CABINET_IDLE) {
        return RES_BUSY;
    }
    if (now < c->rearm_until_ms) {
        return RES_DRIVER_REARMING;
    }
    if (!doors_secure(c)) {
        return RES_DOOR_NOT_SECURE;
    }

    recent_entry_t &slot = c->recent[c->recent_next % CABINET_RECENT];
    c->recent_next = static_cast<uint8_t>((c->recent_next % CABINET_RECENT + 1u) % CABINET_RECENT);
    std::memcpy(slot.request_id, args->request_id, id_len + 1);
    slot.expires_ms = deadline(now, CABINET_DUPLICATE_MS);
    // The record's copy is not word-aligned, where the library copies byte by
    // byte. An id of at most 64 characters always fits.
    char *const id_end = c->request_id + CABINET_REQUEST_ID_MAX;
    *text_put(c->request_id, id_end, args->request_id, id_len) = '\0';
    c->active_door = args->door_id;
    c->rearm_until_ms = deadline(now, CABINET_REARM_MS);
    c->pulse_end_ms = deadline(now, args->pulse_ms);
    c->open_seen = 0;
    c->held_open_sent = 0;
    c->state = CABINET_PULSING;
    c->output_mask = door_bit(args->door_id);
    if (c->outputs_fn) {
        c->outputs_fn(c->user, c->output_mask, args->pulse_ms);
    }
    post_event(c, EV_OPEN_ACCEPTED, args->door_id);
    return RES_ACCEPTED;
}

bool cabinet_heartbeat(cabinet_t *c, const char *session_id) {
    if (c == nullptr || !session_matches(c, session_id)) {
        return false;
    }
    c->heartbeat_seen = 1;
    c->heartbeat_ms = c->now_ms;
    return true;
}

bool cabinet_clear_fault(cabinet_t *c, const char *session_id) {
    if (c == nullptr || !session_matches(c, session_id)) {
        return false;
    }
    if (!doors_secure(c) || !heartbeat_fresh(c)) {
        return false;
    }
    // These two mean the clock or the event numbering can no longer be
    // trusted; only a restart brings the controller back.
    if (same_text(c->fault_code, FAULT_CLOCK_REGRESSED) ||
        same_text(c->fault_code, FAULT_EVENT_SEQ_EXHAUSTED)) {
        return false;
    }
    outputs_off(c);
    c->faulted = 0;
    c->fault_code = CODE_NONE;
    c->active_door = 0;
    c->state = CABINET_IDLE;
    post_event(c, EV_FAULT_CLEARED, 0);
    c->request_id[0] = '\0';
    // With the numbering exhausted the event step has latched its fault again:
    // the controller is not back in idle, so the host must not be told
    // "cleared".
    return c->faulted == 0;
}

size_t cabinet_state_json(const cabinet_t *c, const char *platform, char *buf, size_t cap) {
    if (c == nullptr || platform == nullptr || buf == nullptr || cap == 0 ||
        c->state > CABINET_FAULT || c->fault_code == nullptr) {
        return 0;
    }
    // {"type":"state","protocol":1,"platform":"%s","session_id":"%s","uptime_ms":%llu,
    //  "event_seq":%llu,"state":"%s","active_door":%u,"output_mask":%u,"door_closed_mask":%u,
    //  "latch_locked_mask":%u,"inputs_valid":%s,"power_ok":%s,"heartbeat_ok":%s,
    //  "driver_ready":%s,"fault":"%s"}
    // A key, then its boolean value: one copy of each key in the image.
#define FLAG(key, b) text_put(text_lit(p, end, key), end, (b) ? "true" : "false")
    char *const end = buf + cap - 1; // the terminator's place
    char *p = buf;
    p = text_lit(p, end, "{\"type\":\"state\",\"protocol\":1,\"platform\":\"");
    p = text_put(p, end, platform);
    p = text_lit(p, end, "\",\"session_id\":\"");
    p = text_put(p, end, c->session_id);
    p = text_lit(p, end, "\",\"uptime_ms\":");
    p = text_u64(p, end, c->now_ms);
    p = text_lit(p, end, ",\"event_seq\":");
    p = text_u64(p, end, c->event_seq);
    p = text_lit(p, end, ",\"state\":\"");
    p = text_put(p, end, names[c->state]);
    p = text_lit(p, end, "\",\"active_door\":");
    p = text_u64(p, end, c->active_door);
    p = text_lit(p, end, ",\"output_mask\":");
    p = text_u64(p, end, c->output_mask);
    p = text_lit(p, end, ",\"door_closed_mask\":");
    p = text_u64(p, end, c->stable & 0xffu);
    p = text_lit(p, end, ",\"latch_locked_mask\":");
    p = text_u64(p, end, c->stable >> 8);
    p = FLAG(",\"inputs_valid\":", c->sample.inputs_valid && c->inputs_ready);
    p = FLAG(",\"power_ok\":", c->sample.power_ok);
    p = FLAG(",\"heartbeat_ok\":", heartbeat_fresh(c));
    p = FLAG(",\"driver_ready\":", c->now_ms >= c->rearm_until_ms);
#undef FLAG
    p = text_lit(p, end, ",\"fault\":\"");
    p = text_put(p, end, c->fault_code);
    p = text_lit(p, end, "\"}");
    if (p == nullptr) {
        return 0; // cut short: the caller must not use it
    }
    *p = '\0';
    return static_cast<size_t>(p - buf);
}

} // extern "C"
