// `cabinetctl journal verify`: a journal's hash chain checked from its file.
#pragma once

#include "command_line.h"

namespace cabinetctl {

// 0: the chain holds (and the anchor, if given); 2: it does not, or the
// anchor does not hold or is another journal's; 3: the chain holds, but
// records the anchor covered were pruned after it (the chain cannot confirm
// that); 1: the file cannot be read as a journal, or the anchor (given, if
// only as "") is not ORIGIN:COUNT:HASH.
int cmd_journal_verify(const Options &o);

} // namespace cabinetctl
