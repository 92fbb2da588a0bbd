#include "print.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace cabinetctl {
namespace {

void write(std::FILE *to, std::string_view a, std::string_view b = {}, std::string_view c = {}) {
    std::fwrite(a.data(), 1, a.size(), to);
    std::fwrite(b.data(), 1, b.size(), to);
    std::fwrite(c.data(), 1, c.size(), to);
    std::fflush(to);
}

} // namespace

void print_line(std::string_view line) { write(stdout, line, "\n"); }

void print_text(std::string_view text) { write(stdout, text); }

void print_problem(std::string_view text) { write(stderr, "cabinetctl: ", text, "\n"); }

void print_trace(std::string_view line) { write(stderr, line, "\n"); }

int print_result(bool json, std::string_view command, cabinet_host::Outcome outcome,
                 std::string_view code, std::string_view message) {
    using cabinet_host::Outcome;
    const int rc = cabinet_host::exit_code(outcome);
    if (json) {
        print_line(nlohmann::json{{"type", "result"},
                                  {"command", std::string(command)},
                                  {"outcome", std::string(cabinet_host::to_string(outcome))},
                                  {"exit_code", rc},
                                  {"code", std::string(code)},
                                  {"message", std::string(message)}}
                       .dump());
    } else if (outcome == Outcome::Done || outcome == Outcome::Refused ||
               outcome == Outcome::Fault) {
        print_line(message);
    } else {
        print_problem(message);
    }
    return rc;
}

} // namespace cabinetctl
