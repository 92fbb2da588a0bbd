#include "cabinet_host/words.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace cabinet_host {
namespace {

constexpr std::array<std::pair<ControllerState, std::string_view>, 5> kStates{{
    {ControllerState::Idle, "idle"},
    {ControllerState::Pulsing, "pulsing"},
    {ControllerState::WaitOpen, "wait_open"},
    {ControllerState::WaitClose, "wait_close"},
    {ControllerState::Fault, "fault"},
}};

bool hex_digits(std::string_view s, bool upper) {
    return std::all_of(s.begin(), s.end(), [upper](char c) {
        return (c >= '0' && c <= '9') || (upper ? c >= 'A' && c <= 'F' : c >= 'a' && c <= 'f');
    });
}

} // namespace

std::optional<ControllerState> parse_state(std::string_view name) {
    for (const auto &[s, n] : kStates)
        if (n == name) return s;
    return std::nullopt;
}

std::string_view to_string(ControllerState s) {
    for (const auto &[st, n] : kStates)
        if (st == s) return n;
    return "idle";
}

std::optional<SessionId> parse_session_id(std::string_view s) {
    if (s.size() != 33 || s[16] != '-') return std::nullopt;
    const auto board = s.substr(0, 16), boot = s.substr(17);
    if (!hex_digits(board, true) || !hex_digits(boot, false)) return std::nullopt;
    SessionId id{std::string(board), 0};
    for (char c : boot)
        id.boot = id.boot * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    return id;
}

std::string format_session_id(const SessionId &id) {
    if (id.board_id.size() != 16 || !hex_digits(id.board_id, true))
        throw std::invalid_argument("a board id is 16 upper-case hex digits");
    return fmt::format("{}-{:016x}", id.board_id, id.boot);
}

} // namespace cabinet_host
