#include "journal.h"

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
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cabinetd {
namespace {

// "CABJ": marks a database as this service's journal, so a foreign SQLite
// file given by mistake is refused instead of written into.
constexpr int kApplicationId = 0x43414a42;

// New databases use small pages: a commit writes every page it touches to
// the log, and a record is a few hundred bytes, so a 1 KB page writes a
// quarter of what a 4 KB page does for the same record (the write budget).
constexpr int kPageSize = 1024;

const char *const kSchema = R"sql(
CREATE TABLE journal (
    cursor     INTEGER PRIMARY KEY AUTOINCREMENT,
    at_ms      INTEGER NOT NULL,
    cabinet    TEXT NOT NULL,
    kind       TEXT NOT NULL,
    session_id TEXT NOT NULL DEFAULT '',
    event_seq  INTEGER,
    seq_to     INTEGER,
    code       TEXT NOT NULL DEFAULT '',
    request_id TEXT NOT NULL DEFAULT '',
    door_id    INTEGER NOT NULL DEFAULT 0,
    detail     TEXT NOT NULL DEFAULT '',
    key_scope  TEXT NOT NULL DEFAULT '',
    client_key TEXT NOT NULL DEFAULT '',
    uptime_ms  INTEGER
);
CREATE UNIQUE INDEX journal_event ON journal(cabinet, session_id, event_seq) WHERE kind = 'event';
CREATE INDEX journal_request ON journal(cabinet, request_id) WHERE request_id <> '';
CREATE INDEX journal_client_key ON journal(cabinet, key_scope, client_key) WHERE client_key <> '';
CREATE INDEX journal_at ON journal(at_ms);
CREATE TABLE sessions (
    cabinet    TEXT NOT NULL,
    session_id TEXT NOT NULL,
    last_seq   INTEGER NOT NULL DEFAULT 0,
    first_ms   INTEGER NOT NULL,
    last_ms    INTEGER NOT NULL,
    PRIMARY KEY (cabinet, session_id)
);
)sql";

// Version 1 sent a client's idempotency key to the controller as the open's
// request id. Its opens keep answering their key: the request id becomes the
// key, in the scope of whoever asked (no version-1 open can tell a key from
// an id cabinetd generated; a generated one only ever answers its own asker).
// An event's uptime moves from its detail to a column of its own.
const char *const kMigrate1To2 = R"sql(
ALTER TABLE journal ADD COLUMN key_scope TEXT NOT NULL DEFAULT '';
ALTER TABLE journal ADD COLUMN client_key TEXT NOT NULL DEFAULT '';
UPDATE journal SET client_key = request_id,
    key_scope = CASE
        WHEN NOT json_valid(detail) THEN ''
        WHEN json_extract(detail, '$.requested_by') = 'mqtt' THEN 'mqtt'
        ELSE 'http:' || coalesce(json_extract(detail, '$.requested_by'), '') END
    WHERE kind = 'open' AND request_id <> '';
CREATE INDEX journal_client_key ON journal(cabinet, key_scope, client_key) WHERE client_key <> '';
ALTER TABLE journal ADD COLUMN uptime_ms INTEGER;
UPDATE journal SET uptime_ms = json_extract(detail, '$.uptime_ms'),
    detail = CASE json_remove(detail, '$.uptime_ms') WHEN '{}' THEN '' ELSE json_remove(detail, '$.uptime_ms') END
    WHERE kind = 'event' AND json_valid(detail) AND json_type(detail, '$.uptime_ms') = 'integer';
PRAGMA user_version = 2;
)sql";

using Kind = JournalError::Kind;

// Errors of the disk or the moment (full, I/O, busy) may pass; the rest
// (a foreign or damaged file) will not.
Kind kind_of(sqlite3 *db) {
    if (!db) return Kind::Transient;
    switch (sqlite3_errcode(db) & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_PERM:
    case SQLITE_AUTH: return Kind::Unusable;
    default: return Kind::Transient;
    }
}

[[noreturn]] void fail(sqlite3 *db, const std::string &what) {
    throw JournalError(fmt::format("{}: {}", what, db ? sqlite3_errmsg(db) : "out of memory"), kind_of(db));
}

void exec(sqlite3 *db, const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw JournalError(fmt::format("journal: {} ({})", msg, sql), kind_of(db));
    }
}

class Stmt {
public:
    Stmt(sqlite3 *db, const char *sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) fail(db, "journal: prepare");
    }
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    Stmt &bind(int i, std::int64_t v) { sqlite3_bind_int64(st_, i, v); return *this; }
    Stmt &bind(int i, const std::string &v) {
        sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &bind(int i, const std::optional<std::uint64_t> &v) {
        if (v) sqlite3_bind_int64(st_, i, static_cast<std::int64_t>(*v));
        else sqlite3_bind_null(st_, i);
        return *this;
    }
    // True while there is a row.
    bool step() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) fail(db_, "journal: step");
        return false;
    }
    void reset() { sqlite3_reset(st_); sqlite3_clear_bindings(st_); }
    std::int64_t i64(int c) const { return sqlite3_column_int64(st_, c); }
    bool null(int c) const { return sqlite3_column_type(st_, c) == SQLITE_NULL; }
    std::string text(int c) const {
        const auto *p = sqlite3_column_text(st_, c);
        return p ? std::string(reinterpret_cast<const char *>(p), static_cast<std::size_t>(sqlite3_column_bytes(st_, c))) : std::string();
    }

private:
    sqlite3 *db_;
    sqlite3_stmt *st_ = nullptr;
};

sqlite3 *open_db(const std::string &path, int flags, const char *vfs) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, vfs) != SQLITE_OK) {
        std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
        const auto kind = kind_of(db);
        sqlite3_close(db);
        throw JournalError(fmt::format("cannot open journal {}: {}", path, msg), kind);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

int pragma_int(sqlite3 *db, const char *sql) {
    Stmt s(db, sql);
    return s.step() ? static_cast<int>(s.i64(0)) : 0;
}

constexpr const char *kColumns =
    "cursor, at_ms, cabinet, kind, session_id, event_seq, seq_to, code, request_id, door_id, detail, "
    "key_scope, client_key, uptime_ms";

Record row(const Stmt &s) {
    Record r;
    r.cursor = s.i64(0);
    r.at_ms = s.i64(1);
    r.cabinet = s.text(2);
    r.kind = s.text(3);
    r.session_id = s.text(4);
    if (!s.null(5)) r.event_seq = static_cast<std::uint64_t>(s.i64(5));
    if (!s.null(6)) r.seq_to = static_cast<std::uint64_t>(s.i64(6));
    r.code = s.text(7);
    r.request_id = s.text(8);
    r.door_id = static_cast<unsigned>(s.i64(9));
    r.detail = s.text(10);
    r.key_scope = s.text(11);
    r.client_key = s.text(12);
    if (!s.null(13)) r.uptime_ms = static_cast<std::uint64_t>(s.i64(13));
    return r;
}

Record journal_record(std::string code, std::string detail, std::int64_t at_ms = 0) {
    Record r;
    r.at_ms = at_ms ? at_ms : wall_ms();
    r.kind = "journal";
    r.code = std::move(code);
    r.detail = std::move(detail);
    return r;
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
            continue;
        }
        out += c;
    }
    return out + "\"";
}

// --- Test-only: a VFS whose writes fail while a file exists -------------
//
// Everything is passed to the default VFS, except that while the fault file
// exists, writes fail as the disk would: SQLITE_FULL ("full") or an I/O
// error. Used only when JournalOptions::fault_file is set, which only tests do.

struct FaultVfs {
    sqlite3_vfs vfs{};
    sqlite3_vfs *real = nullptr;
    std::string name, trigger;
};

struct FaultFile {
    sqlite3_file base;
    FaultVfs *owner;
    sqlite3_file *real() { return reinterpret_cast<sqlite3_file *>(this + 1); }
};
static_assert(sizeof(FaultFile) % 8 == 0); // the real file follows it

FaultFile *ff(sqlite3_file *f) { return reinterpret_cast<FaultFile *>(f); }

// 0, or the error a write gets now.
int injected(FaultFile *f) {
    std::ifstream in(f->owner->trigger);
    if (!in) return 0;
    std::string what;
    in >> what;
    return what == "full" ? SQLITE_FULL : SQLITE_IOERR_WRITE;
}

const sqlite3_io_methods kFaultMethods = {
    3,
    [](sqlite3_file *f) {
        auto *r = ff(f)->real();
        return r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
    },
    [](sqlite3_file *f, void *b, int n, sqlite3_int64 o) { return ff(f)->real()->pMethods->xRead(ff(f)->real(), b, n, o); },
    [](sqlite3_file *f, const void *b, int n, sqlite3_int64 o) {
        if (int e = injected(ff(f))) return e;
        return ff(f)->real()->pMethods->xWrite(ff(f)->real(), b, n, o);
    },
    [](sqlite3_file *f, sqlite3_int64 n) {
        if (injected(ff(f))) return SQLITE_IOERR_TRUNCATE;
        return ff(f)->real()->pMethods->xTruncate(ff(f)->real(), n);
    },
    [](sqlite3_file *f, int fl) {
        if (injected(ff(f)) == SQLITE_IOERR_WRITE) return SQLITE_IOERR_FSYNC;
        return ff(f)->real()->pMethods->xSync(ff(f)->real(), fl);
    },
    [](sqlite3_file *f, sqlite3_int64 *n) { return ff(f)->real()->pMethods->xFileSize(ff(f)->real(), n); },
    [](sqlite3_file *f, int l) { return ff(f)->real()->pMethods->xLock(ff(f)->real(), l); },
    [](sqlite3_file *f, int l) { return ff(f)->real()->pMethods->xUnlock(ff(f)->real(), l); },
    [](sqlite3_file *f, int *o) { return ff(f)->real()->pMethods->xCheckReservedLock(ff(f)->real(), o); },
    [](sqlite3_file *f, int op, void *a) { return ff(f)->real()->pMethods->xFileControl(ff(f)->real(), op, a); },
    [](sqlite3_file *f) { return ff(f)->real()->pMethods->xSectorSize(ff(f)->real()); },
    [](sqlite3_file *f) { return ff(f)->real()->pMethods->xDeviceCharacteristics(ff(f)->real()); },
    [](sqlite3_file *f, int pg, int sz, int ext, void volatile **p) {
        return ff(f)->real()->pMethods->xShmMap(ff(f)->real(), pg, sz, ext, p);
    },
    [](sqlite3_file *f, int o, int n, int fl) { return ff(f)->real()->pMethods->xShmLock(ff(f)->real(), o, n, fl); },
    [](sqlite3_file *f) { ff(f)->real()->pMethods->xShmBarrier(ff(f)->real()); },
    [](sqlite3_file *f, int d) { return ff(f)->real()->pMethods->xShmUnmap(ff(f)->real(), d); },
    [](sqlite3_file *f, sqlite3_int64 o, int n, void **p) { return ff(f)->real()->pMethods->xFetch(ff(f)->real(), o, n, p); },
    [](sqlite3_file *f, sqlite3_int64 o, void *p) { return ff(f)->real()->pMethods->xUnfetch(ff(f)->real(), o, p); },
};

FaultVfs *owner(sqlite3_vfs *v) { return static_cast<FaultVfs *>(v->pAppData); }

std::shared_ptr<FaultVfs> make_fault_vfs(const std::string &trigger) {
    static std::atomic<int> counter{0};
    auto v = std::shared_ptr<FaultVfs>(new FaultVfs, [](FaultVfs *p) {
        sqlite3_vfs_unregister(&p->vfs);
        delete p;
    });
    v->real = sqlite3_vfs_find(nullptr);
    v->trigger = trigger;
    v->name = fmt::format("cabinetd-fault-{}", ++counter);
    v->vfs = *v->real;
    v->vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + v->real->szOsFile;
    v->vfs.zName = v->name.c_str();
    v->vfs.pNext = nullptr;
    v->vfs.pAppData = v.get();
    v->vfs.xOpen = [](sqlite3_vfs *vfs, const char *name, sqlite3_file *f, int flags, int *out) {
        auto *file = ff(f);
        file->owner = owner(vfs);
        const int rc = owner(vfs)->real->xOpen(owner(vfs)->real, name, file->real(), flags, out);
        file->base.pMethods = rc == SQLITE_OK ? &kFaultMethods : nullptr;
        return rc;
    };
    v->vfs.xDelete = [](sqlite3_vfs *vfs, const char *n, int s) { return owner(vfs)->real->xDelete(owner(vfs)->real, n, s); };
    v->vfs.xAccess = [](sqlite3_vfs *vfs, const char *n, int fl, int *o) {
        return owner(vfs)->real->xAccess(owner(vfs)->real, n, fl, o);
    };
    v->vfs.xFullPathname = [](sqlite3_vfs *vfs, const char *n, int sz, char *o) {
        return owner(vfs)->real->xFullPathname(owner(vfs)->real, n, sz, o);
    };
    v->vfs.xRandomness = [](sqlite3_vfs *vfs, int n, char *o) { return owner(vfs)->real->xRandomness(owner(vfs)->real, n, o); };
    v->vfs.xSleep = [](sqlite3_vfs *vfs, int us) { return owner(vfs)->real->xSleep(owner(vfs)->real, us); };
    v->vfs.xCurrentTime = [](sqlite3_vfs *vfs, double *t) { return owner(vfs)->real->xCurrentTime(owner(vfs)->real, t); };
    v->vfs.xGetLastError = [](sqlite3_vfs *vfs, int n, char *o) { return owner(vfs)->real->xGetLastError(owner(vfs)->real, n, o); };
    v->vfs.xCurrentTimeInt64 = [](sqlite3_vfs *vfs, sqlite3_int64 *t) {
        return owner(vfs)->real->xCurrentTimeInt64(owner(vfs)->real, t);
    };
    sqlite3_vfs_register(&v->vfs, 0);
    return v;
}

// --- Start-up: the directory, the lock, a damaged database ---------------

// Refuses, with the reason, a journal this process can never use as it is
// (Unusable) or not just now (Transient), before anything is created.
void check_access(const std::string &path) {
    namespace fs = std::filesystem;
    const fs::path p(path);
    const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw JournalError(fmt::format("cannot open journal {}: the directory {} does not exist", path, dir.string()));
    const auto refuse = [&](const std::string &what, int err) {
        if (err == EROFS)
            throw JournalError(fmt::format("cannot open journal {}: {} is on a read-only file system", path, what),
                               Kind::Transient);
        throw JournalError(fmt::format("cannot open journal {}: no permission to write {} ({})", path, what,
                                       std::strerror(err)));
    };
    if (::access(dir.c_str(), W_OK | X_OK) != 0) refuse(dir.string(), errno);
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw JournalError(fmt::format("cannot open journal {}: it is a directory", path));
        if (::access(path.c_str(), R_OK | W_OK) != 0) refuse(path, errno);
    }
}

std::string holder_of(int fd) {
    char buf[32] = {};
    const auto n = ::pread(fd, buf, sizeof buf - 1, 0);
    std::string pid(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    pid.erase(std::find_if(pid.begin(), pid.end(), [](char c) { return c < '0' || c > '9'; }), pid.end());
    if (pid.empty()) return "pid unknown";
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "pid " + pid : fmt::format("pid {} ({})", pid, name);
}

// One cabinetd per journal: an exclusive lock on a file beside it, held for
// the process's lifetime (the kernel drops it when the process dies, however
// it dies). The file names the holder's pid.
int take_lock(const std::string &path) {
    const auto lock = path + ".lock";
    int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EROFS) fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        // Nothing can be written beside the journal at all; the journal will
        // say so as soon as it writes, and a second cabinetd could not write
        // either.
        if (err == EROFS || err == ENOENT) return -1;
        throw JournalError(fmt::format("cannot create the lock file {}: {}", lock, std::strerror(err)),
                           err == EACCES || err == EPERM ? Kind::Unusable : Kind::Transient);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        const auto holder = holder_of(fd);
        ::close(fd);
        if (err == EWOULDBLOCK)
            throw JournalError(fmt::format("journal {} is in use by another cabinetd: {}", path, holder), Kind::InUse);
        throw JournalError(fmt::format("cannot lock {}: {}", lock, std::strerror(err)), Kind::Transient);
    }
    // Only the lock counts; a pid that cannot be written leaves "pid unknown".
    const auto pid = fmt::format("{}\n", ::getpid());
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    return fd;
}

// Whether the file carries this service's mark in its header (and so is
// ours to move aside when it is damaged, not a file given by mistake).
bool ours(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char h[100] = {};
    if (!in.read(reinterpret_cast<char *>(h), sizeof h)) return false;
    if (std::memcmp(h, "SQLite format 3", 16) != 0) return false;
    const auto app = (std::uint32_t{h[68]} << 24) | (std::uint32_t{h[69]} << 16) | (std::uint32_t{h[70]} << 8) | h[71];
    return app == static_cast<std::uint32_t>(kApplicationId);
}

// Why the database fails its integrity check, or nothing. Throws for an
// error of the moment (I/O, busy), which says nothing about the file.
std::optional<std::string> damage(const std::string &path, const char *vfs) {
    sqlite3 *db = nullptr;
    const auto damaged = [&](int rc) { rc &= 0xff; return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB; };
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

// Renames a damaged database (and its log) out of the way; the new name.
std::string move_aside(const std::string &path) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string to = fmt::format("{}.damaged-{}", path, stamp);
    for (int i = 1; ::access(to.c_str(), F_OK) == 0; ++i) to = fmt::format("{}.damaged-{}-{}", path, stamp, i);
    if (std::rename(path.c_str(), to.c_str()) != 0)
        throw JournalError(fmt::format("journal {} is damaged and cannot be moved aside: {}", path, std::strerror(errno)),
                           Kind::Transient);
    std::rename((path + "-wal").c_str(), (to + "-wal").c_str()); // there may be none
    ::unlink((path + "-shm").c_str());
    return to;
}

} // namespace

Journal::Journal(const std::string &path, JournalOptions options) : opt_(std::move(options)), path_(path) {
    if (!opt_.fault_file.empty()) fault_vfs_ = make_fault_vfs(opt_.fault_file);
    const char *vfs = fault_vfs_ ? static_cast<FaultVfs *>(fault_vfs_.get())->name.c_str() : nullptr;
    check_access(path);
    lock_fd_ = take_lock(path);
    try {
        if (ours(path)) {
            if (auto why = damage(path, vfs)) {
                const auto to = move_aside(path);
                log(3, fmt::format("journal {} failed its integrity check ({}): moved aside to {}, starting a new one",
                                   path, *why, to));
                startup_records_.push_back(journal_record(
                    "moved_aside", fmt::format(R"({{"moved_to":{},"reason":{}}})", json_string(to), json_string(*why))));
            }
        }
        open(path, vfs);
    } catch (...) {
        sqlite3_close(wdb_);
        sqlite3_close(rdb_);
        sqlite3_close(pdb_);
        sqlite3_close(cdb_);
        if (lock_fd_ >= 0) ::close(lock_fd_);
        throw;
    }
    next_retry_ = std::chrono::steady_clock::now();
    writer_ = std::thread([this] { run(); });
    checkpointer_ = std::thread([this] { checkpoints(); });
}

void Journal::open(const std::string &path, const char *vfs) {
    wdb_ = open_db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs);
    const int app = pragma_int(wdb_, "PRAGMA application_id");
    const int version = pragma_int(wdb_, "PRAGMA user_version");
    const int tables = pragma_int(wdb_, "SELECT count(*) FROM sqlite_master");
    if (tables == 0) {
        exec(wdb_, fmt::format("PRAGMA page_size={}", kPageSize).c_str());
        exec(wdb_, "PRAGMA journal_mode=WAL");
        exec(wdb_, "BEGIN");
        exec(wdb_, kSchema);
        exec(wdb_, fmt::format("PRAGMA application_id={}", kApplicationId).c_str());
        exec(wdb_, fmt::format("PRAGMA user_version={}", kSchemaVersion).c_str());
        exec(wdb_, "COMMIT");
    } else if (app != kApplicationId) {
        throw JournalError(fmt::format("{} is not a cabinetd journal", path));
    } else if (version == 1) {
        exec(wdb_, "BEGIN IMMEDIATE");
        try {
            exec(wdb_, kMigrate1To2);
            exec(wdb_, "COMMIT");
        } catch (...) {
            sqlite3_exec(wdb_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        log(5, fmt::format("journal {}: schema version 1 migrated to {}", path, kSchemaVersion));
    } else if (version != kSchemaVersion) {
        throw JournalError(fmt::format(
            "journal {} has schema version {}; this cabinetd reads version {}", path, version,
            kSchemaVersion));
    }
    // Readers' progress came after the first schema; a journal without it
    // gains it here, and older readers of the database ignore it.
    exec(wdb_, "CREATE TABLE IF NOT EXISTS progress (reader TEXT PRIMARY KEY, cursor INTEGER NOT NULL)");
    Stmt mode(wdb_, "PRAGMA journal_mode=WAL");
    if (!mode.step() || mode.text(0) != "wal")
        throw JournalError(fmt::format("journal {}: cannot use write-ahead logging", path), Kind::Transient);
    // A committed batch survives the process being killed in either mode:
    // it is in the log file. With full_sync it survives power loss too.
    exec(wdb_, opt_.full_sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    // Checkpoints copy the log into the database and sync it, which takes
    // tens of milliseconds: a thread of their own does them, so a commit
    // (and the API answer waiting for it) never pays for one. The log's
    // length after each commit tells that thread when one is due.
    exec(wdb_, "PRAGMA wal_autocheckpoint=0");
    sqlite3_wal_hook(
        wdb_,
        [](void *self, sqlite3 *, const char *, int pages) {
            static_cast<Journal *>(self)->wal_pages_.store(pages);
            return SQLITE_OK;
        },
        this);
    // A log that grew (a burst, a checkpoint held off by a reader) is cut
    // back when it starts over, so the files' size stays bounded.
    exec(wdb_, "PRAGMA journal_size_limit=4194304");
    rdb_ = open_db(path, SQLITE_OPEN_READONLY, vfs);
    pdb_ = open_db(path, SQLITE_OPEN_READONLY, vfs);
    cdb_ = open_db(path, SQLITE_OPEN_READWRITE, vfs);
    Stmt last(wdb_, "SELECT coalesce(max(cursor), 0) FROM journal");
    last.step();
    last_cursor_ = last.i64(0);
}

void Journal::checkpoints() {
    auto last = std::chrono::steady_clock::now();
    std::unique_lock lk(mu_);
    while (!stop_) {
        cv_stop_.wait_for(lk, std::chrono::milliseconds(500), [&] { return stop_; });
        const auto now = std::chrono::steady_clock::now();
        const int pages = wal_pages_.load();
        if (stop_ || !(pages >= opt_.checkpoint_pages || (pages > 0 && now - last >= opt_.checkpoint_interval)))
            continue;
        lk.unlock();
        // Passive: copies what no reader still needs, never waits for the writer.
        int log_pages = 0, done = 0;
        if (sqlite3_wal_checkpoint_v2(cdb_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log_pages, &done) == SQLITE_OK &&
            log_pages >= 0)
            wal_pages_.store(log_pages - done); // the log starts over with the next commit once all is copied
        last = now;
        lk.lock();
    }
}

Journal::~Journal() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    cv_stop_.notify_all();
    writer_.join();
    checkpointer_.join();
    sqlite3_close(cdb_);
    sqlite3_close(rdb_);
    sqlite3_close(pdb_);
    sqlite3_close(wdb_);
    fault_vfs_.reset();
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

void Journal::enqueue(Batch b) {
    std::lock_guard olk(observers_mu_);
    if (!b.records.empty())
        for (auto &[id, o] : observers_) o(b.records);
    {
        std::lock_guard lk(mu_);
        b.queued = std::chrono::steady_clock::now();
        if (b.urgent) ++urgent_;
        queue_.push_back(std::move(b));
        ++queued_;
    }
    cv_.notify_all();
}

void Journal::write(std::vector<Record> records, std::function<void()> committed) {
    Batch b;
    b.records = std::move(records);
    if (committed) {
        b.urgent = true;
        b.done = [c = std::move(committed)](bool) { c(); };
    }
    enqueue(std::move(b));
}

void Journal::write_durable(std::vector<Record> records, std::function<void(bool)> done) {
    Batch b;
    b.records = std::move(records);
    b.done = std::move(done);
    b.urgent = true;
    enqueue(std::move(b));
}

void Journal::flush() {
    // An empty batch that someone waits for: the writer commits everything
    // queued before it at once.
    std::unique_lock lk(mu_);
    Batch mark;
    mark.urgent = true;
    mark.queued = std::chrono::steady_clock::now();
    ++urgent_;
    queue_.push_back(std::move(mark));
    const auto target = ++queued_;
    cv_.notify_all();
    done_cv_.wait(lk, [&] { return committed_ >= target || exited_; });
}

std::string Journal::unavailable_reason() const {
    std::lock_guard lk(mu_);
    return available_ ? std::string() : reason_;
}

// When what is queued must be committed (mu_ held, queue not empty): a
// group interval after the first records, and a reader's progress alone
// (the MQTT bridge's acknowledged cursor, moved by every event it publishes)
// only after the longer progress interval: losing it to a crash costs no
// more than events published again, and writing it after every event would
// double the commits of a busy cabinet.
std::chrono::steady_clock::time_point Journal::due_at() const {
    auto due = queue_.front().queued + opt_.progress_interval;
    for (auto &b : queue_)
        if (!b.records.empty()) return std::min(due, b.queued + opt_.group_interval);
    return due;
}

void Journal::run() {
    using clock = std::chrono::steady_clock;
    auto next_prune = clock::now();
    auto next_size = clock::now();
    const auto size_every = std::min<clock::duration>(opt_.prune_interval, std::chrono::minutes(1));
    if (!startup_records_.empty()) {
        std::vector<Batch> first(1);
        first[0].records = std::move(startup_records_);
        attempt(first, true);
    }
    for (;;) {
        progress_.mark();
        std::vector<Batch> batches;
        bool retry = false, exiting = false;
        {
            std::unique_lock lk(mu_);
            // Idle, the loop still goes round twice a second: that is its
            // proof of life for the watchdog.
            auto wake = clock::now() + std::chrono::milliseconds(500);
            if (available_) wake = std::min({wake, next_prune, next_size}); // no pruning while it cannot write
            else wake = std::min(wake, next_retry_);
            if (!queue_.empty()) wake = std::min(wake, due_at());
            cv_.wait_until(lk, wake, [&] { return stop_ || urgent_ > 0; });
            const auto now = clock::now();
            const bool due = stop_ || urgent_ > 0 || (!queue_.empty() && now >= due_at());
            retry = !available_ && (now >= next_retry_ || stop_);
            if (due || retry) {
                // Everything waiting goes into one transaction.
                std::size_t n = 0;
                while (!queue_.empty() && n < 20000) {
                    n += queue_.front().records.size();
                    if (queue_.front().urgent) --urgent_;
                    batches.push_back(std::move(queue_.front()));
                    queue_.pop_front();
                }
            }
            exiting = stop_ && queue_.empty();
        }
        if (!batches.empty() || retry) {
            const std::size_t handled = batches.size();
            attempt(batches, available_ || retry);
            std::lock_guard lk(mu_);
            committed_ += handled;
            done_cv_.notify_all();
        }
        if (exiting) {
            if (held_records_)
                log(3, fmt::format("journal: stopping while it cannot write: {} records kept in memory are lost",
                                   held_records_));
            std::lock_guard lk(mu_);
            exited_ = true;
            done_cv_.notify_all();
            return;
        }
        if (!available_) continue;
        const auto now = clock::now();
        try {
            if (now >= next_prune) {
                next_prune = now + opt_.prune_interval;
                prune_age();
            }
            if (now >= next_size) {
                next_size = now + size_every;
                prune_size();
            }
        } catch (const JournalError &e) {
            log(4, fmt::format("pruning the journal failed, tried again later: {}", e.what()));
        }
    }
}

// Commits the batches (after what is held in memory, when the journal could
// not write before); when the database refuses, the journal becomes
// unavailable and keeps them in memory. try_db false: only keeps them.
void Journal::attempt(std::vector<Batch> &batches, bool try_db) {
    if (!try_db) {
        hold(batches);
        return;
    }
    const bool recovering = !available_;
    std::vector<Batch> all;
    std::size_t held_count = 0;
    try {
        if (recovering) {
            // What it could not write, in order, between a record of the
            // outage and one of the recovery.
            Batch front, back;
            front.records = recovery_records();
            back.records.push_back(journal_record(
                "recovered",
                fmt::format(R"({{"unavailable_ms":{},"kept":{},"dropped":{},"reason":{}}})",
                            wall_ms() - unavailable_since_ms_, held_records_, dropped_.total, json_string(reason_))));
            for (auto &[reader, cursor] : held_progress_) back.progress.emplace_back(reader, cursor);
            all.push_back(std::move(front));
            held_count = held_.size();
            for (auto &h : held_) all.push_back(std::move(h));
            held_.clear();
            all.push_back(std::move(back));
        }
        for (auto &b : batches) all.push_back(std::move(b));
        batches.clear();
        commit(all);
    } catch (const JournalError &e) {
        // Put back what was held, and keep the new batches as well.
        if (recovering && !all.empty()) {
            for (std::size_t i = 1; i <= held_count && i < all.size(); ++i) held_.push_back(std::move(all[i]));
            all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), held_count + 2)));
        }
        for (auto &b : all) batches.push_back(std::move(b));
        if (available_) {
            const auto reason = std::string(e.what());
            log(3, fmt::format("journal unavailable, opens and clears are refused until it can write again: {}", reason));
            std::lock_guard lk(mu_);
            reason_ = reason;
            unavailable_since_ms_ = wall_ms();
            ++stats_.unavailable;
            available_ = false;
        }
        next_retry_ = std::chrono::steady_clock::now() + opt_.retry_interval;
        hold(batches);
        return;
    }
    if (recovering) {
        log(5, fmt::format("journal recovered after {:.1f} s: {} records kept in memory written, {} dropped",
                           static_cast<double>(wall_ms() - unavailable_since_ms_) / 1000.0, held_records_,
                           dropped_.total));
        std::lock_guard lk(mu_);
        held_records_ = 0;
        held_progress_.clear();
        dropped_ = {};
        stats_.held = 0;
        reason_.clear();
        available_ = true;
    }
}

// Keeps batches the database would not take in memory, up to the bound,
// and tells whoever waits for them that they are not stored.
void Journal::hold(std::vector<Batch> &batches) {
    for (auto &b : batches) {
        if (b.done) b.done(false);
        b.done = nullptr;
        for (auto &[reader, cursor] : b.progress) held_progress_[reader] = cursor;
        b.progress.clear();
        if (b.records.empty()) continue;
        held_records_ += b.records.size();
        held_.push_back(std::move(b));
    }
    batches.clear();
    while (held_records_ > opt_.held_max) drop_oldest_held();
    std::lock_guard lk(mu_);
    stats_.held = held_records_;
}

void Journal::drop_oldest_held() {
    auto &front = held_.front();
    Record r = std::move(front.records.front());
    front.records.erase(front.records.begin());
    if (front.records.empty()) held_.pop_front();
    --held_records_;
    ++dropped_.total;
    {
        std::lock_guard lk(mu_);
        ++stats_.dropped;
    }
    // Events, and the events a gap stood for, become gap records on recovery.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> range;
    if (r.kind == "event" && r.event_seq) range = {{*r.event_seq, *r.event_seq}};
    if (r.kind == "gap" && r.event_seq && r.seq_to) range = {{*r.event_seq, *r.seq_to}};
    if (!range || r.session_id.empty()) {
        ++dropped_.kinds[r.kind];
        return;
    }
    auto &ranges = dropped_.events[{r.cabinet, r.session_id}];
    if (!ranges.empty() && range->first <= ranges.back().second + 1 && range->second + 1 >= ranges.back().first) {
        ranges.back().first = std::min(ranges.back().first, range->first);
        ranges.back().second = std::max(ranges.back().second, range->second);
    } else {
        ranges.push_back(*range);
    }
    // A bound here too: past it neighbouring ranges merge (and may then
    // claim missing an event that was stored).
    if (ranges.size() > 256) {
        ranges[ranges.size() - 2].second = ranges.back().second;
        ranges.pop_back();
    }
}

// The records that go before what was held: the outage itself, and a gap
// record for each run of events dropped past the memory bound (less any
// that are stored after all, as a repeated line would be).
std::vector<Record> Journal::recovery_records() {
    std::vector<Record> out;
    out.push_back(journal_record("unavailable", fmt::format(R"({{"reason":{}}})", json_string(reason_)),
                                 unavailable_since_ms_));
    std::set<std::tuple<std::string, std::string, std::uint64_t>> kept;
    for (auto &b : held_)
        for (auto &r : b.records)
            if (r.kind == "event" && r.event_seq) kept.emplace(r.cabinet, r.session_id, *r.event_seq);
    Stmt stored(wdb_, "SELECT event_seq FROM journal WHERE kind = 'event' AND cabinet = ? AND session_id = ? "
                      "AND event_seq BETWEEN ? AND ? ORDER BY event_seq");
    for (auto &[key, ranges] : dropped_.events) {
        for (auto [lo, hi] : ranges) {
            std::set<std::uint64_t> have;
            stored.bind(1, key.first).bind(2, key.second).bind(3, static_cast<std::int64_t>(lo)).bind(4, static_cast<std::int64_t>(hi));
            while (stored.step()) have.insert(static_cast<std::uint64_t>(stored.i64(0)));
            stored.reset();
            for (auto &[c, s, q] : kept)
                if (c == key.first && s == key.second && q >= lo && q <= hi) have.insert(q);
            auto from = lo;
            const auto emit = [&](std::uint64_t to) {
                if (from > to) return;
                Record g;
                g.at_ms = wall_ms();
                g.cabinet = key.first;
                g.kind = "gap";
                g.session_id = key.second;
                g.event_seq = from;
                g.seq_to = to;
                g.detail = fmt::format(
                    R"({{"reason":"events {}-{} were received while the journal could not write, past what it keeps in memory"}})",
                    from, to);
                out.push_back(std::move(g));
            };
            for (auto q : have) {
                if (q > from) emit(q - 1);
                from = q + 1;
            }
            emit(hi);
        }
    }
    return out;
}

void Journal::commit(std::vector<Batch> &batches) {
    // Only waiters (a flush): nothing to write.
    if (std::all_of(batches.begin(), batches.end(), [](auto &b) { return b.records.empty() && b.progress.empty(); })) {
        for (auto &b : batches)
            if (b.done) b.done(true);
        return;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Record> stored;
    std::uint64_t dups = 0;
    try {
        Stmt ins(wdb_, "INSERT OR IGNORE INTO journal (at_ms, cabinet, kind, session_id, event_seq, seq_to, "
                       "code, request_id, door_id, detail, key_scope, client_key, uptime_ms) "
                       "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
        Stmt sess(wdb_, "INSERT INTO sessions (cabinet, session_id, last_seq, first_ms, last_ms) VALUES (?,?,?,?,?) "
                        "ON CONFLICT DO UPDATE SET last_seq = max(last_seq, excluded.last_seq), last_ms = excluded.last_ms");
        Stmt prog(wdb_, "INSERT INTO progress (reader, cursor) VALUES (?,?) "
                        "ON CONFLICT DO UPDATE SET cursor = excluded.cursor");
        exec(wdb_, "BEGIN IMMEDIATE");
        for (auto &b : batches) {
            for (auto &[reader, cursor] : b.progress) {
                prog.bind(1, reader).bind(2, cursor);
                prog.step();
                prog.reset();
            }
            for (auto &r : b.records) {
                if (r.at_ms == 0) r.at_ms = wall_ms();
                ins.bind(1, r.at_ms).bind(2, r.cabinet).bind(3, r.kind).bind(4, r.session_id)
                    .bind(5, r.event_seq).bind(6, r.seq_to).bind(7, r.code).bind(8, r.request_id)
                    .bind(9, static_cast<std::int64_t>(r.door_id)).bind(10, r.detail).bind(11, r.key_scope)
                    .bind(12, r.client_key).bind(13, r.uptime_ms);
                ins.step();
                ins.reset();
                if (sqlite3_changes(wdb_) == 0) {
                    ++dups;
                    continue;
                }
                r.cursor = sqlite3_last_insert_rowid(wdb_);
                const bool numbered = r.kind == "event" || r.kind == "gap" || r.kind == "session";
                if (numbered && !r.session_id.empty()) {
                    const auto seq = r.kind == "gap" ? (r.seq_to ? *r.seq_to : *r.event_seq) : r.event_seq.value_or(0);
                    sess.bind(1, r.cabinet).bind(2, r.session_id).bind(3, static_cast<std::int64_t>(seq))
                        .bind(4, r.at_ms).bind(5, r.at_ms);
                    sess.step();
                    sess.reset();
                }
                stored.push_back(r);
            }
        }
        exec(wdb_, "COMMIT");
    } catch (const JournalError &) {
        // What the database said, not the statement it said it about.
        const std::string why = sqlite3_errmsg(wdb_);
        sqlite3_exec(wdb_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw JournalError(why, Kind::Transient);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::vector<Listener> listeners;
    std::int64_t last = 0;
    {
        std::lock_guard lk(mu_);
        for (auto &r : stored) {
            recent_.push_back(r);
            last_cursor_ = r.cursor;
        }
        while (recent_.size() > opt_.recent) recent_.pop_front();
        last = last_cursor_;
        stats_.records += stored.size();
        stats_.duplicates += dups;
        ++stats_.batches;
        stats_.write_seconds_sum += seconds;
        for (std::size_t i = 0; i < std::size(JournalStats::kBuckets); ++i)
            if (seconds <= JournalStats::kBuckets[i]) ++stats_.write_buckets[i];
        for (auto &[id, l] : listeners_) listeners.push_back(l);
    }
    for (auto &b : batches)
        if (b.done) b.done(true);
    if (!stored.empty())
        for (auto &l : listeners) l(last);
}

void Journal::prune_age() {
    const auto before = wall_ms() - opt_.retention.count();
    prune_oldest("SELECT cursor FROM journal WHERE at_ms < ?1 LIMIT ?2", before, "age", [] { return 5000; });
    Stmt ds(wdb_, "DELETE FROM sessions WHERE last_ms < ?");
    ds.bind(1, before);
    ds.step();
}

void Journal::prune_size() {
    if (!opt_.max_bytes) return;
    const auto used = [&] {
        return static_cast<std::uint64_t>(pragma_int(wdb_, "PRAGMA page_count") - pragma_int(wdb_, "PRAGMA freelist_count")) *
               static_cast<std::uint64_t>(pragma_int(wdb_, "PRAGMA page_size"));
    };
    if (used() <= opt_.max_bytes) return;
    // Down to nine tenths of the cap, so that it is not done again for
    // every few records that follow; each slice as many of the oldest
    // records as the excess holds at the journal's average record size.
    const auto target = opt_.max_bytes / 10 * 9;
    prune_oldest("SELECT cursor FROM journal ORDER BY cursor LIMIT ?2", 0, "size", [&]() -> std::int64_t {
        const auto now = used();
        if (now <= target) return 0;
        Stmt span(wdb_, "SELECT coalesce(max(cursor) - min(cursor) + 1, 0) FROM journal");
        span.step();
        const auto rows = static_cast<std::uint64_t>(span.i64(0));
        return static_cast<std::int64_t>(std::clamp<std::uint64_t>(rows * (now - target) / now, 1, 1000));
    });
}

// Deletes the records `select` names (?1 arg, ?2 how many), slice by slice
// (a writer is never held up for long) while slice() says how many more,
// and leaves a record saying what went.
void Journal::prune_oldest(const char *select, std::int64_t arg, const char *why,
                           const std::function<std::int64_t()> &slice_size) {
    std::int64_t n = 0, up_to = 0, up_to_ms = 0;
    const auto sql = fmt::format("DELETE FROM journal WHERE cursor IN ({}) RETURNING cursor, at_ms", select);
    for (;;) {
        progress_.mark();
        const auto want = slice_size();
        if (want <= 0) break;
        std::int64_t slice = 0;
        exec(wdb_, "BEGIN IMMEDIATE");
        try {
            Stmt del(wdb_, sql.c_str());
            del.bind(1, arg).bind(2, want);
            while (del.step()) {
                ++slice;
                if (del.i64(0) > up_to) {
                    up_to = del.i64(0);
                    up_to_ms = del.i64(1);
                }
            }
            exec(wdb_, "COMMIT");
        } catch (...) {
            sqlite3_exec(wdb_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        n += slice;
        if (slice < want) break;
    }
    if (n == 0) return;
    {
        std::lock_guard lk(mu_);
        stats_.pruned += static_cast<std::uint64_t>(n);
    }
    log(6, fmt::format("journal: pruned {} records up to cursor {} ({})", n, up_to, why));
    std::vector<Batch> b(1);
    b[0].records.push_back(journal_record(
        "pruned", fmt::format(R"({{"records":{},"up_to_cursor":{},"up_to_ms":{},"why":"{}","max_bytes":{},"retention_days":{}}})",
                              n, up_to, up_to_ms, why, opt_.max_bytes,
                              std::chrono::duration_cast<std::chrono::hours>(opt_.retention).count() / 24)));
    commit(b);
}

namespace {

// A query's filters, then its order and limit: the end of a SELECT whose own
// conditions come first. bind_filter binds its values from parameter i on,
// in the same order. The requester is read as requester() reads it.
std::string filter_sql(const Query &q) {
    std::string sql;
    if (!q.cabinet.empty()) sql += " AND cabinet = ?";
    if (!q.kinds.empty()) {
        sql += " AND kind IN (";
        for (std::size_t i = 0; i < q.kinds.size(); ++i) sql += i ? ",?" : "?";
        sql += ")";
    }
    if (q.door) sql += " AND door_id = ?";
    if (!q.requested_by.empty())
        sql += " AND CASE WHEN json_valid(detail) THEN coalesce(json_extract(detail, "
               "'$.requested_by'), json_extract(detail, '$.by')) END = ?";
    if (q.since_ms) sql += " AND at_ms >= ?";
    if (q.until_ms) sql += " AND at_ms < ?";
    return sql + " ORDER BY cursor LIMIT ?";
}

void bind_filter(Stmt &s, int i, const Query &q) {
    if (!q.cabinet.empty()) s.bind(i++, q.cabinet);
    for (auto &k : q.kinds) s.bind(i++, k);
    if (q.door) s.bind(i++, static_cast<std::int64_t>(q.door));
    if (!q.requested_by.empty()) s.bind(i++, q.requested_by);
    if (q.since_ms) s.bind(i++, *q.since_ms);
    if (q.until_ms) s.bind(i++, *q.until_ms);
    s.bind(i++, static_cast<std::int64_t>(q.limit));
}

} // namespace

std::vector<Record> Journal::read(const Query &q) const {
    const auto sql = fmt::format("SELECT {} FROM journal WHERE cursor > ?", kColumns) + filter_sql(q);
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, sql.c_str());
    s.bind(1, q.after);
    bind_filter(s, 2, q);
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::vector<Record> Journal::by_request(const std::string &cabinet, const std::string &request_id) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND request_id = ? ORDER BY cursor", kColumns).c_str());
    s.bind(1, cabinet).bind(2, request_id);
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::vector<Record> Journal::by_key(const std::string &cabinet, const std::string &scope, const std::string &key) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND key_scope = ? AND client_key = ? "
                             "AND client_key <> '' AND kind = 'open' ORDER BY cursor", kColumns).c_str());
    s.bind(1, cabinet).bind(2, scope).bind(3, key);
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::optional<Record> Journal::event(const std::string &cabinet, const std::string &session, std::uint64_t seq) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND session_id = ? AND event_seq = ? "
                             "AND kind = 'event'", kColumns).c_str());
    s.bind(1, cabinet).bind(2, session).bind(3, static_cast<std::int64_t>(seq));
    if (!s.step()) return std::nullopt;
    return row(s);
}

std::optional<Record> Journal::last_event(const std::string &cabinet, const std::string &session) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND session_id = ? AND kind = 'event' "
                             "ORDER BY event_seq DESC LIMIT 1", kColumns).c_str());
    s.bind(1, cabinet).bind(2, session);
    if (!s.step()) return std::nullopt;
    return row(s);
}

std::optional<std::uint64_t> Journal::last_seq(const std::string &cabinet, const std::string &session) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, "SELECT last_seq FROM sessions WHERE cabinet = ? AND session_id = ?");
    s.bind(1, cabinet).bind(2, session);
    if (!s.step()) return std::nullopt;
    return static_cast<std::uint64_t>(s.i64(0));
}

std::optional<std::string> Journal::last_session(const std::string &cabinet) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, "SELECT session_id FROM sessions WHERE cabinet = ? ORDER BY last_ms DESC, rowid DESC LIMIT 1");
    s.bind(1, cabinet);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

std::int64_t Journal::last_cursor() const {
    std::lock_guard lk(mu_);
    return last_cursor_;
}

std::vector<Record> Journal::since(std::int64_t after, std::size_t limit) const {
    {
        std::lock_guard lk(mu_);
        if (after >= last_cursor_) return {};
        if (!recent_.empty() && recent_.front().cursor <= after + 1) {
            auto it = std::upper_bound(recent_.begin(), recent_.end(), after,
                                       [](std::int64_t c, const Record &r) { return c < r.cursor; });
            std::vector<Record> out;
            for (; it != recent_.end() && out.size() < limit; ++it) out.push_back(*it);
            return out;
        }
    }
    Query q;
    q.after = after;
    q.limit = limit;
    return read(q);
}

Journal::Page Journal::page(const Query &q, std::int64_t window) const {
    Page out;
    const auto wanted = [&](const Record &r) { return matches(q, r); };
    std::int64_t upto = 0;
    {
        std::lock_guard lk(mu_);
        upto = window >= last_cursor_ - q.after ? last_cursor_ : q.after + window;
        out.scanned_to = std::max(q.after, upto);
        if (q.after >= upto || q.limit == 0) return out;
        if (!recent_.empty() && recent_.front().cursor <= q.after + 1) {
            auto it = std::upper_bound(recent_.begin(), recent_.end(), q.after,
                                       [](std::int64_t c, const Record &r) { return c < r.cursor; });
            for (; it != recent_.end() && it->cursor <= upto; ++it) {
                if (!wanted(*it)) continue;
                out.records.push_back(*it);
                if (out.records.size() == q.limit) {
                    out.scanned_to = it->cursor;
                    break;
                }
            }
            return out;
        }
    }
    const auto sql =
        fmt::format("SELECT {} FROM journal WHERE cursor > ? AND cursor <= ?", kColumns) + filter_sql(q);
    std::lock_guard lk(pmu_);
    Stmt s(pdb_, sql.c_str());
    s.bind(1, q.after);
    s.bind(2, upto);
    bind_filter(s, 3, q);
    while (s.step()) out.records.push_back(row(s));
    if (out.records.size() == q.limit) out.scanned_to = out.records.back().cursor;
    return out;
}

int Journal::subscribe(Listener l) {
    std::lock_guard lk(mu_);
    listeners_.emplace_back(next_listener_, std::move(l));
    return next_listener_++;
}

void Journal::unsubscribe(int id) {
    std::lock_guard lk(mu_);
    std::erase_if(listeners_, [&](auto &p) { return p.first == id; });
}

int Journal::observe(Observer o) {
    std::lock_guard lk(observers_mu_);
    observers_.emplace_back(next_observer_, std::move(o));
    return next_observer_++;
}

void Journal::unobserve(int id) {
    std::lock_guard lk(observers_mu_);
    std::erase_if(observers_, [&](auto &p) { return p.first == id; });
}

void Journal::set_progress(const std::string &reader, std::int64_t cursor) {
    Batch b;
    b.progress.emplace_back(reader, cursor);
    enqueue(std::move(b));
}

std::optional<std::int64_t> Journal::progress(const std::string &reader) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, "SELECT cursor FROM progress WHERE reader = ?");
    s.bind(1, reader);
    if (!s.step()) return std::nullopt;
    return s.i64(0);
}

JournalStats Journal::stats() const {
    std::lock_guard lk(mu_);
    return stats_;
}

} // namespace cabinetd
