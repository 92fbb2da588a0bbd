#include "journal_fault_vfs.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <atomic>
#include <fstream>

namespace cabinetd {

struct FaultVfs {
    sqlite3_vfs vfs{};
    sqlite3_vfs *real = nullptr;
    std::string name, trigger;
};

namespace {

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
    [](sqlite3_file *f, void *b, int n, sqlite3_int64 o) {
        return ff(f)->real()->pMethods->xRead(ff(f)->real(), b, n, o);
    },
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
    [](sqlite3_file *f, sqlite3_int64 *n) {
        return ff(f)->real()->pMethods->xFileSize(ff(f)->real(), n);
    },
    [](sqlite3_file *f, int l) { return ff(f)->real()->pMethods->xLock(ff(f)->real(), l); },
    [](sqlite3_file *f, int l) { return ff(f)->real()->pMethods->xUnlock(ff(f)->real(), l); },
    [](sqlite3_file *f, int *o) {
        return ff(f)->real()->pMethods->xCheckReservedLock(ff(f)->real(), o);
    },
    [](sqlite3_file *f, int op, void *a) {
        return ff(f)->real()->pMethods->xFileControl(ff(f)->real(), op, a);
    },
    [](sqlite3_file *f) { return ff(f)->real()->pMethods->xSectorSize(ff(f)->real()); },
    [](sqlite3_file *f) { return ff(f)->real()->pMethods->xDeviceCharacteristics(ff(f)->real()); },
    [](sqlite3_file *f, int pg, int sz, int ext, void volatile **p) {
        return ff(f)->real()->pMethods->xShmMap(ff(f)->real(), pg, sz, ext, p);
    },
    [](sqlite3_file *f, int o, int n, int fl) {
        return ff(f)->real()->pMethods->xShmLock(ff(f)->real(), o, n, fl);
    },
    [](sqlite3_file *f) { ff(f)->real()->pMethods->xShmBarrier(ff(f)->real()); },
    [](sqlite3_file *f, int d) { return ff(f)->real()->pMethods->xShmUnmap(ff(f)->real(), d); },
    [](sqlite3_file *f, sqlite3_int64 o, int n, void **p) {
        return ff(f)->real()->pMethods->xFetch(ff(f)->real(), o, n, p);
    },
    [](sqlite3_file *f, sqlite3_int64 o, void *p) {
        return ff(f)->real()->pMethods->xUnfetch(ff(f)->real(), o, p);
    },
};

FaultVfs *owner(sqlite3_vfs *v) { return static_cast<FaultVfs *>(v->pAppData); }

} // namespace

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
    v->vfs.xDelete = [](sqlite3_vfs *vfs, const char *n, int s) {
        return owner(vfs)->real->xDelete(owner(vfs)->real, n, s);
    };
    v->vfs.xAccess = [](sqlite3_vfs *vfs, const char *n, int fl, int *o) {
        return owner(vfs)->real->xAccess(owner(vfs)->real, n, fl, o);
    };
    v->vfs.xFullPathname = [](sqlite3_vfs *vfs, const char *n, int sz, char *o) {
        return owner(vfs)->real->xFullPathname(owner(vfs)->real, n, sz, o);
    };
    v->vfs.xRandomness = [](sqlite3_vfs *vfs, int n, char *o) {
        return owner(vfs)->real->xRandomness(owner(vfs)->real, n, o);
    };
    v->vfs.xSleep = [](sqlite3_vfs *vfs, int us) {
        return owner(vfs)->real->xSleep(owner(vfs)->real, us);
    };
    v->vfs.xCurrentTime = [](sqlite3_vfs *vfs, double *t) {
        return owner(vfs)->real->xCurrentTime(owner(vfs)->real, t);
    };
    v->vfs.xGetLastError = [](sqlite3_vfs *vfs, int n, char *o) {
        return owner(vfs)->real->xGetLastError(owner(vfs)->real, n, o);
    };
    v->vfs.xCurrentTimeInt64 = [](sqlite3_vfs *vfs, sqlite3_int64 *t) {
        return owner(vfs)->real->xCurrentTimeInt64(owner(vfs)->real, t);
    };
    sqlite3_vfs_register(&v->vfs, 0);
    return v;
}
const char *vfs_name(const FaultVfs &v) { return v.name.c_str(); }

} // namespace cabinetd
