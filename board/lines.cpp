// The three outbound line types and the serial line writer.

#include "pico_main.h"
#include "text.h"

namespace {

constexpr const char *PLATFORM = "rp2040_pico";
constexpr const char *TRANSPORT = "uart0";

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
    // The tail replaces the body's closing brace and brings its own:
    // ,"p24_adc":%u,"fw":"0.2.0","hw":"0.2","transport":"%s"}
    char *const end = buf + sizeof buf - 1; // the whole line within 511 characters
    char *p = buf + n - 1;
    p = text_lit(p, end, ",\"p24_adc\":");
    p = text_u64(p, end, p24_adc);
    p = text_lit(p, end, ",\"fw\":\"0.2.0\",\"hw\":\"0.2\",\"transport\":\"");
    p = text_put(p, end, TRANSPORT);
    p = text_lit(p, end, "\"}");
    if (p == nullptr) return; // dropped whole, nothing sent
    *p = '\0';
    write_line(buf);
}

namespace {

// Event and ack lines differ only in their type; both carry the same fields:
// {"type":"event"|"ack","session_id":"%s","event_seq":%llu,"uptime_ms":%llu,
//  "code":"%s","request_id":"%s","door_id":%u}
void send_record(bool is_event, const char *session_id, uint64_t event_seq, uint64_t uptime_ms,
                 const char *code, const char *request_id, uint8_t door_id) {
    char buf[LINE_BUF];
    char *const end = buf + sizeof buf - 1; // at most 511 characters
    char *p = is_event ? text_lit(buf, end, "{\"type\":\"event\",\"session_id\":\"")
                       : text_lit(buf, end, "{\"type\":\"ack\",\"session_id\":\"");
    p = text_put(p, end, session_id != nullptr ? session_id : "");
    p = text_lit(p, end, "\",\"event_seq\":");
    p = text_u64(p, end, event_seq);
    p = text_lit(p, end, ",\"uptime_ms\":");
    p = text_u64(p, end, uptime_ms);
    p = text_lit(p, end, ",\"code\":\"");
    p = text_put(p, end, code != nullptr ? code : "");
    p = text_lit(p, end, "\",\"request_id\":\"");
    p = text_put(p, end, request_id != nullptr ? request_id : "");
    p = text_lit(p, end, "\",\"door_id\":");
    p = text_u64(p, end, door_id);
    p = text_lit(p, end, "}");
    if (p == nullptr) return; // dropped whole, nothing sent
    *p = '\0';
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
