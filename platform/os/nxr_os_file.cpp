#include "nxr_os_file.h"

#include "nxr_os_error.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nxr::os {

namespace {

constexpr size_t kFileOpCount = static_cast<size_t>(FileOp::Unlink) + 1;

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
    return info;
}

FileHandle openWith(const std::string& path, int flags, mode_t mode)
{
    if (injected(FileOp::Open))
        return kInvalidFile;
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fail();
    return fd;
}

} // namespace

FileHandle fileOpenRead(const std::string& path) { return openWith(path, O_RDONLY, 0); }

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

bool fileRead(FileHandle hFile, void* pBuffer, size_t ulBytes, size_t& ulRead)
{
    ulRead = 0;
    auto* p = static_cast<unsigned char*>(pBuffer);
    while (ulRead < ulBytes) {
        if (injected(FileOp::Read))
            return false;
        const ssize_t n = ::read(hFile, p + ulRead, ulBytes - ulRead);
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
            if (errno == EINTR)
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

bool fileGetInfo(FileHandle hFile, FileInfo& info)
{
    if (injected(FileOp::Stat))
        return false;
    struct stat st {};
    if (::fstat(hFile, &st) != 0)
        return fail();
    info = infoOf(st);
    return true;
}

bool pathGetInfo(const std::string& path, FileInfo& info)
{
    if (injected(FileOp::Stat))
        return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return fail();
    info = infoOf(st);
    return true;
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
