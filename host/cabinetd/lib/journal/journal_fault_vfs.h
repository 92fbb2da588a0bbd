// Test-only: a VFS whose writes fail while a file exists, so that a test
// can make the disk fail where it cannot mount a small file system.
//
// Everything is passed to the default VFS, except that while the fault file
// exists, writes fail as the disk would: SQLITE_FULL ("full") or an I/O
// error. Used only when JournalOptions::fault_file is set, which only tests do.
#pragma once

#include <memory>
#include <string>

namespace cabinetd {

struct FaultVfs;

// Registers a new fault VFS for the trigger file; unregistered when the last
// pointer goes.
std::shared_ptr<FaultVfs> make_fault_vfs(const std::string &trigger);
// The name to open a database with it.
const char *vfs_name(const FaultVfs &v);

} // namespace cabinetd
