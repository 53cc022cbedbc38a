// Small helpers shared by the key, digest, random and secure-buffer tests.
#pragma once
#include "nxr_buffer.h"
#include "testsupport.h"

#include <algorithm>
#include <string>
#include <vector>

namespace cryptotest {

using Bytes = nxr::CNXRBuffer<nxr::NXR_BYTE>;

inline Bytes bytesOf(const std::vector<uint8_t>& v)
{
    return v.empty() ? Bytes() : Bytes(v.data(), static_cast<uint32_t>(v.size()), 0);
}
using nxrtest::bytesOf;
inline std::vector<uint8_t> contents(const Bytes& b) { return {b.getBuffer(), b.getBuffer() + b.getNumElems()}; }

inline std::vector<uint8_t> fromHex(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const Bytes& b)
{
    std::string out;
    for (uint8_t c : contents(b))
        out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    return out;
}

using nxrtest::countLogLines;

} // namespace cryptotest
