// A new record of a cabinet, stamped now on the wall clock: what every part
// of a cabinet journals starts as one.
#pragma once

#include "clock.h"
#include "record.h"

#include <string>

namespace cabinetd {

inline Record stamped(const std::string &cabinet, RecordKind kind) {
    Record r;
    r.at_ms = wall_ms();
    r.cabinet = cabinet;
    r.kind = kind;
    return r;
}

} // namespace cabinetd
