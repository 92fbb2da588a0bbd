// The HTTP server's limits on connections, set from the command line or the
// config file.
#pragma once

#include <cstddef>

namespace cabinetd {

// How many HTTP connections cabinetd holds, and who may hold them.
// Connections without a valid token share max_unauthenticated places (past
// that the one silent longest makes room); those with a token share the
// rest, each token at most max_token_connections of them (streams
// included, of which at most max_token_streams), every viewer token together
// at most max_viewer_connections: so no viewer, nor all of them, can take
// the places of operators, health checks and scrapes.
struct ConnectionLimits {
    std::size_t max_connections = 4000;
    std::size_t max_unauthenticated = 1024;
    std::size_t max_viewer_connections = 2048;
    std::size_t max_token_connections = 256;
    std::size_t max_token_streams = 64;
};

} // namespace cabinetd
