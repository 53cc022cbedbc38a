// Files: open, lock, read, write, flush to disk, rename, remove.
//
// Every call that fails returns false (or kInvalidFile) with the last-error
// value set from errno. Interrupted system calls are restarted, and short
// reads and writes are continued, so callers see whole transfers or a failure.
#pragma once
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nxr_os_fault.h"

namespace nxr::os {

using FileHandle = int;
inline constexpr FileHandle kInvalidFile = -1;

// The last-error value when a lock is held through another handle.
inline constexpr uint32_t kErrorSharingViolation = EWOULDBLOCK;

enum class FileDisposition {
    OpenExisting, // fail with ENOENT when absent
    OpenAlways,   // create when absent, keep the content otherwise
    CreateAlways, // create when absent, cut to 0 bytes otherwise
    CreateNew,    // fail with EEXIST when present
};

struct FileInfo {
    uint64_t ullSize = 0;
    uint32_t ulMode = 0; // permission bits (07777)
    bool bRegular = false;
    bool bDirectory = false;
};

FileHandle fileOpenRead(const std::string& path);
// Opens for writing; a file it creates gets ulMode (less the umask).
FileHandle fileOpenWrite(const std::string& path, FileDisposition disposition, uint32_t ulMode = 0644);

// Takes an exclusive lock on the whole file without waiting. Fails with
// kErrorSharingViolation when another handle, in this process or another,
// holds it. The lock goes with the handle's close.
bool fileLockExclusive(FileHandle hFile);

// Reads up to ulBytes from the current position, stopping early only at the
// end of the file; ulRead receives the count.
bool fileRead(FileHandle hFile, void* pBuffer, size_t ulBytes, size_t& ulRead);
// Reads from the current position to the end of the file. Fails with EFBIG
// when that is more than ullMaxBytes.
bool fileReadAll(FileHandle hFile, std::vector<uint8_t>& data, uint64_t ullMaxBytes = UINT64_MAX);

// Writes all ulBytes at the current position. A file-size limit (EFBIG; see
// ignoreFileSizeSignal) or a full disk (ENOSPC) fails the call, with part of
// the data possibly written.
bool fileWriteAll(FileHandle hFile, const void* pData, size_t ulBytes);

bool fileTruncate(FileHandle hFile, uint64_t ullSize);
bool fileSync(FileHandle hFile);
// Releases the handle, whatever the result: a failure reports an error that
// the kernel found while closing (data may be lost), not an open handle.
bool fileClose(FileHandle hFile);

bool fileGetInfo(FileHandle hFile, FileInfo& info);
bool pathGetInfo(const std::string& path, FileInfo& info);
bool pathExists(const std::string& path);

// Replaces to atomically when it exists.
bool fileRename(const std::string& from, const std::string& to);
bool fileUnlink(const std::string& path);

// Writing past the file-size limit then fails with EFBIG instead of killing
// the process with SIGXFSZ.
void ignoreFileSizeSignal();

// Test seams, process-wide. Stat covers fileGetInfo, pathGetInfo and
// pathExists. An injected failure performs nothing, except for Close, which
// still releases the handle.
enum class FileOp { Open, Lock, Read, Write, Truncate, Fsync, Close, Stat, Rename, Unlink };
void setFileFaultForTesting(FileOp op, int iErrno, uint32_t ulFirst = 1, uint32_t ulCount = kFaultAlways) noexcept;
// Each write moves at most ulMaxBytes (0: no limit), as a kernel may.
void setShortWritesForTesting(size_t ulMaxBytes) noexcept;
void clearFileFaultsForTesting() noexcept;

// Clears every file fault when it goes out of scope.
class CScopedFileFaults {
public:
    CScopedFileFaults() = default;
    ~CScopedFileFaults() { clearFileFaultsForTesting(); }
    CScopedFileFaults(const CScopedFileFaults&) = delete;
    CScopedFileFaults& operator=(const CScopedFileFaults&) = delete;

    CScopedFileFaults& fail(FileOp op, int iErrno, uint32_t ulFirst = 1, uint32_t ulCount = kFaultAlways) noexcept
    {
        setFileFaultForTesting(op, iErrno, ulFirst, ulCount);
        return *this;
    }
    CScopedFileFaults& shortWrites(size_t ulMaxBytes) noexcept
    {
        setShortWritesForTesting(ulMaxBytes);
        return *this;
    }
};

} // namespace nxr::os
