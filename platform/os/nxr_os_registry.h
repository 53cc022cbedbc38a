// Settings that the native platform keeps in its registry live here in a text
// file in the registry-export format, so an administrator can use one file on
// both systems:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\Logs]
//   "Logging"=dword:00000001
//   "TextOutput"="/var/log/docseal/docseal.log"
//
// The file is $DOCSEAL_REGISTRY, else /etc/docseal/registry.reg. It may be
// UTF-8 (with or without a byte-order mark) or UTF-16LE with its mark. Only a
// regular file of at most 1 MiB is read; anything else (a FIFO, a device, a
// folder, a larger file) counts as absent and is never opened. The parsed
// file is kept, and a query checks whether the file changed (device, inode,
// size, modification and change times) when the last check is more than a
// millisecond old, so an edit counts within a millisecond; the file is read
// again only when it did. The logging layer queries for every record,
// thousands of times in a short run; one stat(2) a millisecond keeps that
// cheap. The program never writes the file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace nxr::os {

// The settings file's path as it is used now.
std::string registryPath();

// Drops the result of the last check, so the next query looks at the file
// again at once. For a process that has just written the file itself.
void regSettingsChanged();

// A number that changes whenever what the queries answer may have changed
// (the file was edited, replaced, removed, or another path is in use). It
// checks the file as a query does, and costs a clock read between checks.
uint64_t regSettingsGeneration();

// Each query reads one value of the key HKEY_LOCAL_MACHINE\<subKey>. Key and
// value names compare without regard to ASCII case, as the native registry
// does. A missing file, key or value, a value of another type or a malformed
// value all return false and leave the output unchanged.
bool regQueryDword(std::u16string_view subKey, std::u16string_view valueName, uint32_t& ulValue);
bool regQueryString(std::u16string_view subKey, std::u16string_view valueName, std::u16string& value);

} // namespace nxr::os
