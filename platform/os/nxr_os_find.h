// Whether anything on disk matches a name, and what a path is.
#pragma once
#include <string>

namespace nxr::os {

// True when something matches: anything that exists at the path (a file, a
// folder, a dangling link) matches, wildcards or not; otherwise, when the
// name holds '*' or '?', the last component is matched (fnmatch) against the
// entries of its folder, "." and ".." included and with no special rule for
// names starting with a dot, as the native search does (so "dir/*" matches
// even an empty folder). Nothing matching sets the last-error value and
// returns false.
bool findFirstMatch(const std::string& pattern);

// Attributes of an existing path, following links.
struct CFileAttributes {
    bool bDirectory = false;
    bool bRegular = false;
};
bool getFileAttributes(const std::string& path, CFileAttributes& attributes);

} // namespace nxr::os
