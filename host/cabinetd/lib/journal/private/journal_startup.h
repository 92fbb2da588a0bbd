// Start-up checks of a journal before it is opened: the directory and the
// file can be used, one cabinetd holds it, and a damaged database is moved
// out of the way.
#pragma once

#include <optional>
#include <string>

namespace cabinetd {

// Refuses (Unusable, with the reason) a path that is not a regular file, or
// is absent when absent_ok is false, without opening it: a FIFO or a device
// given as the journal must not block whoever opens it, nor be written to.
// The journal's log and shared-memory files beside it are held to the same.
void regular_file(const std::string &path, bool absent_ok);
// Refuses, with the reason, a journal this process can never use as it is
// (Unusable) or not just now (Transient), before anything is created.
void check_access(const std::string &path);
// One cabinetd per journal: an exclusive lock on a file beside it, held for
// the process's lifetime (the kernel drops it when the process dies, however
// it dies). The file names the holder's pid. -1: nothing can be written
// beside the journal at all.
int take_lock(const std::string &path);
// Whether the file carries this service's mark in its header (and so is
// ours to move aside when it is damaged, not a file given by mistake).
bool ours(const std::string &path);
// Why the database fails its integrity check, or nothing. Throws for an
// error of the moment (I/O, busy), which says nothing about the file.
std::optional<std::string> damage(const std::string &path, const char *vfs);
// Renames a damaged database (and its log) out of the way; the new name.
std::string move_aside(const std::string &path);

} // namespace cabinetd
