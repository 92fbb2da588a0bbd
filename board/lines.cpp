// The three outbound line types and the serial line writer.
#include <stdio.h>
#include <string.h>

#include "pico_main.h"

namespace {

constexpr const char *PLATFORM = "rp2040_pico";
constexpr const char *TRANSPORT = "uart0";

// Formats as macros so that the compiler checks them against their arguments.
#define STATE_TAIL ",\"p24_adc\":%u,\"fw\":\"0.2.0\",\"hw\":\"0.2\",\"transport\":\"%s\"}"
#define LINE_FIELDS                                                                          \
    "\"session_id\":\"%s\",\"event_seq\":%llu,\"uptime_ms\":%llu,\"code\":\"%s\","                \
    "\"request_id\":\"%s\",\"door_id\":%u}"

// Waits while the transmit FIFO is full; reception goes on meanwhile by interrupt.
void put_char(char c) { uart_putc_raw(uart0, c); }

} // namespace

void write_line(const char *text) {
    // CR/LF translation as the SDK's own string output would apply it; the
    // UART is initialised with the translation character 0x100, which no
    // character equals, so the wire carries the text and one line feed only.
    const short translate = uart_char_to_line_feed[uart_get_index(uart0)];
    bool last_was_cr = false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (!last_was_cr && translate == static_cast<unsigned char>(*p)) put_char('\r');
        put_char(*p);
        last_was_cr = *p == '\r';
    }
    put_char('\n');
}

void state(void) {
    char buf[LINE_BUF];
    const size_t n = cabinet_state_json(&cabinet, PLATFORM, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return;
    // The tail replaces the body's closing brace and brings its own.
    const size_t room = sizeof buf + 1 - n;
    const int m = snprintf(buf + n - 1, room, STATE_TAIL, static_cast<unsigned>(p24_adc), TRANSPORT);
    if (m <= 0 || static_cast<size_t>(m) >= room) return;
    write_line(buf);
}

namespace {

// Event and ack lines differ only in their type; both carry the same fields.
void send_record(bool is_event, const char *session_id, uint64_t event_seq, uint64_t uptime_ms,
                 const char *code, const char *request_id, uint8_t door_id) {
    char buf[LINE_BUF];
    const char *sid = session_id != nullptr ? session_id : "";
    const char *cd = code != nullptr ? code : "";
    const char *rid = request_id != nullptr ? request_id : "";
    const auto seq = static_cast<unsigned long long>(event_seq);
    const auto up = static_cast<unsigned long long>(uptime_ms);
    const auto door = static_cast<unsigned>(door_id);
    const int n = is_event
        ? snprintf(buf, sizeof buf, "{\"type\":\"event\"," LINE_FIELDS, sid, seq, up, cd, rid, door)
        : snprintf(buf, sizeof buf, "{\"type\":\"ack\"," LINE_FIELDS, sid, seq, up, cd, rid, door);
    if (n < 1 || static_cast<size_t>(n) >= sizeof buf) return; // dropped whole, nothing sent
    write_line(buf);
}

} // namespace

void emit(void *user, const char *session_id, uint64_t event_seq, uint64_t uptime_ms,
          const char *code, const char *request_id, uint8_t door_id) {
    (void)user;
    send_record(true, session_id, event_seq, uptime_ms, code, request_id, door_id);
}

void ack(const cabinet_cmd_t *cmd, const char *code) {
    send_record(false, cabinet.session_id, cabinet.event_seq, cabinet.now_ms, code,
                   cmd != nullptr ? cmd->args.request_id : "",
                   cmd != nullptr ? cmd->args.door_id : static_cast<uint8_t>(0));
}
