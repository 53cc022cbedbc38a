#include "nxr_os_module.h"

#include "nxr_os_error.h"

#include <climits>
#include <unistd.h>

namespace nxr::os {

std::string moduleFileName()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(path)) {
        setLastErrorFromErrno();
        return {};
    }
    return std::string(path, static_cast<size_t>(n));
}

std::string moduleBaseName()
{
    std::string name = moduleFileName();
    const auto slash = name.find_last_of('/');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot != 0)
        name.erase(dot);
    return name;
}

} // namespace nxr::os
