// How far a TCP peer has taken what was sent to it, from the kernel: for
// telling a client that has stopped reading from one that is merely slow.
#pragma once

#include <cstdint>
#include <optional>

namespace cabinetd {

struct TcpProgress {
    std::uint64_t acked = 0;       // bytes the peer has acknowledged, ever
    std::uint64_t outstanding = 0; // bytes in the send queue: unsent or unacknowledged
};

// Nothing if the kernel does not say (not a TCP socket, an old kernel).
std::optional<TcpProgress> tcp_progress(int fd);

} // namespace cabinetd
