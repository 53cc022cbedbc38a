// Version resources of Windows program files (PE images: EXE and DLL, 32-
// and 64-bit), read from the file itself.
//
// A version resource is the RT_VERSION (16) resource with id 1 in the
// image's resource directory: a VS_VERSIONINFO block, a tree of nodes
// (length, value length, type, UTF-16 key, value, children) whose string
// items sit under "\StringFileInfo\<language><code page>\<item>" and whose
// translation table is "\VarFileInfo\Translation".
//
// Every offset and size read from a file or a block is checked against the
// bytes actually there before it is used, so a truncated or damaged file
// fails with kErrorBadImage and never makes a read go past the data. On a
// failure the last-error value tells why: an errno from opening or reading
// the file, kErrorBadImage, kErrorNoVersion, or EINVAL for bad arguments.
#pragma once
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

namespace nxr::os {

// Not a PE image, or one whose structures do not fit in the file (also a
// version block that cannot be walked).
inline constexpr uint32_t kErrorBadImage = ENOEXEC;
// A well-formed image without a version resource, or a query path that the
// block does not hold.
inline constexpr uint32_t kErrorNoVersion = ENODATA;

// Size in bytes of the file's version-information block; 0 on failure.
uint32_t getFileVersionInfoSize(const std::string& path);

// Copies the file's version-information block (at most ulLen bytes) to
// pData. ulHandle is ignored.
bool getFileVersionInfo(const std::string& path, uint32_t ulHandle, uint32_t ulLen, void* pData);

// Looks up a node of a version-information block by path: "\" is the root
// (its value is the fixed file information), other paths name child keys
// separated by backslashes, compared without regard to ASCII case. On
// success *ppValue points into the block at the node's value and *pulLen is
// its length: for a text value the number of UTF-16 units up to and
// including the terminating zero (the zero is left out when the text runs to
// the end of its node), for a binary value the number of bytes; *pbText, when
// given, tells which. A node without a value gives length 0. Everything
// *ppValue and *pulLen cover lies within the ulBlockSize bytes at pBlock.
bool verQueryValue(const void* pBlock, uint32_t ulBlockSize, std::u16string_view subBlock, const void** ppValue,
                   uint32_t* pulLen, bool* pbText = nullptr);

} // namespace nxr::os
