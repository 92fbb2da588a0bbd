// The chain's format is what docs/journal-format.md says: its test vectors
// (docs/journal-vectors.json: records, their bytes, digests and links) are
// what the journal computes. A change of the format shows here first.
#include "journal_chain.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace cabinetd {
namespace {

using nlohmann::json;

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string unhex(const std::string &h) {
    std::string out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

Stored stored_of(const json &v) {
    Stored s;
    if (v.is_number_integer()) return Stored::of(v.get<std::int64_t>());
    if (v.is_string()) return Stored::of(v.get<std::string>());
    if (v.is_object() && v.contains("blob")) {
        s.type = Stored::Type::Blob;
        s.bytes = unhex(v["blob"].get<std::string>());
    } else if (v.is_object() && v.contains("real")) {
        s.type = Stored::Type::Float;
        s.real = v["real"].get<double>();
    }
    return s;
}

template <class A> A array_of(const std::string &h) {
    A a{};
    const auto bytes = unhex(h);
    std::copy(bytes.begin(), bytes.end(), a.begin());
    return a;
}

TEST(ChainFormat, TheDocumentsTestVectorsAreWhatTheJournalComputes) {
    std::ifstream in(CABINETD_CHAIN_VECTORS);
    ASSERT_TRUE(in) << CABINETD_CHAIN_VECTORS;
    const auto d = json::parse(in);
    ASSERT_EQ(d["format"], kChainFormat);
    for (std::size_t i = 0; i < kHashedColumns.size(); ++i)
        EXPECT_EQ(d["columns"][i], kHashedColumns[i]);
    const auto origin = array_of<Origin>(d["origin"]);
    auto records = d["records"];
    records.push_back(d["retyped"]);
    for (const auto &r : records) {
        StoredRecord s;
        ASSERT_EQ(r["stored"].size(), s.size());
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = stored_of(r["stored"][i]);
        EXPECT_EQ(hex(record_bytes(origin, s)), r["record_bytes"]) << r["about"];
        const auto digest = record_digest(origin, s);
        EXPECT_EQ(to_hex(digest), r["digest"]) << r["about"];
        if (!r.contains("link")) continue;
        const auto &l = r["link"];
        const auto prev = array_of<Hash>(l["prev"]);
        const auto cls = static_cast<RecordClass>(l["class"].get<int>());
        const auto kind = l["kind"].get<std::string>();
        EXPECT_EQ(hex(link_bytes(prev, l["number"], l["cursor"], kind, cls, digest)),
                  r["link_bytes"]);
        EXPECT_EQ(to_hex(chain_link(prev, l["number"], l["cursor"], kind, cls, digest)), r["hash"]);
        // What a reader of the record says its class is, the journal decided.
        Record rec;
        rec.kind = *record_kind(kind);
        EXPECT_EQ(record_class(rec), cls) << kind;
    }
    // Format 1, as older journals' links were written.
    const auto &f = d["format_1"];
    Record r;
    r.cursor = f["record"]["cursor"];
    r.at_ms = f["record"]["at_ms"];
    r.cabinet = f["record"]["cabinet"];
    r.kind = *record_kind(f["record"]["kind"].get<std::string>());
    r.session_id = f["record"]["session_id"];
    r.event_seq = f["record"]["event_seq"].get<std::uint64_t>();
    r.code = f["record"]["code"];
    r.request_id = f["record"]["request_id"];
    r.door_id = f["record"]["door_id"];
    r.outcome = f["record"]["outcome"];
    const auto digest = record_digest_v1(r);
    EXPECT_EQ(to_hex(digest), f["digest"]);
    EXPECT_EQ(to_hex(chain_link_v1(array_of<Hash>(f["link"]["prev"]), digest, f["link"]["number"],
                                   r.kind)),
              f["hash"]);
    EXPECT_EQ(to_hex(legacy_digest(d["legacy"]["links"].get<std::vector<std::uint64_t>>())),
              d["legacy"]["digest"]);
    const auto anchor = parse_anchor(d["anchor"].get<std::string>());
    ASSERT_TRUE(anchor) << anchor.refusal().text;
    EXPECT_EQ(to_hex(anchor->hash), d["records"].back()["hash"]);
}

} // namespace
} // namespace cabinetd
