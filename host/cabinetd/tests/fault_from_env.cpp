// Linked into cabinetd-faults, the test-only build of cabinetd (never
// installed): with CABINETD_TEST_JOURNAL_FAULT naming a file, the journal's
// writes fail while that file exists, as fault_vfs.h describes. The daemon
// tests use it where they cannot make a disk fail for real (an I/O error).
#include "journal/fault_vfs.h"

#include <cstdlib>

namespace {

struct FromEnv {
    FromEnv() {
        const char *trigger = std::getenv("CABINETD_TEST_JOURNAL_FAULT");
        if (!trigger) return;
        static cabinetd::test_support::FaultVfs vfs;
        vfs.fail_while(trigger);
        vfs.make_default();
    }
} from_env;

} // namespace
