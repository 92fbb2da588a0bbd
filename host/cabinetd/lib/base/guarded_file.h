// A file whose text decides who may do what: the token file, and the config
// file (it names the token file, and may hold the broker's password). Any
// user of the machine who can change such a file can make themselves an
// operator, so cabinetd refuses one that is open to that, and says so.
//
// What is checked, and what is not:
// - the file itself, by the descriptor that is then read (so it cannot be
//   swapped between the check and the read): a regular file (a FIFO would
//   block the reader, a reload among them), not writable by every user;
// - each directory above it, both as named (a symlink lives there) and as
//   resolved (where the file lives): not writable by every user unless
//   sticky, since there anyone could put another file in its place. /tmp is
//   sticky and passes;
// - not the owner or group: a file of the cabinetd group, writable by its
//   members, is the site's choice (the package makes the settings and the
//   tokens root:cabinetd 0640).
// A file readable by every user is read, and reported as such, so that the
// caller can warn (any user of the machine could take a token or the
// broker's password from it).
#pragma once

#include <string>
#include <string_view>

namespace cabinetd {

struct GuardedFile {
    std::string text;
    bool world_readable = false;
    unsigned mode = 0; // the permission bits, for a message
};

// Throws ConfigError naming the file (`what` says which, "token file") and
// what is wrong with it.
GuardedFile read_guarded_file(const std::string &path, std::string_view what);

// The warning for a file every user may read: the secret they could take
// from it ("an operator's token"), and how to close it.
std::string readable_by_all(const std::string &path, std::string_view what, unsigned mode,
                            std::string_view secret);

} // namespace cabinetd
