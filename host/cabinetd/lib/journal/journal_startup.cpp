#include "journal_startup.h"

#include "journal_sql.h"
#include "log.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cabinetd {

using journal_sql::Kind;

void regular_file(const std::string &path, bool absent_ok) {
    const auto what = [](mode_t m) {
        if (S_ISDIR(m)) return "a directory";
        if (S_ISFIFO(m)) return "a FIFO";
        if (S_ISSOCK(m)) return "a socket";
        if (S_ISCHR(m)) return "a character device";
        if (S_ISBLK(m)) return "a block device";
        return "not a regular file";
    };
    for (const char *suffix : {"", "-wal", "-shm"}) {
        const auto p = path + suffix;
        struct stat st {};
        // stat, not open: it neither blocks on a FIFO nor wakes a device.
        if (::stat(p.c_str(), &st) != 0) {
            const int err = errno;
            if (err == ENOENT && (absent_ok || *suffix)) continue;
            throw JournalError(fmt::format("cannot open journal {}: {}", p, std::strerror(err)),
                               err == EACCES || err == ENOENT || err == ENOTDIR ? Kind::Unusable
                                                                                : Kind::Transient);
        }
        if (!S_ISREG(st.st_mode))
            throw JournalError(fmt::format("cannot open journal {}: it is {}, not a regular file",
                                           p, what(st.st_mode)));
    }
}

void check_access(const std::string &path) {
    namespace fs = std::filesystem;
    const fs::path p(path);
    const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw JournalError(fmt::format("cannot open journal {}: the directory {} does not exist",
                                       path, dir.string()));
    const auto refuse = [&](const std::string &what, int err) {
        if (err == EROFS)
            throw JournalError(
                fmt::format("cannot open journal {}: {} is on a read-only file system", path, what),
                Kind::Transient);
        throw JournalError(fmt::format("cannot open journal {}: no permission to write {} ({})",
                                       path, what, std::strerror(err)));
    };
    if (::access(dir.c_str(), W_OK | X_OK) != 0) refuse(dir.string(), errno);
    regular_file(path, true);
    if (::stat(path.c_str(), &st) == 0 && ::access(path.c_str(), R_OK | W_OK) != 0)
        refuse(path, errno);
}

namespace {

std::string holder_of(int fd) {
    char buf[32] = {};
    const auto n = ::pread(fd, buf, sizeof buf - 1, 0);
    std::string pid(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    pid.erase(std::find_if(pid.begin(), pid.end(), [](char c) { return c < '0' || c > '9'; }),
              pid.end());
    if (pid.empty()) return "pid unknown";
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "pid " + pid : fmt::format("pid {} ({})", pid, name);
}

} // namespace

int take_lock(const std::string &path) {
    const auto lock = path + ".lock";
    int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0 && errno == EROFS) fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        // Nothing can be written beside the journal at all; the journal will
        // say so as soon as it writes, and a second cabinetd could not write
        // either.
        if (err == EROFS || err == ENOENT) return -1;
        throw JournalError(
            fmt::format("cannot create the lock file {}: {}", lock, std::strerror(err)),
            err == EACCES || err == EPERM ? Kind::Unusable : Kind::Transient);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        const auto holder = holder_of(fd);
        ::close(fd);
        if (err == EWOULDBLOCK)
            throw JournalError(
                fmt::format("journal {} is in use by another cabinetd: {}", path, holder),
                Kind::InUse);
        throw JournalError(fmt::format("cannot lock {}: {}", lock, std::strerror(err)),
                           Kind::Transient);
    }
    // Only the lock counts; a pid that cannot be written leaves "pid unknown".
    const auto pid = fmt::format("{}\n", ::getpid());
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    return fd;
}

bool ours(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char h[100] = {};
    if (!in.read(reinterpret_cast<char *>(h), sizeof h)) return false;
    if (std::memcmp(h, "SQLite format 3", 16) != 0) return false;
    const auto app = (std::uint32_t{h[68]} << 24) | (std::uint32_t{h[69]} << 16) |
        (std::uint32_t{h[70]} << 8) | h[71];
    return app == static_cast<std::uint32_t>(journal_sql::kApplicationId);
}

std::optional<std::string> damage(const std::string &path, const char *vfs) {
    sqlite3 *db = nullptr;
    const auto damaged = [&](int rc) {
        rc &= 0xff;
        return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
    };
    std::optional<std::string> why;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, vfs);
    sqlite3_stmt *st = nullptr;
    if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &st, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            const auto *t = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
            const std::string first = t ? t : "";
            if (first != "ok") why = first;
            rc = SQLITE_OK;
        }
    }
    const std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    const int code = db ? sqlite3_extended_errcode(db) : rc;
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (why) return why;
    if (rc == SQLITE_OK || rc == SQLITE_DONE) return std::nullopt;
    if (damaged(code) || damaged(rc)) return msg;
    throw JournalError(fmt::format("cannot check journal {}: {}", path, msg), Kind::Transient);
}

std::string move_aside(const std::string &path) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string to = fmt::format("{}.damaged-{}", path, stamp);
    for (int i = 1; ::access(to.c_str(), F_OK) == 0; ++i)
        to = fmt::format("{}.damaged-{}-{}", path, stamp, i);
    if (std::rename(path.c_str(), to.c_str()) != 0)
        throw JournalError(fmt::format("journal {} is damaged and cannot be moved aside: {}", path,
                                       std::strerror(errno)),
                           Kind::Transient);
    std::rename((path + "-wal").c_str(), (to + "-wal").c_str()); // there may be none
    ::unlink((path + "-shm").c_str());
    return to;
}

JournalFiles::JournalFiles(const std::string &path, const char *vfs, bool full_sync) {
    check_access(path);
    lock_fd_ = take_lock(path);
    try {
        if (ours(path)) {
            if (auto why = damage(path, vfs)) {
                const auto to = move_aside(path);
                log(3,
                    fmt::format(
                        "journal {} failed its integrity check ({}): moved aside to {}, starting a new one",
                        path, *why, to));
                startup_records_.push_back(journal_sql::journal_record(
                    "moved_aside",
                    fmt::format(R"({{"moved_to":{},"reason":{}}})", journal_sql::json_string(to),
                                journal_sql::json_string(*why))));
            }
        }
        open(path, vfs, full_sync);
    } catch (...) {
        sqlite3_close(db_);
        if (lock_fd_ >= 0) ::close(lock_fd_);
        throw;
    }
}

JournalFiles::~JournalFiles() {
    sqlite3_close(db_);
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

void JournalFiles::open(const std::string &path, const char *vfs, bool full_sync) {
    using journal_sql::exec;
    db_ = journal_sql::open_db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs);
    journal_sql::prepare_schema(db_, path);
    journal_sql::Stmt mode(db_, "PRAGMA journal_mode=WAL");
    if (!mode.step() || mode.text(0) != "wal")
        throw JournalError(fmt::format("journal {}: cannot use write-ahead logging", path),
                           Kind::Transient);
    // A committed batch survives the process being killed in either mode:
    // it is in the log file. With full_sync it survives power loss too.
    exec(db_, full_sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    // The checkpoint thread copies the log into the database (checkpointer.h).
    exec(db_, "PRAGMA wal_autocheckpoint=0");
    // A log that grew (a burst, a checkpoint held off by a reader) is cut
    // back when it starts over, so the files' size stays bounded.
    exec(db_, "PRAGMA journal_size_limit=4194304");
}

} // namespace cabinetd
