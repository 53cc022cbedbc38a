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

// File names are bytes, not always UTF-8. These two carry any name into
// UTF-16 and back unchanged: valid UTF-8 converts as above, and each byte
// that is not part of valid UTF-8 (always 0x80 or above) becomes the unpaired
// low surrogate U+DC00 + byte, which no valid UTF-8 produces, and turns back
// into that byte. Any other unpaired surrogate becomes U+FFFD on the way out.
// Only names may take this road: text that must be UTF-8 (a passphrase) goes
// through utf8ToUtf16, which refuses stray bytes.
std::u16string fileNameToUtf16(std::string_view in);
std::string utf16ToFileName(std::u16string_view in);

} // namespace nxr::os
