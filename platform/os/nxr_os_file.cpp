#include "nxr_os_file.h"

#include "nxr_os_error.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nxr::os {

namespace {

constexpr size_t kFileOpCount = static_cast<size_t>(FileOp::Link) + 1;

CFaultPoint& fault(FileOp op)
{
    static CFaultPoint s_points[kFileOpCount];
    return s_points[static_cast<size_t>(op)];
}

std::atomic<size_t> g_ulShortWrite{0};

bool fail()
{
    setLastErrorFromErrno();
    return false;
}

bool failWith(int err)
{
    errno = err;
    return fail();
}

bool injected(FileOp op)
{
    if (const int err = fault(op).hit()) {
        failWith(err);
        return true;
    }
    return false;
}

FileInfo infoOf(const struct stat& st)
{
    FileInfo info;
    info.ullSize = static_cast<uint64_t>(st.st_size);
    info.ulMode = static_cast<uint32_t>(st.st_mode & 07777);
    info.bRegular = S_ISREG(st.st_mode);
    info.bDirectory = S_ISDIR(st.st_mode);
    info.bSymlink = S_ISLNK(st.st_mode);
    info.ulOwner = st.st_uid;
    info.ulGroup = st.st_gid;
    info.ullDevice = st.st_dev;
    info.ullInode = st.st_ino;
    return info;
}

FileHandle openAtWith(int folder, const char* path, int flags, mode_t mode)
{
    if (injected(FileOp::Open))
        return kInvalidFile;
    int fd;
    do
        fd = ::openat(folder, path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fail();
    return fd;
}

// Waits until a non-blocking handle is ready for events; false when the wait
// fails (the caller then reports errno).
bool waitReady(FileHandle hFile, short events)
{
    pollfd pfd{hFile, events, 0};
    int rc;
    do
        rc = ::poll(&pfd, 1, -1);
    while (rc < 0 && errno == EINTR);
    return rc > 0;
}

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

FileHandle openWith(const std::string& path, int flags, mode_t mode)
{
    return openAtWith(AT_FDCWD, path.c_str(), flags, mode);
}

// The name under /proc through which an open file can be reached.
struct ProcFdPath {
    explicit ProcFdPath(FileHandle hFile) { std::snprintf(text, sizeof(text), "/proc/self/fd/%d", hFile); }
    char text[32];
};

} // namespace

FileHandle fileOpenRead(const std::string& path) { return openWith(path, O_RDONLY, 0); }

FileHandle fileDuplicate(FileHandle hFile)
{
    const int fd = ::fcntl(hFile, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        fail();
    return fd;
}

FileHandle fileOpenWrite(const std::string& path, FileDisposition disposition, uint32_t ulMode)
{
    int flags = O_WRONLY;
    switch (disposition) {
    case FileDisposition::OpenExisting: break;
    case FileDisposition::OpenAlways: flags |= O_CREAT; break;
    case FileDisposition::CreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case FileDisposition::CreateNew: flags |= O_CREAT | O_EXCL; break;
    }
    return openWith(path, flags, static_cast<mode_t>(ulMode & 07777));
}

FileHandle fileOpenNonBlocking(const std::string& path, bool bWrite)
{
    return openWith(path, (bWrite ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY, 0);
}

bool fileSetBlocking(FileHandle hFile)
{
    const int flags = ::fcntl(hFile, F_GETFL);
    return (flags >= 0 && ::fcntl(hFile, F_SETFL, flags & ~O_NONBLOCK) == 0) || fail();
}

FileHandle folderOpen(const std::string& path)
{
    const FileHandle h = openWith(path, O_RDONLY | O_DIRECTORY, 0);
    if (h == kInvalidFile && errno == EACCES)
        return openWith(path, O_PATH | O_DIRECTORY, 0);
    return h;
}

bool folderSync(FileHandle hFolder)
{
    if (injected(FileOp::Fsync))
        return false;
    int rc;
    do
        rc = ::fsync(hFolder);
    while (rc != 0 && errno == EINTR);
    if (rc == 0 || ((errno == EBADF || errno == EINVAL || errno == EROFS) && ::fcntl(hFolder, F_GETFD) >= 0))
        return true;
    return fail();
}

FileHandle fileCreateUnnamed(FileHandle hFolder, uint32_t ulMode)
{
    if (injected(FileOp::OpenUnnamed))
        return kInvalidFile;
    return openAtWith(hFolder, ".", O_TMPFILE | O_WRONLY, static_cast<mode_t>(ulMode & 07777));
}

FileHandle fileCreateScratch(const std::string& folder)
{
    if (injected(FileOp::OpenUnnamed))
        return kInvalidFile;
    const FileHandle hFile = openWith(folder, O_TMPFILE | O_EXCL | O_RDWR, 0600);
    if (hFile != kInvalidFile || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return hFile;
    std::string name = folder + "/.docseal-XXXXXX";
    int fd;
    do
        fd = ::mkostemp(name.data(), O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail();
        return kInvalidFile;
    }
    ::unlink(name.c_str());
    return fd;
}

FileHandle fileCreateIn(FileHandle hFolder, const std::string& name, uint32_t ulMode)
{
    return openAtWith(hFolder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                      static_cast<mode_t>(ulMode & 07777));
}

bool fileLinkIn(FileHandle hFile, FileHandle hFolder, const std::string& name)
{
    if (injected(FileOp::Link))
        return false;
    const ProcFdPath proc(hFile);
    return ::linkat(AT_FDCWD, proc.text, hFolder, name.c_str(), AT_SYMLINK_FOLLOW) == 0 || fail();
}

bool fileRenameIn(FileHandle hFolder, const std::string& from, const std::string& to)
{
    if (injected(FileOp::Rename))
        return false;
    return ::renameat(hFolder, from.c_str(), hFolder, to.c_str()) == 0 || fail();
}

bool fileUnlinkIn(FileHandle hFolder, const std::string& name)
{
    if (injected(FileOp::Unlink))
        return false;
    return ::unlinkat(hFolder, name.c_str(), 0) == 0 || fail();
}

bool fileGetPath(FileHandle hFile, std::string& path)
{
    const ProcFdPath proc(hFile);
    char target[PATH_MAX + 1];
    const ssize_t n = ::readlink(proc.text, target, sizeof(target));
    if (n < 0)
        return fail();
    if (static_cast<size_t>(n) >= sizeof(target))
        return failWith(ENAMETOOLONG);
    path.assign(target, static_cast<size_t>(n));
    return true;
}

bool fileLockExclusive(FileHandle hFile)
{
    if (injected(FileOp::Lock))
        return false;
    int rc;
    do
        rc = ::flock(hFile, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return failWith(errno == EWOULDBLOCK ? static_cast<int>(kErrorSharingViolation) : errno);
    return true;
}

namespace {

// Reads until ulBytes are in or the file ends, restarting interrupted calls;
// readSome(p, n, done) reads up to n bytes to p, done bytes being in.
template <class ReadSome>
bool readUntilEnd(void* pBuffer, size_t ulBytes, size_t& ulRead, ReadSome&& readSome)
{
    ulRead = 0;
    auto* p = static_cast<unsigned char*>(pBuffer);
    while (ulRead < ulBytes) {
        if (injected(FileOp::Read))
            return false;
        const ssize_t n = readSome(p + ulRead, ulBytes - ulRead, ulRead);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail();
        }
        if (n == 0)
            break;
        ulRead += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool fileRead(FileHandle hFile, void* pBuffer, size_t ulBytes, size_t& ulRead)
{
    return readUntilEnd(pBuffer, ulBytes, ulRead, [&](unsigned char* p, size_t n, size_t) {
        ssize_t got = ::read(hFile, p, n);
        while (got < 0 && wouldBlock() && waitReady(hFile, POLLIN))
            got = ::read(hFile, p, n);
        return got;
    });
}

bool fileReadAt(FileHandle hFile, void* pBuffer, size_t ulBytes, uint64_t ullOffset, size_t& ulRead)
{
    return readUntilEnd(pBuffer, ulBytes, ulRead, [&](unsigned char* p, size_t n, size_t ulDone) {
        return ::pread(hFile, p, n, static_cast<off_t>(ullOffset + ulDone));
    });
}

bool fileReadAll(FileHandle hFile, std::vector<uint8_t>& data, uint64_t ullMaxBytes)
{
    data.clear();
    try {
        // The size is only a hint for the first allocation: the file may grow
        // or shrink while it is read, and reading on to the end decides.
        struct stat st {};
        if (::fstat(hFile, &st) == 0 && S_ISREG(st.st_mode)) {
            const off_t pos = ::lseek(hFile, 0, SEEK_CUR);
            if (pos >= 0 && st.st_size > pos) {
                const uint64_t left = static_cast<uint64_t>(st.st_size - pos);
                if (left > ullMaxBytes)
                    return failWith(EFBIG);
                data.reserve(static_cast<size_t>(left));
            }
        }
        for (;;) {
            unsigned char chunk[65536];
            size_t got = 0;
            if (!fileRead(hFile, chunk, sizeof(chunk), got))
                return false;
            if (got == 0)
                return true;
            if (data.size() + got > ullMaxBytes)
                return failWith(EFBIG);
            data.insert(data.end(), chunk, chunk + got);
        }
    } catch (const std::bad_alloc&) {
        data.clear();
        return failWith(ENOMEM);
    }
}

bool fileWriteAll(FileHandle hFile, const void* pData, size_t ulBytes)
{
    const auto* p = static_cast<const unsigned char*>(pData);
    while (ulBytes > 0) {
        if (injected(FileOp::Write))
            return false;
        const size_t limit = g_ulShortWrite.load(std::memory_order_relaxed);
        const size_t n = limit != 0 ? std::min(ulBytes, limit) : ulBytes;
        const ssize_t w = ::write(hFile, p, n);
        if (w < 0) {
            if (errno == EINTR || (wouldBlock() && waitReady(hFile, POLLOUT)))
                continue;
            return fail();
        }
        if (w == 0)
            return failWith(ENOSPC);
        p += w;
        ulBytes -= static_cast<size_t>(w);
    }
    return true;
}

bool fileWriteAt(FileHandle hFile, const void* pData, size_t ulBytes, uint64_t ullOffset)
{
    const auto* p = static_cast<const unsigned char*>(pData);
    for (size_t ulDone = 0; ulDone < ulBytes;) {
        if (injected(FileOp::Write))
            return false;
        const ssize_t w = ::pwrite(hFile, p + ulDone, ulBytes - ulDone, static_cast<off_t>(ullOffset + ulDone));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? fail() : failWith(ENOSPC);
        ulDone += static_cast<size_t>(w);
    }
    return true;
}

bool fileCopyToEnd(FileHandle hFrom, uint64_t ullOffset, FileHandle hTo, uint64_t& ullCopied)
{
    ullCopied = 0;
    for (;;) {
        if (injected(FileOp::Write))
            return false;
        off_t at = static_cast<off_t>(ullOffset + ullCopied);
        const ssize_t n = ::sendfile(hTo, hFrom, &at, 1u << 30);
        if (n > 0) {
            ullCopied += static_cast<uint64_t>(n);
            continue;
        }
        if (n == 0)
            return true;
        if (errno == EINTR || (wouldBlock() && waitReady(hTo, POLLOUT)))
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            return fail();
        break;
    }
    // Where the kernel cannot copy between these two: through a buffer.
    std::vector<unsigned char> buffer(1u << 20);
    for (;;) {
        size_t ulRead = 0;
        if (!fileReadAt(hFrom, buffer.data(), buffer.size(), ullOffset + ullCopied, ulRead))
            return false;
        if (ulRead == 0)
            return true;
        if (!fileWriteAll(hTo, buffer.data(), ulRead))
            return false;
        ullCopied += ulRead;
    }
}

bool fileRewind(FileHandle hFile) { return ::lseek(hFile, 0, SEEK_SET) == 0 || fail(); }

bool fileTruncate(FileHandle hFile, uint64_t ullSize)
{
    if (injected(FileOp::Truncate))
        return false;
    int rc;
    do
        rc = ::ftruncate(hFile, static_cast<off_t>(ullSize));
    while (rc != 0 && errno == EINTR);
    return rc == 0 || fail();
}

bool fileSync(FileHandle hFile)
{
    if (injected(FileOp::Fsync))
        return false;
    int rc;
    do
        rc = ::fsync(hFile);
    while (rc != 0 && errno == EINTR);
    return rc == 0 || fail();
}

bool fileClose(FileHandle hFile)
{
    if (const int err = fault(FileOp::Close).hit()) {
        ::close(hFile);
        return failWith(err);
    }
    // On Linux the descriptor is released even when close(2) reports an
    // error (EINTR included), so it is never retried.
    return ::close(hFile) == 0 || fail();
}

bool fileSetMode(FileHandle hFile, uint32_t ulMode)
{
    return ::fchmod(hFile, static_cast<mode_t>(ulMode & 07777)) == 0 || fail();
}

bool fileSetOwner(FileHandle hFile, uint32_t ulOwner, uint32_t ulGroup)
{
    return ::fchown(hFile, static_cast<uid_t>(ulOwner), static_cast<gid_t>(ulGroup)) == 0 || fail();
}

namespace {

// One of the stat calls, through the Stat seam, into info.
template <class StatCall>
bool statInto(FileInfo& info, StatCall&& statCall)
{
    if (injected(FileOp::Stat))
        return false;
    struct stat st {};
    if (statCall(st) != 0)
        return fail();
    info = infoOf(st);
    return true;
}

} // namespace

bool fileGetInfo(FileHandle hFile, FileInfo& info)
{
    return statInto(info, [&](struct stat& st) { return ::fstat(hFile, &st); });
}

bool pathGetInfo(const std::string& path, FileInfo& info)
{
    return statInto(info, [&](struct stat& st) { return ::stat(path.c_str(), &st); });
}

bool pathGetLinkInfo(const std::string& path, FileInfo& info)
{
    return statInto(info, [&](struct stat& st) { return ::lstat(path.c_str(), &st); });
}

bool pathExists(const std::string& path)
{
    FileInfo info;
    return pathGetInfo(path, info);
}

bool fileRename(const std::string& from, const std::string& to)
{
    if (injected(FileOp::Rename))
        return false;
    return ::rename(from.c_str(), to.c_str()) == 0 || fail();
}

bool fileUnlink(const std::string& path)
{
    if (injected(FileOp::Unlink))
        return false;
    return ::unlink(path.c_str()) == 0 || fail();
}

void ignoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

void forEachEndingSignal(const std::function<void(int)>& use)
{
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2,
                          SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
                          SIGSYS})
        use(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        use(sig);
}

namespace {

// The names armed for removal. A slot is free (0), being filled (1) or
// armed (2); the handler reads only armed slots.
struct RemovalSlot {
    std::atomic<int> state{0};
    int folder = -1;
    char name[64] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);
constexpr int kRemovalSlots = 8;
RemovalSlot g_removals[kRemovalSlots];

// What each ending signal did before the removal handler took it.
struct sigaction g_previousActions[NSIG];

extern "C" void removeOnSignal(int sig, siginfo_t* pInfo, void* pContext)
{
    const int savedErrno = errno;
    for (RemovalSlot& slot : g_removals)
        if (slot.state.load(std::memory_order_acquire) == 2)
            ::unlinkat(slot.folder, slot.name, 0);
    const struct sigaction& previous = g_previousActions[sig];
    if (previous.sa_flags & SA_SIGINFO)
        previous.sa_sigaction(sig, pInfo, pContext);
    else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN)
        previous.sa_handler(sig);
    else {
        // Blocked while this handler runs: delivered, with the default
        // action, as soon as it returns, so the process ends with the
        // signal's own status.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
    }
    errno = savedErrno;
}

void installRemovalHandlers()
{
    struct sigaction action {};
    action.sa_sigaction = removeOnSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    forEachEndingSignal([&](int sig) { sigaddset(&action.sa_mask, sig); });
    forEachEndingSignal([&](int sig) {
        struct sigaction& previous = g_previousActions[sig];
        if (::sigaction(sig, nullptr, &previous) != 0)
            return;
        // A signal the program ignores stays ignored.
        if ((previous.sa_flags & SA_SIGINFO) || previous.sa_handler != SIG_IGN)
            ::sigaction(sig, &action, nullptr);
    });
}

} // namespace

bool CTemporaryName::arm(FileHandle hFolder, const std::string& name)
{
    remove();
    if (name.size() >= sizeof(RemovalSlot::name))
        return failWith(ENAMETOOLONG);
    static std::once_flag s_installed;
    std::call_once(s_installed, installRemovalHandlers);
    for (int i = 0; i < kRemovalSlots; ++i) {
        int expected = 0;
        RemovalSlot& slot = g_removals[i];
        if (!slot.state.compare_exchange_strong(expected, 1))
            continue;
        slot.folder = hFolder;
        std::memcpy(slot.name, name.c_str(), name.size() + 1);
        slot.state.store(2, std::memory_order_release);
        m_iSlot = i;
        m_hFolder = hFolder;
        m_name = name;
        return true;
    }
    return failWith(EMFILE);
}

void CTemporaryName::forget() noexcept
{
    if (m_iSlot >= 0)
        g_removals[m_iSlot].state.store(0, std::memory_order_release);
    m_iSlot = -1;
    m_name.clear();
}

void CTemporaryName::remove() noexcept
{
    if (m_iSlot >= 0)
        ::unlinkat(m_hFolder, m_name.c_str(), 0);
    forget();
}

void setFileFaultForTesting(FileOp op, int iErrno, uint32_t ulFirst, uint32_t ulCount) noexcept
{
    fault(op).arm(iErrno, ulFirst, ulCount);
}

void setShortWritesForTesting(size_t ulMaxBytes) noexcept { g_ulShortWrite = ulMaxBytes; }

void clearFileFaultsForTesting() noexcept
{
    for (size_t i = 0; i < kFileOpCount; ++i)
        fault(static_cast<FileOp>(i)).disarm();
    g_ulShortWrite = 0;
}

} // namespace nxr::os
