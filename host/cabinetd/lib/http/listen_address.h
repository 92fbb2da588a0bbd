// Where the HTTP server listens.
#pragma once

#include <string>

namespace cabinetd {

struct ListenAddress {
    std::string host;
    unsigned short port = 0;
};
// "HOST:PORT" or "[V6]:PORT"; port 0 picks a free one. Throws ConfigError.
ListenAddress parse_listen(const std::string &s);

} // namespace cabinetd
