#include "log.h"

#include <fmt/format.h>

#include <mutex>

namespace cabinetd {

void log(int priority, std::string_view message) {
    static std::mutex mu;
    std::string line = fmt::format("<{}>cabinetd: ", priority);
    for (char c : message) line.push_back(c == '\n' ? ' ' : c);
    line.push_back('\n');
    std::lock_guard lk(mu);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace cabinetd
