// What every layer of the host side answers with when it may say no: done
// (with a value), or refused with a code and words for a person. The code is
// one of the outcome table's (what the controller or the link said) or of
// cabinetd's API (what cabinetd itself refused: not_permitted, bad_request,
// ...); each front end turns a refusal into its own answer in one place
// (HTTP: an error body and its status; MQTT: a result message).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace cabinet_host {

struct Refusal {
    std::string code;
    std::string text;
    bool operator==(const Refusal &) const = default;
};

// The refusal of a value that is not what it should be (a line of a file,
// an argument), where only its words are read: code "error".
inline Refusal invalid(std::string why) { return Refusal{"error", std::move(why)}; }

template <class T = void> class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Refusal r) : v_(std::in_place_index<1>, std::move(r)) {}

    explicit operator bool() const { return v_.index() == 0; }
    T &operator*() { return std::get<0>(v_); }
    const T &operator*() const { return std::get<0>(v_); }
    T *operator->() { return &std::get<0>(v_); }
    const T *operator->() const { return &std::get<0>(v_); }
    const Refusal &refusal() const { return std::get<1>(v_); }

private:
    std::variant<T, Refusal> v_;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default; // done
    Result(Refusal r) : refusal_(std::move(r)) {}
    static Result permit() { return {}; }
    static Result refuse(std::string code, std::string text) {
        return Refusal{std::move(code), std::move(text)};
    }

    explicit operator bool() const { return !refusal_; }
    const Refusal &refusal() const { return *refusal_; }

private:
    std::optional<Refusal> refusal_;
};

} // namespace cabinet_host
