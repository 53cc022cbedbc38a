// The thread's last platform error code, as each platform call leaves it.
// Every stand-in in this folder sets it from errno when it fails, so callers
// can read it after a failed call the way they would on the native platform.
#pragma once
#include <cstdint>

namespace nxr::os {

uint32_t getLastError() noexcept;
void setLastError(uint32_t ulError) noexcept;
// Copies the current errno into the last-error value and returns it.
uint32_t setLastErrorFromErrno() noexcept;

// Saves the last-error value and errno on construction and puts both back on
// destruction, so that work in between (such as writing a log line) leaves
// them as they were.
class CLastErrorKeeper {
public:
    CLastErrorKeeper() noexcept;
    ~CLastErrorKeeper();
    CLastErrorKeeper(const CLastErrorKeeper&) = delete;
    CLastErrorKeeper& operator=(const CLastErrorKeeper&) = delete;

private:
    uint32_t m_ulLastError;
    int m_iErrno;
};

} // namespace nxr::os
