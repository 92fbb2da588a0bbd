// `cabinetctl token new NAME ROLE [SCOPE]`: a fresh token for cabinetd's
// token file, from the OS's random source, and the line that grants it,
// with the token's SHA-256 in place of the token.
#pragma once

#include "command_line.h"

namespace cabinetctl {

// Prints the token (once: the file keeps only its hash) and the line; 0, or
// 1 with why when the name, role or scope would not be taken by cabinetd.
int cmd_token_new(const Options &o);

} // namespace cabinetctl
