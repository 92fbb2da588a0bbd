#include "journal_chain.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <bit>
#include <cstring>

namespace cabinetd {

namespace {

constexpr std::string_view kRecordTag{"cabinetd-journal-record\0", 24};
constexpr std::string_view kLinkTag{"cabinetd-journal-link\0", 22};
constexpr std::string_view kLegacyTag{"cabinetd-journal-legacy\0", 24};

// Bytes as both formats lay them out: fixed-width big-endian integers, and
// every variable-length value its length first, so that no two different
// records have the same bytes.
class Bytes {
public:
    void byte(unsigned char b) { out_.push_back(static_cast<char>(b)); }
    void u64(std::uint64_t v) {
        for (int i = 7; i >= 0; --i) byte(static_cast<unsigned char>((v >> (8 * i)) & 0xff));
    }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void raw(std::string_view s) { out_.append(s); }
    template <std::size_t N> void raw(const std::array<unsigned char, N> &a) {
        out_.append(reinterpret_cast<const char *>(a.data()), N);
    }
    void text(std::string_view s) {
        u64(s.size());
        raw(s);
    }
    // Format 1's optional integer: a presence byte, then the value.
    void opt(const std::optional<std::uint64_t> &v) {
        byte(v ? 1 : 0);
        if (v) u64(*v);
    }
    // Format 2's value: its SQLite type code, then the value.
    void typed(const Stored &v) {
        byte(static_cast<unsigned char>(v.type));
        switch (v.type) {
        case Stored::Type::Integer: i64(v.integer); break;
        case Stored::Type::Float: u64(std::bit_cast<std::uint64_t>(v.real)); break;
        case Stored::Type::Text:
        case Stored::Type::Blob: text(v.bytes); break;
        case Stored::Type::Null: break;
        }
    }
    const std::string &str() const { return out_; }

private:
    std::string out_;
};

// SHA-256 through one context a thread keeps: OpenSSL 3's one-shot SHA256()
// looks the algorithm up again each call, which costs a verifier of a
// million records more than the hashing.
Hash sha256(std::string_view bytes) {
    struct Context {
        EVP_MD *md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        EVP_MD_CTX *ctx = EVP_MD_CTX_new();
        ~Context() {
            EVP_MD_CTX_free(ctx);
            EVP_MD_free(md);
        }
    };
    thread_local Context c;
    Hash h;
    unsigned int n = 0;
    if (!c.md || !c.ctx || EVP_DigestInit_ex2(c.ctx, c.md, nullptr) != 1 ||
        EVP_DigestUpdate(c.ctx, bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(c.ctx, h.data(), &n) != 1 || n != h.size())
        SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), h.data());
    return h;
}

std::optional<std::int64_t> as_i64(const std::optional<std::uint64_t> &v) {
    if (!v) return std::nullopt;
    return static_cast<std::int64_t>(*v);
}

} // namespace

RecordClass record_class(const Record &r) {
    switch (r.kind) {
    case RecordKind::State:
    case RecordKind::Link:
    case RecordKind::Heartbeat:
    case RecordKind::Command: return RecordClass::LineTraffic;
    default: return RecordClass::Audit;
    }
}

StoredRecord stored_record(const Record &r, std::optional<std::int64_t> settles) {
    return {Stored::of(r.cursor),         Stored::of(r.at_ms),
            Stored::of(r.cabinet),        Stored::of(to_string(r.kind)),
            Stored::of(r.session_id),     Stored::of(as_i64(r.event_seq)),
            Stored::of(as_i64(r.seq_to)), Stored::of(r.code),
            Stored::of(r.request_id),     Stored::of(static_cast<std::int64_t>(r.door_id)),
            Stored::of(r.detail),         Stored::of(r.key_scope),
            Stored::of(r.client_key),     Stored::of(as_i64(r.uptime_ms)),
            Stored::of(r.requested_by),   Stored::of(r.outcome),
            Stored::of(settles),          Stored::of(static_cast<std::int64_t>(record_class(r)))};
}

std::string record_bytes(const Origin &origin, const StoredRecord &s) {
    Bytes b;
    b.byte(kChainFormat);
    b.raw(kRecordTag);
    b.raw(origin);
    for (const auto &v : s) b.typed(v);
    return b.str();
}

Hash record_digest(const Origin &origin, const StoredRecord &s) {
    return sha256(record_bytes(origin, s));
}

std::string link_bytes(const Hash &prev, std::uint64_t number, std::int64_t cursor,
                       std::string_view kind, RecordClass c, const Hash &digest) {
    Bytes b;
    b.byte(kChainFormat);
    b.raw(kLinkTag);
    b.raw(prev);
    b.u64(number);
    b.i64(cursor);
    b.typed(Stored::of(kind));
    b.typed(Stored::of(static_cast<std::int64_t>(c)));
    b.raw(digest);
    return b.str();
}

Hash chain_link(const Hash &prev, std::uint64_t number, std::int64_t cursor, std::string_view kind,
                RecordClass c, const Hash &digest) {
    return sha256(link_bytes(prev, number, cursor, kind, c, digest));
}

Hash legacy_digest(const std::vector<std::uint64_t> &links) {
    Bytes b;
    b.byte(kChainFormat);
    b.raw(kLegacyTag);
    for (auto l : links) b.u64(l);
    return sha256(b.str());
}

Hash record_digest_v1(const Record &r) {
    Bytes c;
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
    if (!r.outcome.empty()) c.text(r.outcome);
    return sha256(c.str());
}

Hash chain_link_v1(const Hash &prev, const Hash &digest, std::uint64_t count, RecordKind kind) {
    Bytes c;
    c.text(std::string_view(reinterpret_cast<const char *>(prev.data()), prev.size()));
    c.text(std::string_view(reinterpret_cast<const char *>(digest.data()), digest.size()));
    c.u64(count);
    c.text(to_string(kind));
    return sha256(c.str());
}

} // namespace cabinetd
