// cabinetd answers "done or refused" with the host side's one type for it.
#pragma once

#include <cabinet_host/result.h>

namespace cabinetd {

using cabinet_host::invalid;
using cabinet_host::Refusal;
using cabinet_host::Result;

} // namespace cabinetd
