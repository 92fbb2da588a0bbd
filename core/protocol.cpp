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

const char *const key_names[KEY_COUNT] = {
    "type",   "request_id",       "session_id",        "door_id", "pulse_ms", "issued_at_ms",
    "ttl_ms", "door_closed_mask", "latch_locked_mask", "valid",
};

constexpr uint16_t bit(key_id_t k) { return static_cast<uint16_t>(1u << k); }

constexpr uint16_t SEEN_STATE = bit(KEY_TYPE);
constexpr uint16_t SEEN_SESSION = bit(KEY_TYPE) | bit(KEY_SESSION_ID);
constexpr uint16_t SEEN_OPEN = bit(KEY_TYPE) | bit(KEY_REQUEST_ID) | bit(KEY_SESSION_ID) |
                               bit(KEY_DOOR_ID) | bit(KEY_PULSE_MS) | bit(KEY_ISSUED_AT_MS) |
                               bit(KEY_TTL_MS);
constexpr uint16_t SEEN_SIM = bit(KEY_TYPE) | bit(KEY_DOOR_CLOSED_MASK) |
                              bit(KEY_LATCH_LOCKED_MASK) | bit(KEY_VALID);

struct reader_t {
    const char *line;
    size_t length;
    size_t pos;
};

// Reads the next byte into *c without consuming it; false at the end of the line.
bool peek(const reader_t &r, unsigned char *c) {
    if (r.pos >= r.length) {
        return false;
    }
    *c = static_cast<unsigned char>(r.line[r.pos]);
    return true;
}

// Only these four bytes separate tokens; NUL, VT, FF and high bytes do not.
bool is_space(unsigned char c) { return c == 0x09 || c == 0x0A || c == 0x0D || c == 0x20; }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Identifiers are echoed into outbound lines unescaped, so they are held to a
// set that never needs escaping.
bool is_ident(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '-' ||
           c == '.' || c == ':' || c == '_';
}

void skip_space(reader_t &r) {
    unsigned char c = 0;
    while (peek(r, &c) && is_space(c)) {
        ++r.pos;
    }
}

// Consumes the byte `want` at the current position, or fails.
bool expect(reader_t &r, unsigned char want) {
    unsigned char c = 0;
    if (!peek(r, &c) || c != want) {
        return false;
    }
    ++r.pos;
    return true;
}

// Reads a quoted text of printable ASCII without backslashes into out (which
// holds max characters plus the terminator). With ident set, every character
// must be an identifier character and the text must not be empty.
bool read_string(reader_t &r, char *out, size_t max, bool ident) {
    if (!expect(r, '"')) {
        return false;
    }
    size_t n = 0;
    for (;;) {
        unsigned char c = 0;
        if (!peek(r, &c)) {
            return false; // line ended inside the string
        }
        ++r.pos;
        if (c == '"') {
            break;
        }
        if (c < 0x20 || c > 0x7E || c == '\\') {
            return false;
        }
        if (ident && !is_ident(c)) {
            return false;
        }
        if (n == max) {
            return false;
        }
        out[n++] = static_cast<char>(c);
    }
    out[n] = '\0';
    return !ident || n > 0;
}

// Reads an unsigned decimal integer of at most 64 bits. The number must be
// followed by whitespace, a comma or the closing brace (left unread).
bool read_number(reader_t &r, uint64_t *value) {
    unsigned char c = 0;
    if (!peek(r, &c) || !is_digit(c)) {
        return false;
    }
    uint64_t v = 0;
    const size_t start = r.pos;
    while (peek(r, &c) && is_digit(c)) {
        if (r.pos == start + 1 && v == 0) {
            return false; // leading zero
        }
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (v > (U64_MAX - digit) / 10u) {
            return false;
        }
        v = v * 10u + digit;
        ++r.pos;
    }
    if (!peek(r, &c) || !(is_space(c) || c == ',' || c == '}')) {
        return false;
    }
    *value = v;
    return true;
}

// Reads a quoted key into a buffer of KEY_MAX characters and looks it up.
bool read_key(reader_t &r, key_id_t *key) {
    char buf[KEY_MAX + 1];
    if (!read_string(r, buf, KEY_MAX, false)) {
        return false;
    }
    for (uint8_t k = 0; k < KEY_COUNT; ++k) {
        if (strcmp(buf, key_names[k]) == 0) {
            *key = static_cast<key_id_t>(k);
            return true;
        }
    }
    return false;
}

// Reads the value of one known key into the record (or, for "type", into
// the scratch buffer).
bool read_value(reader_t &r, key_id_t key, cabinet_cmd_t *cmd, char *type) {
    switch (key) {
    case KEY_TYPE:
        return read_string(r, type, TYPE_MAX, false);
    case KEY_REQUEST_ID:
        return read_string(r, cmd->args.request_id, CABINET_REQUEST_ID_MAX, true);
    case KEY_SESSION_ID:
        return read_string(r, cmd->args.session_id, CABINET_SESSION_ID_MAX, true);
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

bool parse_line(reader_t &r, int allow_sim, cabinet_cmd_t *cmd) {
    char type[TYPE_MAX + 1] = {};
    uint16_t seen = 0;

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
    if (r.pos != r.length) {
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
    reader_t r{line, length, 0};
    if (!parse_line(r, allow_sim, cmd)) {
        // A rejected line leaves nothing half-filled behind: whatever a caller
        // reads from the record afterwards is the empty command.
        memset(cmd, 0, sizeof *cmd);
        return false;
    }
    return true;
}
