// What the fuzz targets of JSON parsers share: whether a text gives a key
// twice in one object, found by nlohmann's SAX events (the parsers under
// test use its parse callback or none), so a target can tell it apart from
// what the parser says.
#pragma once

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz_json {

struct TwiceFinder final : nlohmann::json::json_sax_t {
    std::vector<std::set<std::string>> open;
    bool twice = false;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override {
        open.emplace_back();
        return true;
    }
    bool key(string_t &k) override {
        twice = twice || !open.back().insert(k).second;
        return true;
    }
    bool end_object() override {
        open.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string &,
                     const nlohmann::detail::exception &) override {
        return false;
    }
};

// Whether a JSON text gives some key twice in one object (false for what is
// not JSON at all).
inline bool has_key_twice(std::string_view text) {
    TwiceFinder f;
    nlohmann::json::sax_parse(text.begin(), text.end(), &f);
    return f.twice;
}

} // namespace fuzz_json
