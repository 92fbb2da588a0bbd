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

// The known keys in key_id_t order, with their lengths for a cheap first test.
struct key_name_t {
    const char *text;
    uint8_t length;
};
#define KEY_NAME(text) {text, sizeof text - 1}
constexpr key_name_t key_names[KEY_COUNT] = {
    KEY_NAME("type"),     KEY_NAME("request_id"),     KEY_NAME("session_id"),
    KEY_NAME("door_id"),  KEY_NAME("pulse_ms"),       KEY_NAME("issued_at_ms"),
    KEY_NAME("ttl_ms"),   KEY_NAME("door_closed_mask"), KEY_NAME("latch_locked_mask"),
    KEY_NAME("valid"),
};
#undef KEY_NAME

constexpr uint16_t bit(key_id_t k) { return static_cast<uint16_t>(1u << k); }

constexpr uint16_t SEEN_STATE = bit(KEY_TYPE);
constexpr uint16_t SEEN_SESSION = bit(KEY_TYPE) | bit(KEY_SESSION_ID);
constexpr uint16_t SEEN_OPEN = bit(KEY_TYPE) | bit(KEY_REQUEST_ID) | bit(KEY_SESSION_ID) |
                               bit(KEY_DOOR_ID) | bit(KEY_PULSE_MS) | bit(KEY_ISSUED_AT_MS) |
                               bit(KEY_TTL_MS);
constexpr uint16_t SEEN_SIM = bit(KEY_TYPE) | bit(KEY_DOOR_CLOSED_MASK) |
                              bit(KEY_LATCH_LOCKED_MASK) | bit(KEY_VALID);

// Byte classes, one table lookup per byte. Only TAB, LF, CR and SPACE
// separate tokens (NUL, VT, FF and high bytes do not). Text is printable ASCII
// without the backslash, as there are no escapes. Identifiers are echoed into
// outbound lines unescaped, so they are held to a set that never needs escaping.
enum byte_class_t : uint8_t {
    CLASS_SPACE = 1,
    CLASS_DIGIT = 2,
    CLASS_TEXT = 4,
    CLASS_IDENT = 8,
};

constexpr uint8_t class_of(unsigned c) {
    uint8_t k = 0;
    if (c == 0x09 || c == 0x0A || c == 0x0D || c == 0x20) k |= CLASS_SPACE;
    if (c >= '0' && c <= '9') k |= CLASS_DIGIT;
    if (c >= 0x20 && c <= 0x7E && c != '\\') k |= CLASS_TEXT;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == ':' || c == '_') {
        k |= CLASS_IDENT;
    }
    return k;
}

struct class_table_t {
    uint8_t of[256];
    constexpr class_table_t() : of() {
        for (unsigned c = 0; c < 256; ++c) of[c] = class_of(c);
    }
};
constexpr class_table_t classes;

// The unread part of the line. The small helpers are forced inline: at -Os
// the compiler would make each of them a call, and they run for every byte.
struct reader_t {
    const unsigned char *pos;
    const unsigned char *end;
};

[[gnu::always_inline]] inline bool is(unsigned char c, uint8_t cls) {
    return (classes.of[c] & cls) != 0;
}

[[gnu::always_inline]] inline void skip_space(reader_t &r) {
    const unsigned char *p = r.pos;
    while (p != r.end && is(*p, CLASS_SPACE)) {
        ++p;
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
    if (p == end || !is(*p, CLASS_DIGIT)) {
        return false;
    }
    if (*p == '0' && end - p > 1 && is(p[1], CLASS_DIGIT)) {
        return false; // leading zero
    }
    // Nine digits always fit 32 bits, which the M0+ multiplies in one cycle;
    // only longer numbers take the 64-bit steps with their overflow test.
    uint32_t head = 0;
    const unsigned char *const head_end = end - p > 9 ? p + 9 : end;
    while (p != head_end && is(*p, CLASS_DIGIT)) {
        head = head * 10u + static_cast<unsigned>(*p - '0');
        ++p;
    }
    uint64_t v = head;
    while (p != end && is(*p, CLASS_DIGIT)) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (v > LIMIT || (v == LIMIT && digit > LAST)) {
            return false;
        }
        v = v * 10u + digit;
        ++p;
    }
    if (p == end || !(is(*p, CLASS_SPACE) || *p == ',' || *p == '}')) {
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
    for (uint8_t k = 0; k < KEY_COUNT; ++k) {
        if (n == key_names[k].length && memcmp(buf, key_names[k].text, n) == 0) {
            *key = static_cast<key_id_t>(k);
            return true;
        }
    }
    return false;
}

// Reads the value of one known key into the record (or, for "type", into
// the scratch buffer).
bool read_value(reader_t &r, key_id_t key, cabinet_cmd_t *cmd, char *type) {
    size_t n = 0;
    switch (key) {
    case KEY_TYPE:
        return read_string(r, type, TYPE_MAX, CLASS_TEXT, &n);
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
    type[0] = '\0';

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
        if (!read_value(r, key, cmd, type)) {
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

    if (!(seen & bit(KEY_TYPE))) {
        return false;
    }
    uint8_t kind = CABINET_CMD_NONE;
    if (strcmp(type, "open") == 0 && seen == SEEN_OPEN) {
        kind = CABINET_CMD_OPEN;
    } else if (strcmp(type, "state") == 0 && seen == SEEN_STATE) {
        kind = CABINET_CMD_STATE;
    } else if (strcmp(type, "heartbeat") == 0 && seen == SEEN_SESSION) {
        kind = CABINET_CMD_HEARTBEAT;
    } else if (strcmp(type, "clear_fault") == 0 && seen == SEEN_SESSION) {
        kind = CABINET_CMD_CLEAR_FAULT;
    } else if (allow_sim != 0 && strcmp(type, "sim_inputs") == 0 && seen == SEEN_SIM) {
        kind = CABINET_CMD_SIM_INPUTS;
        cmd->sim.power_ok = 1;
    } else {
        return false;
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
