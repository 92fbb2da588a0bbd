#include "random.h"

#include <fmt/format.h>

#include <cerrno>
#include <system_error>

#include <sys/random.h>

namespace cabinetd {

std::string random_hex(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t got = 0; got < n;) {
        const auto r = ::getrandom(bytes.data() + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        got += static_cast<std::size_t>(r);
    }
    std::string out;
    out.reserve(2 * n);
    for (unsigned char c : bytes) out += fmt::format("{:02x}", c);
    return out;
}

} // namespace cabinetd
