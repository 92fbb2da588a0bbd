#include "journal_chain.h"

#include "journal_sql.h"

#include <fmt/format.h>
#include <openssl/sha.h>

#include <charconv>

namespace cabinetd {

using namespace journal_sql;

namespace {

// The canonical bytes: fixed-width big-endian integers, a presence byte
// before each optional one, and every text as its length then its bytes,
// so that no two different records have the same bytes.
class Canonical {
public:
    void u64(std::uint64_t v) {
        for (int i = 7; i >= 0; --i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void opt(const std::optional<std::uint64_t> &v) {
        out_.push_back(v ? '\1' : '\0');
        if (v) u64(*v);
    }
    void text(std::string_view s) {
        u64(s.size());
        out_.append(s);
    }
    const std::string &bytes() const { return out_; }

private:
    std::string out_;
};

Hash sha256(std::string_view bytes) {
    Hash h;
    SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), h.data());
    return h;
}

} // namespace

std::string to_hex(const Hash &h) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(64);
    for (unsigned char c : h) {
        s += kDigits[c >> 4];
        s += kDigits[c & 15];
    }
    return s;
}

std::optional<Hash> hash_from_hex(std::string_view hex) {
    if (hex.size() != 64) return std::nullopt;
    Hash h;
    for (std::size_t i = 0; i < 32; ++i) {
        unsigned v = 0;
        const auto *first = hex.data() + 2 * i;
        const auto [end, ec] = std::from_chars(first, first + 2, v, 16);
        if (ec != std::errc() || end != first + 2) return std::nullopt;
        h[i] = static_cast<unsigned char>(v);
    }
    return h;
}

std::string anchor_text(const ChainHead &h) {
    return fmt::format("{}:{}", h.count, to_hex(h.hash));
}

std::optional<ChainHead> parse_anchor(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 20) return std::nullopt;
    if (text[0] == '0' && colon > 1) return std::nullopt;
    ChainHead a;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + colon, a.count);
    if (ec != std::errc() || end != text.data() + colon) return std::nullopt;
    auto h = hash_from_hex(text.substr(colon + 1));
    if (!h) return std::nullopt;
    a.hash = *h;
    return a;
}

Hash record_digest(const Record &r) {
    Canonical c;
    c.i64(r.cursor);
    c.i64(r.at_ms);
    c.text(r.cabinet);
    c.text(to_string(r.kind));
    c.text(r.session_id);
    c.opt(r.event_seq);
    c.opt(r.seq_to);
    c.text(r.code);
    c.text(r.request_id);
    c.u64(r.door_id);
    c.text(r.detail);
    c.text(r.key_scope);
    c.text(r.client_key);
    c.opt(r.uptime_ms);
    c.text(r.requested_by);
    // Appended only when set: the digests of records stored before outcomes
    // were kept stay what they were, and a field more or less cannot make
    // one record's bytes another's.
    if (!r.outcome.empty()) c.text(r.outcome);
    return sha256(c.bytes());
}

Hash chain_link(const Hash &prev, const Hash &digest, std::uint64_t count, RecordKind kind) {
    Canonical c;
    c.text(std::string_view(reinterpret_cast<const char *>(prev.data()), prev.size()));
    c.text(std::string_view(reinterpret_cast<const char *>(digest.data()), digest.size()));
    c.u64(count);
    c.text(to_string(kind));
    return sha256(c.bytes());
}

bool tombstone_kind(RecordKind k) {
    return k == RecordKind::State || k == RecordKind::Link || k == RecordKind::Heartbeat ||
        k == RecordKind::Ack || k == RecordKind::Command || k == RecordKind::Refused;
}

bool audit_kind(RecordKind k) {
    return k == RecordKind::Open || k == RecordKind::OpenFailed || k == RecordKind::Clear ||
        k == RecordKind::ClearFailed || k == RecordKind::Alarm || k == RecordKind::Session ||
        k == RecordKind::Journal || k == RecordKind::Approval;
}

} // namespace cabinetd
