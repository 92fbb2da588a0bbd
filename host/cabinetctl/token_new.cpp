#include "token_new.h"

#include "print.h"
#include "random.h"
#include "token_file.h"

#include <fmt/format.h>

#include <cstdio>

namespace cabinetctl {

int cmd_token_new(const Options &o) {
    for (const auto *field : {&o.token_name, &o.token_role, &o.token_scope})
        if (field->find_first_of(" \t\r\n") != std::string::npos) {
            print_problem(fmt::format("\"{}\": NAME, ROLE and SCOPE are one word each", *field));
            return 1;
        }
    std::string token;
    try {
        token = cabinetd::random_hex(16); // 128 bits
    } catch (const std::exception &e) {
        print_problem(fmt::format("no token: {}", e.what()));
        return 1;
    }
    const auto tail = o.token_scope.empty() ? std::string() : " " + o.token_scope;
    // The line as cabinetd will read it: what it refuses is refused here.
    const auto line = fmt::format("{} {} {}{}", o.token_name, o.token_role,
                                  cabinetd::digest_text(cabinetd::token_digest(token)), tail);
    const auto parsed = cabinetd::parse_token_file(line + "\n");
    if (!parsed) {
        constexpr std::string_view where = "token file line 1: ";
        const std::string_view text = parsed.refusal().text;
        const auto why = text.substr(text.rfind(where, 0) == 0 ? where.size() : 0);
        print_problem(why);
        return 1;
    }
    print_line(token);
    print_line(line);
    print_problem(fmt::format("the first line is {}'s token, shown this once: the second, for the "
                              "token file, holds only its hash. Add it, then reload cabinetd "
                              "(SIGHUP).",
                              o.token_name));
    return 0;
}

} // namespace cabinetctl
