#include "fault_vfs.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <fstream>

namespace cabinetd::test_support {

struct FaultVfs::Impl {
    sqlite3_vfs vfs{};
    sqlite3_vfs *real = nullptr;
    FaultVfs *owner = nullptr;
};

namespace {

struct FaultFile {
    sqlite3_file base;
    FaultVfs *owner;
    const char *name; // SQLite keeps it while the file is open
    sqlite3_file *real() { return reinterpret_cast<sqlite3_file *>(this + 1); }
};
static_assert(sizeof(FaultFile) % 8 == 0); // the real file follows it

int fault(sqlite3_file *f, int io_error, const char *call);

FaultFile *ff(sqlite3_file *f) { return reinterpret_cast<FaultFile *>(f); }
sqlite3_file *real(sqlite3_file *f) { return ff(f)->real(); }

const sqlite3_io_methods kFaultMethods = {
    3,
    [](sqlite3_file *f) {
        return real(f)->pMethods ? real(f)->pMethods->xClose(real(f)) : SQLITE_OK;
    },
    [](sqlite3_file *f, void *b, int n, sqlite3_int64 o) {
        return real(f)->pMethods->xRead(real(f), b, n, o);
    },
    [](sqlite3_file *f, const void *b, int n, sqlite3_int64 o) {
        if (int e = fault(f, SQLITE_IOERR_WRITE, "xWrite")) return e;
        return real(f)->pMethods->xWrite(real(f), b, n, o);
    },
    [](sqlite3_file *f, sqlite3_int64 n) {
        if (int e = fault(f, SQLITE_IOERR_TRUNCATE, "xTruncate")) return e;
        return real(f)->pMethods->xTruncate(real(f), n);
    },
    [](sqlite3_file *f, int fl) {
        if (int e = fault(f, SQLITE_IOERR_FSYNC, "xSync")) return e;
        return real(f)->pMethods->xSync(real(f), fl);
    },
    [](sqlite3_file *f, sqlite3_int64 *n) { return real(f)->pMethods->xFileSize(real(f), n); },
    [](sqlite3_file *f, int l) { return real(f)->pMethods->xLock(real(f), l); },
    [](sqlite3_file *f, int l) { return real(f)->pMethods->xUnlock(real(f), l); },
    [](sqlite3_file *f, int *o) { return real(f)->pMethods->xCheckReservedLock(real(f), o); },
    [](sqlite3_file *f, int op, void *a) {
        return real(f)->pMethods->xFileControl(real(f), op, a);
    },
    [](sqlite3_file *f) { return real(f)->pMethods->xSectorSize(real(f)); },
    [](sqlite3_file *f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); },
    [](sqlite3_file *f, int pg, int sz, int ext, void volatile **p) {
        return real(f)->pMethods->xShmMap(real(f), pg, sz, ext, p);
    },
    [](sqlite3_file *f, int o, int n, int fl) {
        return real(f)->pMethods->xShmLock(real(f), o, n, fl);
    },
    [](sqlite3_file *f) { real(f)->pMethods->xShmBarrier(real(f)); },
    [](sqlite3_file *f, int d) { return real(f)->pMethods->xShmUnmap(real(f), d); },
    [](sqlite3_file *f, sqlite3_int64 o, int n, void **p) {
        return real(f)->pMethods->xFetch(real(f), o, n, p);
    },
    [](sqlite3_file *f, sqlite3_int64 o, void *p) {
        return real(f)->pMethods->xUnfetch(real(f), o, p);
    },
};

int fault(sqlite3_file *f, int io_error, const char *call) {
    return ff(f)->owner->fault(io_error, call, ff(f)->name ? ff(f)->name : "(temporary)");
}

FaultVfs::Impl &impl_of(sqlite3_vfs *v) { return *static_cast<FaultVfs::Impl *>(v->pAppData); }
sqlite3_vfs *real_vfs(sqlite3_vfs *v) { return impl_of(v).real; }

} // namespace

FaultVfs::FaultVfs() : impl_(std::make_unique<Impl>()) {
    static std::atomic<int> counter{0};
    name_ = fmt::format("cabinetd-test-fault-{}", ++counter);
    auto &v = impl_->vfs;
    impl_->real = sqlite3_vfs_find(nullptr);
    impl_->owner = this;
    v = *impl_->real;
    v.szOsFile = static_cast<int>(sizeof(FaultFile)) + impl_->real->szOsFile;
    v.zName = name_.c_str();
    v.pNext = nullptr;
    v.pAppData = impl_.get();
    v.xOpen = [](sqlite3_vfs *vfs, const char *name, sqlite3_file *f, int flags, int *out) {
        auto *file = ff(f);
        file->owner = impl_of(vfs).owner;
        file->name = name;
        const int rc = real_vfs(vfs)->xOpen(real_vfs(vfs), name, file->real(), flags, out);
        file->base.pMethods = rc == SQLITE_OK ? &kFaultMethods : nullptr;
        return rc;
    };
    v.xDelete = [](sqlite3_vfs *vfs, const char *n, int s) {
        return real_vfs(vfs)->xDelete(real_vfs(vfs), n, s);
    };
    v.xAccess = [](sqlite3_vfs *vfs, const char *n, int fl, int *o) {
        return real_vfs(vfs)->xAccess(real_vfs(vfs), n, fl, o);
    };
    v.xFullPathname = [](sqlite3_vfs *vfs, const char *n, int sz, char *o) {
        return real_vfs(vfs)->xFullPathname(real_vfs(vfs), n, sz, o);
    };
    v.xRandomness = [](sqlite3_vfs *vfs, int n, char *o) {
        return real_vfs(vfs)->xRandomness(real_vfs(vfs), n, o);
    };
    v.xSleep = [](sqlite3_vfs *vfs, int us) { return real_vfs(vfs)->xSleep(real_vfs(vfs), us); };
    v.xCurrentTime = [](sqlite3_vfs *vfs, double *t) {
        return real_vfs(vfs)->xCurrentTime(real_vfs(vfs), t);
    };
    v.xGetLastError = [](sqlite3_vfs *vfs, int n, char *o) {
        return real_vfs(vfs)->xGetLastError(real_vfs(vfs), n, o);
    };
    v.xCurrentTimeInt64 = [](sqlite3_vfs *vfs, sqlite3_int64 *t) {
        return real_vfs(vfs)->xCurrentTimeInt64(real_vfs(vfs), t);
    };
    sqlite3_vfs_register(&v, 0);
}

FaultVfs::~FaultVfs() { sqlite3_vfs_unregister(&impl_->vfs); }

void FaultVfs::make_default() { sqlite3_vfs_register(&impl_->vfs, 1); }

void FaultVfs::fail_while(const std::string &trigger) {
    std::lock_guard lk(mu_);
    trigger_ = trigger;
}

void FaultVfs::fail_nth(std::uint64_t n, bool persistent) {
    persistent_ = persistent;
    nth_ = writes_.load() + n;
}

void FaultVfs::clear() {
    nth_ = 0;
    std::lock_guard lk(mu_);
    trigger_.clear();
}

std::string FaultVfs::last_failure() const {
    std::lock_guard lk(mu_);
    return last_failure_;
}

int FaultVfs::fault(int io_error, const char *call, const char *file) {
    const auto count = ++writes_;
    if (std::string_view(file).ends_with(".db")) ++database_writes_;
    int e = 0;
    const auto nth = nth_.load();
    if (nth && (count == nth || (persistent_ && count > nth))) e = io_error;
    std::string trigger;
    {
        std::lock_guard lk(mu_);
        trigger = trigger_;
    }
    if (!e && !trigger.empty()) {
        std::ifstream in(trigger);
        std::string what;
        if (in && (in >> what, true)) e = what == "full" ? SQLITE_FULL : io_error;
    }
    if (e) ++failed_;
    if (e && (count == nth || !nth)) {
        std::lock_guard lk(mu_);
        last_failure_ = fmt::format("{} of {}", call, file);
    }
    return e;
}

} // namespace cabinetd::test_support
