// The service's metrics in Prometheus' text format (version 0.0.4).
#pragma once

#include "api_context.h"

#include <string>

namespace cabinetd {

std::string metrics_text(ApiContext &ctx);

} // namespace cabinetd
