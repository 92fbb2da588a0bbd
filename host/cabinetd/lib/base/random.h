// Ids and tokens from the OS's random source: whatever names or grants
// anything (a stream token, an alarm, a request to a controller) is never
// guessable from the ones before it.
#pragma once

#include <cstddef>
#include <string>

namespace cabinetd {

// n bytes from the OS's random source (getrandom), as 2n lowercase hex
// digits; throws std::system_error if the OS cannot give them.
std::string random_hex(std::size_t n);

} // namespace cabinetd
