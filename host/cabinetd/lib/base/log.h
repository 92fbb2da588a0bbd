// Log lines on standard error with the "<N>" priority prefix journald reads
// (3 error, 4 warning, 5 notice, 6 info), one line per message.
#pragma once

#include <string_view>

namespace cabinetd {

void log(int priority, std::string_view message);

} // namespace cabinetd
