// The first failure a run recorded. Every exception of the family passes
// through here when it is built, so a program can tell its user afterwards
// why a command failed, without a second path of error handling.
#pragma once
#include <cstdint>
#include <string_view>

namespace nxr {

struct CNXRFirstFailure {
    std::u16string_view message;  // the record's message (at most 511 units kept)
    uint32_t ulResultValue = 0;   // the error code, status or value it carried
    const char* pszSourceFile = nullptr; // where it was raised (__FILE__)
};

// Keeps the failure unless one was kept already. Safe from any thread; never
// throws and never allocates.
void nxrRememberFailure(std::u16string_view message, uint32_t ulResultValue, const char* pszSourceFile) noexcept;

// The failure kept since the start or the last forget; false when none. The
// message stays valid until nxrForgetFailure.
bool nxrFirstFailure(CNXRFirstFailure& failure) noexcept;

// Starts over: the next failure is kept again.
void nxrForgetFailure() noexcept;

} // namespace nxr
