// CNXRFlags: a set of bit flags in one 32-bit word. Adding and removing
// report whether they changed anything.
#pragma once
#include <cstdint>

namespace nxr {

class CNXRFlags {
public:
    CNXRFlags(uint32_t ulFlags = 0);
    CNXRFlags(const CNXRFlags& src);
    CNXRFlags& operator=(const CNXRFlags& src);

    bool operator==(const CNXRFlags& other) const;
    bool operator!=(const CNXRFlags& other) const;

    // True when every bit of ulFlags is set (so hasFlags(0) is true).
    bool hasFlags(uint32_t ulFlags) const;
    // Sets the bits; false (and no change) when ulFlags is 0 or all of its
    // bits are set already.
    bool operator<<(uint32_t ulFlags);
    // Clears the bits only when all of them are set; false (and no change)
    // when ulFlags is 0 or some of its bits are clear.
    bool operator>>(uint32_t ulFlags);

    uint32_t getFlags() const;

private:
    uint32_t m_ulFlags;
};

} // namespace nxr
