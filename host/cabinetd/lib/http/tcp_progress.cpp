// Linux's own tcp_info (with tcpi_bytes_acked) clashes with glibc's
// <netinet/tcp.h>, which Asio includes: this file includes neither Asio nor
// glibc's header.
#include "tcp_progress.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

namespace cabinetd {

std::optional<TcpProgress> tcp_progress(int fd) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return std::nullopt;
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
    return TcpProgress{info.tcpi_bytes_acked, static_cast<std::uint64_t>(queued)};
}

} // namespace cabinetd
