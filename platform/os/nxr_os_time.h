// Wall-clock time.
#pragma once
#include <cstdint>
#include <string>

namespace nxr::os {

// Seconds since the epoch (time(2)).
int64_t timeNow();

// The local time in the layout of ctime without its newline:
// "Sun Dec  6 07:48:45 2026".
std::string localTimeText();

} // namespace nxr::os
