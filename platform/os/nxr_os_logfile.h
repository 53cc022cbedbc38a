// Appending one line to a UTF-16 log file.
#pragma once
#include <string>
#include <string_view>

namespace nxr::os {

// Creates the folder that holds path (one level only; an existing folder is
// fine), opens the file if it exists or creates it starting with the UTF-16LE
// byte-order mark FF FE, appends the line's code units as UTF-16LE and closes
// the file. Returns whether the line was written whole.
bool appendLogLine(const std::string& path, std::u16string_view line);

} // namespace nxr::os
