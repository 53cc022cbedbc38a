// Narrow text is UTF-8 whatever the process locale; wide text is UTF-16.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace nxr::os {

// UTF-8 to UTF-16. Characters beyond U+FFFF become surrogate pairs. Returns
// false (and leaves out unspecified) on an invalid or truncated sequence,
// an overlong form or an encoded surrogate. Zero bytes are ordinary characters.
bool utf8ToUtf16(std::string_view in, std::u16string& out);

// UTF-16 to UTF-8. Returns false on an unpaired surrogate.
bool utf16ToUtf8(std::u16string_view in, std::string& out);

// Conversions for messages and paths where a failure is not worth reporting:
// invalid units become U+FFFD.
std::u16string toUtf16Lossy(std::string_view in);
std::string toUtf8Lossy(std::u16string_view in);

} // namespace nxr::os
