#include "nxr_os_find.h"

#include "nxr_os_error.h"

#include <cerrno>
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

namespace nxr::os {

bool findFirstMatch(const std::string& pattern)
{
    if (pattern.empty()) {
        setLastError(ENOENT);
        return false;
    }
    const auto slash = pattern.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : pattern.substr(0, slash));
    const std::string last = slash == std::string::npos ? pattern : pattern.substr(slash + 1);

    // Anything of exactly this name matches, also when the name holds
    // characters the pattern language reads otherwise ("a[1]?.xml").
    struct stat st {};
    if (::lstat(pattern.c_str(), &st) == 0)
        return true;
    if (last.find_first_of("*?") == std::string::npos) {
        setLastErrorFromErrno();
        return false;
    }

    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        setLastErrorFromErrno();
        return false;
    }
    bool bFound = false;
    while (const dirent* entry = ::readdir(dir)) {
        if (::fnmatch(last.c_str(), entry->d_name, 0) == 0) {
            bFound = true;
            break;
        }
    }
    ::closedir(dir);
    if (!bFound)
        setLastError(ENOENT);
    return bFound;
}

bool getFileAttributes(const std::string& path, CFileAttributes& attributes)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        setLastErrorFromErrno();
        return false;
    }
    attributes.bDirectory = S_ISDIR(st.st_mode);
    attributes.bRegular = S_ISREG(st.st_mode);
    return true;
}

} // namespace nxr::os
