#include "guarded_file.h"

#include "config_error.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cabinetd {
namespace {

namespace fs = std::filesystem;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string errno_text() { return std::strerror(errno); }

// Every directory from the root down to dir.
void check_directories(const std::string &path, std::string_view what, fs::path dir) {
    for (;; dir = dir.parent_path()) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
            throw ConfigError(fmt::format(
                "{} {}: the directory {} is writable by every user of the machine (mode {:04o}), "
                "so anyone could put another file in its place; keep it in a directory only "
                "its owner can write (chmod o-w {})",
                what, path, dir.string(), st.st_mode & 07777, dir.string()));
        if (dir == dir.parent_path()) return;
    }
}

std::string read_all(int fd, const std::string &path, std::string_view what) {
    std::string text;
    char buf[4096];
    for (;;) {
        const auto n = ::read(fd, buf, sizeof buf);
        if (n == 0) return text;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw ConfigError(fmt::format("cannot read {} {}: {}", what, path, errno_text()));
        text.append(buf, static_cast<std::size_t>(n));
    }
}

} // namespace

GuardedFile read_guarded_file(const std::string &path, std::string_view what) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0)
        throw ConfigError(fmt::format("cannot read {} {}: {}", what, path, errno_text()));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw ConfigError(fmt::format("cannot read {} {}: {}", what, path, errno_text()));
    if (!S_ISREG(st.st_mode))
        throw ConfigError(fmt::format("{} {} is not a regular file", what, path));
    const unsigned mode = st.st_mode & 07777;
    if (st.st_mode & S_IWOTH)
        throw ConfigError(fmt::format(
            "{} {} is writable by every user of the machine (mode {:04o}): anyone could make "
            "themselves an operator; remove that (chmod o-w {})",
            what, path, mode, path));
    std::error_code ec;
    check_directories(path, what, fs::absolute(path, ec).lexically_normal().parent_path());
    const auto real = fs::canonical(path, ec);
    if (!ec) check_directories(path, what, real.parent_path());
    return GuardedFile{read_all(fd.get(), path, what), (st.st_mode & S_IROTH) != 0, mode};
}

std::string readable_by_all(const std::string &path, std::string_view what, unsigned mode,
                            std::string_view secret) {
    return fmt::format("{} {} is readable by every user of the machine (mode {:04o}): any of them "
                       "could take {} from it; chmod o-r {}",
                       what, path, mode, secret, path);
}

} // namespace cabinetd
