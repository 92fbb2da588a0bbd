// The cycle bench's cases, run once each on the emulated RP2040. Each case is
// set up, then measured between two breakpoints: the runner reads the
// emulator's cycle counter at "bkpt 1" and "bkpt 2". A case whose result is not
// the expected one stops the run ("bkpt 4"), so that a figure never comes from
// a path other than the one it names.
#include <string.h>

#include "cabinet.h"
#include "pico_main.h"
#include "protocol.h"

extern "C" {
const char *volatile bench_case;    // name of the case being measured
volatile uint32_t bench_bytes;      // bytes it works on, for per-byte figures
const char *volatile bench_failure; // why the run stopped early
uart_hw_t bench_uart[NUM_UARTS] = {{0, UART_UARTFR_RXFE_BITS}, {0, UART_UARTFR_RXFE_BITS}};
short uart_char_to_line_feed[NUM_UARTS] = {0x100, 0x100};
char bench_tx[1024];
uint32_t bench_tx_len;
}

cabinet_t cabinet;
uint16_t p24_adc;

namespace {

#define BEGIN(name, bytes)                                                                 \
    do {                                                                                   \
        bench_case = (name);                                                               \
        bench_bytes = (bytes);                                                             \
        bench_tx_len = 0;                                                                  \
        __asm volatile("bkpt #1" ::: "memory");                                            \
    } while (0)
#define END() __asm volatile("bkpt #2" ::: "memory")

void check(bool ok, const char *why) {
    if (!ok) {
        bench_failure = why;
        __asm volatile("bkpt #4" ::: "memory");
        for (;;) {
        }
    }
}

// A session identifier as the board makes it, the longest request id, and
// the longest open line with them that the parser accepts without padding.
#define REQUEST_ID "cabinetd-3f9c2a71-5d0e-4b8a-9c61-7e2f04d1a8b3-000000000000000042"
constexpr char SESSION[] = "E6614103E7452D2F-000000000000002a";
constexpr char REQUEST[] = REQUEST_ID;
static_assert(sizeof REQUEST == CABINET_REQUEST_ID_MAX + 1);
constexpr char LONGEST_OPEN[] = "{\"type\":\"open\",\"request_id\":\"" REQUEST_ID "\",\"session_id\":\""
                                "00000000000000000000000-000000000000000000000000\",\"door_id\":8,"
                                "\"pulse_ms\":4294967295,\"issued_at_ms\":18446744073709551615,\"ttl_ms\":4294967295}";
constexpr uint64_t T0 = 86400000; // a day after boot

constexpr cabinet_inputs_t SECURE = {0xff, 0xff, 1, 1};
constexpr cabinet_inputs_t ALL_OPEN = {0x00, 0x00, 1, 1};

void no_outputs(void *, uint8_t, uint32_t) {}
void no_emit(void *, const char *, uint64_t, uint64_t, const char *, const char *, uint8_t) {}

// A controller with settled inputs and a fresh heartbeat, at T0.
void ready(cabinet_t *c) {
    cabinet_init(c, no_outputs, no_emit, nullptr, SESSION, true, T0 - 100);
    cabinet_tick(c, T0 - 100, SECURE);
    cabinet_tick(c, T0 - 50, SECURE);
    check(c->inputs_ready == 1, "inputs did not become ready");
    cabinet_tick(c, T0, SECURE);
    check(cabinet_heartbeat(c, SESSION), "heartbeat refused");
}

cabinet_args_t open_args() {
    cabinet_args_t a = {};
    memcpy(a.request_id, REQUEST, sizeof REQUEST);
    memcpy(a.session_id, SESSION, sizeof SESSION);
    a.door_id = 3;
    a.pulse_ms = 300;
    a.ttl_ms = 2000;
    a.issued_at_ms = T0 - 20;
    return a;
}

void tick_cases() {
    cabinet_t *c = &cabinet;

    ready(c);
    BEGIN("tick, idle", 0);
    cabinet_tick(c, T0 + 5, SECURE);
    END();
    check(c->state == CABINET_IDLE && c->event_seq == 2, "idle tick changed something");

    cabinet_tick(c, T0 + 10, ALL_OPEN); // all sixteen inputs change now...
    BEGIN("tick, 16 inputs settling", 0);
    cabinet_tick(c, T0 + 40, ALL_OPEN); // ...and settle together here
    END();
    check(c->stable == 0 && c->event_seq == 18, "inputs did not settle");

    ready(c);
    const cabinet_args_t a = open_args();
    check(strcmp(cabinet_open(c, &a), "accepted") == 0, "open refused");
    BEGIN("tick, pulsing", 0);
    cabinet_tick(c, T0 + 5, SECURE);
    END();
    check(c->state == CABINET_PULSING && c->output_mask == 4, "pulse did not go on");
}

void parse_cases() {
    static char line[CABINET_LINE_MAX];
    static cabinet_cmd_t cmd;

    const size_t len = sizeof LONGEST_OPEN - 1;
    memcpy(line, LONGEST_OPEN, len);
    BEGIN("parse, longest open line", static_cast<uint32_t>(len));
    bool ok = cabinet_parse(line, len, 0, &cmd);
    END();
    check(ok && cmd.kind == CABINET_CMD_OPEN && cmd.args.issued_at_ms == UINT64_MAX &&
              strlen(cmd.args.session_id) == CABINET_SESSION_ID_MAX,
          "longest open line not accepted");

    memset(line, ' ', sizeof line);
    line[0] = '{';
    line[CABINET_LINE_MAX - 1] = '}';
    BEGIN("parse, { 510 spaces }", CABINET_LINE_MAX);
    ok = cabinet_parse(line, CABINET_LINE_MAX, 0, &cmd);
    END();
    check(!ok, "empty object accepted");

    memset(line, 'x', sizeof line);
    BEGIN("parse, wrong first byte", CABINET_LINE_MAX);
    ok = cabinet_parse(line, CABINET_LINE_MAX, 0, &cmd);
    END();
    check(!ok, "garbage accepted");
}

// The board's writers end in the serial line writer, which at 115200 baud
// waits about 11,000 cycles for each character anyway. A writer's case is
// therefore followed by one of the line writer alone sending the same text,
// and the runner reports the writer's own cost as the difference.
void line_case(const char *name, const char *writer_name, void (*writer)()) {
    static char sent[sizeof bench_tx];
    BEGIN(name, 0);
    writer();
    END();
    check(bench_tx_len > 90 && bench_tx_len < sizeof sent && bench_tx[bench_tx_len - 1] == '\n',
          name);
    memcpy(sent, bench_tx, bench_tx_len - 1);
    sent[bench_tx_len - 1] = '\0';
    BEGIN(writer_name, bench_tx_len);
    write_line(sent);
    END();
}

void line_cases() {
    cabinet_t *c = &cabinet;
    ready(c);
    const cabinet_args_t a = open_args();
    check(strcmp(cabinet_open(c, &a), "accepted") == 0, "open refused");
    c->event_seq = 1234567;
    p24_adc = 2710;

    static char body[CABINET_LINE_MAX];
    BEGIN("state line body (cabinet_state_json)", 0);
    const size_t n = cabinet_state_json(c, "rp2040_pico", body, sizeof body);
    END();
    check(n > 300, "state body not written");

    line_case("state line, whole (board)", "line writer: state line, whole (board)", [] { state(); });
    line_case("event line", "line writer: event line", [] {
        emit(nullptr, SESSION, 42, T0 + 123, "open_accepted", "cabinetd-1-000042", 3);
    });
    // The ack sent most often: a heartbeat's, every second or two.
    static cabinet_cmd_t cmd;
    cmd.kind = CABINET_CMD_HEARTBEAT;
    memcpy(cmd.args.session_id, SESSION, sizeof SESSION);
    line_case("ack line", "line writer: ack line", [] { ack(&cmd, "heartbeat_ok"); });
}

// Measures one cabinet_open on a ready controller and checks its answer.
void open_case(const char *name, const cabinet_args_t &a, const char *want) {
    BEGIN(name, 0);
    const char *got = cabinet_open(&cabinet, &a);
    END();
    check(strcmp(got, want) == 0, name);
}

void open_cases() {
    struct refusal {
        const char *name, *want;
        void (*change)(cabinet_args_t &);
    };
    const refusal refusals[] = {
        {"open, invalid_command", "invalid_command", [](cabinet_args_t &a) { a.request_id[0] = '\0'; }},
        {"open, session_mismatch", "session_mismatch", [](cabinet_args_t &a) { a.session_id[sizeof SESSION - 2] = 'b'; }},
        {"open, range_error", "range_error", [](cabinet_args_t &a) { a.door_id = 9; }},
        {"open, future_command", "future_command", [](cabinet_args_t &a) { a.issued_at_ms = T0 + 1; }},
        {"open, expired", "expired", [](cabinet_args_t &a) { a.issued_at_ms = T0 - a.ttl_ms; }},
    };
    cabinet_t *c = &cabinet;
    ready(c);
    for (const refusal &r : refusals) {
        cabinet_args_t a = open_args();
        r.change(a);
        open_case(r.name, a, r.want);
    }
    open_case("open, accepted, empty ring", open_args(), "accepted");

    // Ids as a host makes them: one prefix, then a counter; all of them live,
    // none of them the one sent.
    ready(c);
    for (unsigned i = 0; i < CABINET_RECENT; ++i) {
        recent_entry_t &e = c->recent[i];
        memcpy(e.request_id, REQUEST, sizeof REQUEST);
        e.request_id[CABINET_REQUEST_ID_MAX - 3] = '1';
        e.request_id[CABINET_REQUEST_ID_MAX - 2] = static_cast<char>('0' + i / 10);
        e.request_id[CABINET_REQUEST_ID_MAX - 1] = static_cast<char>('0' + i % 10);
        e.expires_ms = T0 + 1000;
    }
    open_case("open, accepted, 64 live ids", open_args(), "accepted");
}

} // namespace

extern "C" [[noreturn]] void bench_main() {
    tick_cases();
    parse_cases();
    line_cases();
    open_cases();
    __asm volatile("bkpt #3" ::: "memory");
    for (;;) {
    }
}
