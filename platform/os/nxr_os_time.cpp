#include "nxr_os_time.h"

#include <ctime>

namespace nxr::os {

int64_t timeNow() { return static_cast<int64_t>(::time(nullptr)); }

std::string localTimeText()
{
    const time_t now = ::time(nullptr);
    struct tm tmLocal {};
    if (::localtime_r(&now, &tmLocal) == nullptr)
        return {};
    char text[64];
    const size_t n = ::strftime(text, sizeof(text), "%a %b %e %H:%M:%S %Y", &tmLocal);
    return std::string(text, n);
}

} // namespace nxr::os
