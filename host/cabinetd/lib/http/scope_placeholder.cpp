// Every token covers every cabinet and door until tokens carry a scope.
#include "tokens.h"

namespace cabinetd {

bool permits(const Identity &, std::string_view, int) { return true; }
bool sees(const Identity &, std::string_view) { return true; }

} // namespace cabinetd
