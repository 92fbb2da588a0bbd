// The three outbound line types, the serial line writer, and the software
// receive buffer that keeps reception going while the writer waits.
#include <string.h>

#include "pico_main.h"
#include "text.h"

namespace {

constexpr const char *PLATFORM = "rp2040_pico";
constexpr const char *TRANSPORT = "uart0";

// Error bits that the UART reports alongside each received character.
constexpr uint32_t RX_ERROR_BITS = 0x100u   // framing
                                   | 0x200u // parity
                                   | 0x400u // break
                                   | 0x800u; // overrun: characters were lost before this one

// Software receive buffer.
//
// Writing a line blocks the loop until the transmit FIFO has taken its last
// character, and the host may keep sending meanwhile; the UART itself holds
// only 32 received characters. The longest output the firmware produces before
// the loop reads input again comes from one command: the controller step taken
// before it can report all sixteen inputs changing together plus a stopped
// pulse, a cancelled pulse and its fault (about 20 event lines), then the
// command's own event and its ack, and the periodic state line may follow in
// the same pass. An event or ack line is at most 251 characters with our
// 33-character session identifier (20-digit numbers, 64-character request id,
// line feed included) and a state line at most about 460, so that burst is
// 22 x 251 + 460 = 5982 characters, 519 ms of line time at 115200 baud
// (86.8 us a character). Reception runs at the same rate, so at most as many
// characters can arrive meanwhile; less the 32 the UART holds, 8192 covers it
// with room to spare. Characters that still do not fit stay in the UART, whose
// overrun flag then marks the next character, and the line they belong to is
// refused rather than executed.
constexpr uint32_t RX_SOFT_SIZE = 8192; // a power of two
static_assert((RX_SOFT_SIZE & (RX_SOFT_SIZE - 1)) == 0);

uint8_t rx_data[RX_SOFT_SIZE];
uint8_t rx_damaged[RX_SOFT_SIZE / 8];
uint32_t rx_head; // index of the oldest character
uint32_t rx_count;

bool uart_take(uint8_t *c, bool *damaged) {
    if (!uart_is_readable(uart0)) return false;
    // Reading the data register pops the character together with its error bits.
    const uint32_t dr = uart_get_hw(uart0)->dr;
    *c = static_cast<uint8_t>(dr & 0xFFu);
    *damaged = (dr & RX_ERROR_BITS) != 0;
    return true;
}

void put_char(char c) {
    while (!uart_is_writable(uart0)) rx_drain_uart();
    uart_putc_raw(uart0, c);
}

} // namespace

void rx_reset(void) {
    rx_head = 0;
    rx_count = 0;
    memset(rx_damaged, 0, sizeof rx_damaged);
}

void rx_drain_uart(void) {
    while (rx_count < RX_SOFT_SIZE) {
        uint8_t c = 0;
        bool damaged = false;
        if (!uart_take(&c, &damaged)) return;
        const uint32_t at = (rx_head + rx_count) & (RX_SOFT_SIZE - 1);
        rx_data[at] = c;
        const uint8_t bit = static_cast<uint8_t>(1u << (at & 7u));
        if (damaged)
            rx_damaged[at / 8] = static_cast<uint8_t>(rx_damaged[at / 8] | bit);
        else
            rx_damaged[at / 8] = static_cast<uint8_t>(rx_damaged[at / 8] & ~bit);
        ++rx_count;
    }
}

bool rx_next(uint8_t *c, bool *damaged) {
    // While the buffer is being worked off, the host keeps sending: move what
    // the UART holds into the buffer first, or its 32 characters overflow
    // long before the backlog is read.
    if (rx_count != 0) rx_drain_uart();
    if (rx_count == 0) return uart_take(c, damaged);
    *c = rx_data[rx_head];
    *damaged = (uint32_t{rx_damaged[rx_head / 8]} >> (rx_head & 7u) & 1u) != 0;
    rx_head = (rx_head + 1) & (RX_SOFT_SIZE - 1);
    --rx_count;
    return true;
}

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
