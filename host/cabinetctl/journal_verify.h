// `cabinetctl journal verify`: a journal's hash chain checked from its file.
#pragma once

#include "command_line.h"

namespace cabinetctl {

// 0: the chain holds (and the anchor, if given); 2: it does not; 1: the
// file cannot be read as a journal, or the anchor is not COUNT:HASH.
int cmd_journal_verify(const Options &o);

} // namespace cabinetctl
