// Appending one line to a UTF-16 log file.
#pragma once
#include <string>
#include <string_view>

namespace nxr::os {

// Appends one line to the log file at path, an absolute path:
// - creates the folder that holds it (one level only, mode 0750 less the
//   umask; an existing folder is left as it is);
// - opens the file without following a symbolic link at its last component
//   and without blocking, creating it with mode 0640 less the umask; anything
//   but a regular file with a single name (a link, FIFO, device, folder, a
//   hard link to another file) is refused, and an existing file's mode is
//   never changed;
// - writes the UTF-16LE byte-order mark FF FE before the line whenever the
//   file is empty (new, or emptied by touch or a log rotation);
// - writes the line's code units as UTF-16LE in one call; a line cut short
//   (disk full, file-size limit) is taken back, so the file always ends on a
//   whole line.
// Returns whether the line was written whole.
bool appendLogLine(const std::string& path, std::u16string_view line);

// Whether path is absolute and names something this process may read.
bool logPathReadable(const std::string& path);

} // namespace nxr::os
