// The strict command line parser. One forward pass over the line, no heap,
// no state between calls. Every index is checked against the line length
// before the byte is read, so the bytes after the line are never looked at.
#include "protocol.h"

#include <string.h>

namespace {

constexpr size_t KEY_MAX = 31;  // longest key the parser will buffer
constexpr size_t TYPE_MAX = 23; // longest "type" value
constexpr uint64_t U32_MAX = 4294967295u;
constexpr uint64_t U64_MAX = 18446744073709551615u;

// Bits of the seen-key set, one per known key, in table order.
enum key_id_t : uint8_t {
    KEY_TYPE = 0,
    KEY_REQUEST_ID,
    KEY_SESSION_ID,
    KEY_DOOR_ID,
    KEY_PULSE_MS,
    KEY_ISSUED_AT_MS,
    KEY_TTL_MS,
    KEY_DOOR_CLOSED_MASK,
    KEY_LATCH_LOCKED_MASK,
    KEY_VALID,
    KEY_COUNT
};

// A list of names in one constant, each preceded by its length and the list
// ended by a zero length. Half the size of a table of pointers and lengths,
// and searched with the same cheap length test first.
template <size_t Size> struct name_list_t {
    char bytes[Size];
};

template <size_t... N> constexpr auto name_list(const char (&...names)[N]) {
    name_list_t<(N + ...) + 1> list{};
    size_t at = 0;
    const auto add = [&](const char *name, size_t n) {
        list.bytes[at++] = static_cast<char>(n);
        for (size_t i = 0; i < n; ++i) {
            list.bytes[at++] = name[i];
        }
    };
    (add(names, N - 1), ...);
    return list; // the last byte stays zero
}

// The known keys in key_id_t order.
constexpr auto key_names =
    name_list("type", "request_id", "session_id", "door_id", "pulse_ms", "issued_at_ms", "ttl_ms",
              "door_closed_mask", "latch_locked_mask", "valid");

// The command types in cabinet_kind_t order, from CABINET_CMD_STATE on.
constexpr auto type_names = name_list("state", "heartbeat", "open", "clear_fault", "sim_inputs");

// Position of the name text[0..n) in a name list, or -1.
int find_name(const char *list, const char *text, size_t n) {
    for (int k = 0; *list != 0; ++k, list += 1 + *list) {
        if (static_cast<size_t>(*list) != n) {
            continue;
        }
        size_t i = 0;
        while (i < n && list[1 + i] == text[i]) {
            ++i;
        }
        if (i == n) {
            return k;
        }
    }
    return -1;
}

constexpr uint16_t bit(key_id_t k) { return static_cast<uint16_t>(1u << k); }

// The keys each command takes, all of them and no others, by command type.
constexpr uint16_t SEEN_STATE = bit(KEY_TYPE);
constexpr uint16_t SEEN_SESSION = bit(KEY_TYPE) | bit(KEY_SESSION_ID);
constexpr uint16_t SEEN_OPEN = bit(KEY_TYPE) | bit(KEY_REQUEST_ID) | bit(KEY_SESSION_ID) |
                               bit(KEY_DOOR_ID) | bit(KEY_PULSE_MS) | bit(KEY_ISSUED_AT_MS) |
                               bit(KEY_TTL_MS);
constexpr uint16_t SEEN_SIM = bit(KEY_TYPE) | bit(KEY_DOOR_CLOSED_MASK) |
                              bit(KEY_LATCH_LOCKED_MASK) | bit(KEY_VALID);
constexpr uint16_t keys_of[] = {SEEN_STATE, SEEN_SESSION, SEEN_OPEN, SEEN_SESSION, SEEN_SIM};
static_assert(sizeof keys_of / sizeof keys_of[0] == CABINET_CMD_SIM_INPUTS - CABINET_CMD_STATE + 1);

// Only TAB, LF, CR and SPACE separate tokens (NUL, VT, FF and high bytes do
// not). The padding a host adds is spaces, so they are tested first.
[[gnu::always_inline]] inline bool is_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

[[gnu::always_inline]] inline bool is_digit(unsigned char c) {
    return static_cast<unsigned>(c - '0') <= 9u;
}

// The bytes allowed inside quotes, told by comparisons rather than a table
// (smaller, and as fast for the letters and digits identifiers are made of).
// Text is printable ASCII without the backslash, as there are no escapes.
// Identifiers are echoed into outbound lines unescaped, so they are held to a
// set that never needs escaping: letters, digits and - . : _
enum byte_class_t : uint8_t {
    CLASS_TEXT = 1,
    CLASS_IDENT = 2,
};

[[gnu::always_inline]] inline bool is(unsigned char c, uint8_t cls) {
    if (cls == CLASS_TEXT) {
        return c >= 0x20 && c <= 0x7E && c != '\\';
    }
    return static_cast<unsigned>((c | 0x20) - 'a') < 26u || // a letter of either case
           is_digit(c) || c == '-' || c == '.' || c == ':' || c == '_';
}

// The unread part of the line. The small helpers are forced inline: at -Os
// the compiler would make each of them a call, and they run for every byte.
struct reader_t {
    const unsigned char *pos;
    const unsigned char *end;
};

[[gnu::always_inline]] inline void skip_space(reader_t &r) {
    const unsigned char *p = r.pos;
    for (; p != r.end; ++p) {
        if (*p != ' ' && !is_space(*p)) { // a run of spaces takes one test a byte
            break;
        }
    }
    r.pos = p;
}

// Consumes the byte `want` at the current position, or fails.
[[gnu::always_inline]] inline bool expect(reader_t &r, unsigned char want) {
    if (r.pos == r.end || *r.pos != want) {
        return false;
    }
    ++r.pos;
    return true;
}

// Reads a quoted text of printable ASCII without backslashes into out (which
// holds max characters plus the terminator) and sets *length. Every character
// must be of class `cls`: CLASS_TEXT, or CLASS_IDENT for identifiers, which
// must not be empty either.
bool read_string(reader_t &r, char *out, size_t max, uint8_t cls, size_t *length) {
    if (!expect(r, '"')) {
        return false;
    }
    // Only the next max + 1 bytes can hold the closing quote; reaching that
    // bound, or the end of the line, rejects. Each character is copied as it
    // is checked: out has room for max characters and the terminator, so
    // even the one too many still lands inside it.
    const unsigned char *const start = r.pos;
    const unsigned char *const stop =
        static_cast<size_t>(r.end - start) > max ? start + max + 1 : r.end;
    const unsigned char *p = start;
    char *o = out;
    while (p != stop && *p != '"') {
        if (!is(*p, cls)) {
            return false;
        }
        *o++ = static_cast<char>(*p++);
    }
    if (p == stop) {
        return false; // the line ended inside the text, or it is too long
    }
    *o = '\0';
    const size_t n = static_cast<size_t>(p - start);
    r.pos = p + 1;
    *length = n;
    return cls != CLASS_IDENT || n > 0;
}

// v * 10 + digit, for v and a result within 64 bits, worked as on paper in
// 16-bit pieces from the bottom up, each carry taken into the next piece:
// every product fits the M0+'s one-cycle 32-bit multiply, where a 64-bit
// one would be a library call.
uint64_t times_ten_plus(uint64_t v, unsigned digit) {
    const auto low = static_cast<uint32_t>(v);
    const auto high = static_cast<uint32_t>(v >> 32);
    const uint32_t bottom = (low & 0xffffu) * 10u + digit;
    const uint32_t middle = (low >> 16) * 10u + (bottom >> 16);
    const uint32_t top = high * 10u + (middle >> 16);
    return static_cast<uint64_t>(top) << 32 | middle << 16 | (bottom & 0xffffu);
}

// Reads an unsigned decimal integer of at most 64 bits. The number must be
// followed by whitespace, a comma or the closing brace (left unread).
bool read_number(reader_t &r, uint64_t *value) {
    // v * 10 + digit stays within 64 bits exactly when v is below LIMIT, or
    // equal to it with a digit of at most LAST: no divide per digit, which the
    // Cortex-M0+ would do in software.
    constexpr uint64_t LIMIT = U64_MAX / 10u; // 1844674407370955161
    constexpr unsigned LAST = U64_MAX % 10u;  // 5
    const unsigned char *p = r.pos;
    const unsigned char *const end = r.end;
    if (p == end || !is_digit(*p)) {
        return false;
    }
    if (*p == '0' && end - p > 1 && is_digit(p[1])) {
        return false; // leading zero
    }
    // Nine digits always fit 32 bits, which the M0+ multiplies in one cycle;
    // only longer numbers take the 64-bit steps with their overflow test.
    uint32_t head = 0;
    const unsigned char *const head_end = end - p > 9 ? p + 9 : end;
    while (p != head_end && is_digit(*p)) {
        head = head * 10u + static_cast<unsigned>(*p - '0');
        ++p;
    }
    uint64_t v = head;
    while (p != end && is_digit(*p)) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (v > LIMIT || (v == LIMIT && digit > LAST)) {
            return false;
        }
        v = times_ten_plus(v, digit);
        ++p;
    }
    if (p == end || !(is_space(*p) || *p == ',' || *p == '}')) {
        return false;
    }
    r.pos = p;
    *value = v;
    return true;
}

// Reads a quoted key into a buffer of KEY_MAX characters and looks it up.
bool read_key(reader_t &r, key_id_t *key) {
    char buf[KEY_MAX + 1];
    size_t n = 0;
    if (!read_string(r, buf, KEY_MAX, CLASS_TEXT, &n)) {
        return false;
    }
    const int k = find_name(key_names.bytes, buf, n);
    if (k < 0) {
        return false;
    }
    *key = static_cast<key_id_t>(k);
    return true;
}

// Reads the value of one known key into the record (or, for "type", into
// the scratch buffer, setting *type_len).
bool read_value(reader_t &r, key_id_t key, cabinet_cmd_t *cmd, char *type, size_t *type_len) {
    size_t n = 0;
    switch (key) {
    case KEY_TYPE:
        return read_string(r, type, TYPE_MAX, CLASS_TEXT, type_len);
    case KEY_REQUEST_ID:
        return read_string(r, cmd->args.request_id, CABINET_REQUEST_ID_MAX, CLASS_IDENT, &n);
    case KEY_SESSION_ID:
        return read_string(r, cmd->args.session_id, CABINET_SESSION_ID_MAX, CLASS_IDENT, &n);
    default:
        break;
    }
    uint64_t v = 0;
    if (!read_number(r, &v)) {
        return false;
    }
    if (key == KEY_ISSUED_AT_MS) {
        cmd->args.issued_at_ms = v;
        return true;
    }
    if (v > U32_MAX) {
        return false;
    }
    const uint32_t v32 = static_cast<uint32_t>(v);
    switch (key) {
    case KEY_DOOR_ID:
        if (v32 < 1 || v32 > CABINET_DOORS) {
            return false;
        }
        cmd->args.door_id = static_cast<uint8_t>(v32);
        return true;
    case KEY_PULSE_MS:
        cmd->args.pulse_ms = v32; // range is the controller's to judge
        return true;
    case KEY_TTL_MS:
        cmd->args.ttl_ms = v32;
        return true;
    case KEY_DOOR_CLOSED_MASK:
    case KEY_LATCH_LOCKED_MASK:
        if (v32 > 0xFFu) {
            return false;
        }
        (key == KEY_DOOR_CLOSED_MASK ? cmd->sim.door_closed_mask : cmd->sim.latch_locked_mask) =
            static_cast<uint8_t>(v32);
        return true;
    case KEY_VALID:
        if (v32 > 1) {
            return false;
        }
        cmd->sim.inputs_valid = static_cast<uint8_t>(v32);
        return true;
    default:
        return false;
    }
}

// Reads the whole line into cmd. `seen` collects the keys read so far; a
// value is stored only once its key is in it.
bool parse_line(reader_t &r, int allow_sim, cabinet_cmd_t *cmd, uint16_t &seen) {
    char type[TYPE_MAX + 1];
    size_t type_len = 0; // no "type" key, no command

    skip_space(r);
    if (!expect(r, '{')) {
        return false;
    }
    for (;;) {
        skip_space(r);
        key_id_t key = KEY_TYPE;
        if (!read_key(r, &key)) {
            return false;
        }
        if (seen & bit(key)) {
            return false; // each key once, refused before its value is read
        }
        seen = static_cast<uint16_t>(seen | bit(key));
        skip_space(r);
        if (!expect(r, ':')) {
            return false;
        }
        skip_space(r);
        if (!read_value(r, key, cmd, type, &type_len)) {
            return false;
        }
        skip_space(r);
        if (expect(r, ',')) {
            continue;
        }
        if (expect(r, '}')) {
            break;
        }
        return false;
    }
    skip_space(r);
    if (r.pos != r.end) {
        return false; // anything but whitespace after the object
    }

    const int t = find_name(type_names.bytes, type, type_len);
    if (t < 0 || seen != keys_of[t]) {
        return false;
    }
    const auto kind = static_cast<uint8_t>(CABINET_CMD_STATE + t);
    if (kind == CABINET_CMD_SIM_INPUTS) {
        if (allow_sim == 0) {
            return false;
        }
        cmd->sim.power_ok = 1;
    }
    cmd->kind = kind;
    return true;
}

} // namespace

extern "C" bool cabinet_parse(const char *line, size_t length, int allow_sim, cabinet_cmd_t *cmd) {
    if (line == nullptr || cmd == nullptr || length == 0 || length > CABINET_LINE_MAX) {
        return false;
    }
    memset(cmd, 0, sizeof *cmd);
    const auto *bytes = reinterpret_cast<const unsigned char *>(line);
    reader_t r{bytes, bytes + length};
    uint16_t seen = 0;
    if (!parse_line(r, allow_sim, cmd, seen)) {
        // A rejected line leaves nothing half-filled behind: whatever a caller
        // reads from the record afterwards is the empty command. Before the
        // first key nothing has been stored, and the record is still clear.
        if (seen != 0) {
            memset(cmd, 0, sizeof *cmd);
        }
        return false;
    }
    return true;
}
