// The element types the system's buffers hold.
#pragma once
#include <cstdint>

namespace nxr {

using NXR_BYTE = uint8_t;    // unsigned 8-bit
using NXR_CHAR = char;       // 8-bit character (narrow text is UTF-8)
using NXR_USHORT = char16_t; // unsigned 16-bit; also a UTF-16 code unit

} // namespace nxr
