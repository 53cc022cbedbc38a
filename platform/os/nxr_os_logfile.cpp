#include "nxr_os_logfile.h"

#include "nxr_os_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nxr::os {

namespace {

// Closes the descriptor on every path out of appendLogLine.
class CFd {
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool fail(int iErrno)
{
    errno = iErrno;
    setLastErrorFromErrno();
    return false;
}

} // namespace

bool appendLogLine(const std::string& path, std::u16string_view line)
{
    if (path.empty() || path[0] != '/')
        return fail(EINVAL);
    const auto slash = path.find_last_of('/');
    if (slash > 0)
        ::mkdir(path.substr(0, slash).c_str(), 0750);

    // O_NOFOLLOW: a link planted at the log's name is not followed, nor is a
    // dangling one's target created. O_NONBLOCK: a FIFO without a reader
    // fails at once instead of holding the run.
    const CFd fd(::open(path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0640));
    if (fd.get() < 0)
        return fail(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return fail(errno);
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        return fail(EPERM);

    // Two writers that both find the file empty both write the mark; the
    // second mark then reads as a zero-width no-break space, which is
    // harmless, where a file without one would be misread.
    std::vector<unsigned char> bytes;
    bytes.reserve(2 + line.size() * 2);
    if (st.st_size == 0) {
        bytes.push_back(0xFF);
        bytes.push_back(0xFE);
    }
    for (const char16_t u : line) {
        bytes.push_back(static_cast<unsigned char>(u & 0xFF));
        bytes.push_back(static_cast<unsigned char>(u >> 8));
    }

    ssize_t written;
    do
        written = ::write(fd.get(), bytes.data(), bytes.size());
    while (written < 0 && errno == EINTR);
    if (written < 0)
        return fail(errno);
    if (static_cast<size_t>(written) == bytes.size())
        return true;

    // Cut short by a full disk or the file-size limit: cut the file back to
    // where this line began (the append left the offset at the end of what
    // was written), so that the next line does not start in the middle of
    // this one.
    const off_t end = ::lseek(fd.get(), 0, SEEK_CUR);
    if (end >= written && ::ftruncate(fd.get(), end - written) != 0)
        return fail(errno);
    return fail(ENOSPC);
}

bool logPathReadable(const std::string& path)
{
    return !path.empty() && path[0] == '/' && ::access(path.c_str(), R_OK) == 0;
}

} // namespace nxr::os
