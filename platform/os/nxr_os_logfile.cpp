#include "nxr_os_logfile.h"

#include "nxr_os_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nxr::os {

namespace {

bool writeAll(int fd, const unsigned char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

bool appendLogLine(const std::string& path, std::u16string_view line)
{
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        ::mkdir(path.substr(0, slash).c_str(), 0755);

    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            setLastErrorFromErrno();
            return false;
        }
        // A file that is still empty gets the byte-order mark; another
        // process may have created it between the two opens.
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size == 0) {
            static const unsigned char bom[2] = {0xFF, 0xFE};
            if (!writeAll(fd, bom, sizeof(bom))) {
                setLastErrorFromErrno();
                ::close(fd);
                return false;
            }
        }
    }

    std::vector<unsigned char> bytes;
    bytes.reserve(line.size() * 2);
    for (const char16_t u : line) {
        bytes.push_back(static_cast<unsigned char>(u & 0xFF));
        bytes.push_back(static_cast<unsigned char>(u >> 8));
    }
    const bool ok = writeAll(fd, bytes.data(), bytes.size());
    if (!ok)
        setLastErrorFromErrno();
    ::close(fd);
    return ok;
}

} // namespace nxr::os
