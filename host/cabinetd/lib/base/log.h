// Log lines on standard error with the "<N>" priority prefix journald reads,
// one line per message.
#pragma once

#include <string_view>

namespace cabinetd {

// syslog's priorities, as journald reads them from the prefix.
enum class Level { Critical = 2, Error = 3, Warning = 4, Notice = 5, Info = 6 };

void log(Level level, std::string_view message);
// The journal's own lines, until it names its levels too: to be removed then.
void log(int priority, std::string_view message);

} // namespace cabinetd
