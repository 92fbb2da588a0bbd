// A setting the service cannot run with: a bad command line, config file,
// token file or broker setting. Restarting does not mend it (cabinetd exits
// with EX_CONFIG, which its unit does not restart).
#pragma once

#include <stdexcept>

namespace cabinetd {

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace cabinetd
