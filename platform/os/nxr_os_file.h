// Files: open, lock, read, write, flush to disk, rename, remove; unnamed
// files that get their name once complete; names that a terminating signal
// removes.
//
// Every call that fails returns false (or kInvalidFile) with the last-error
// value set from errno. Interrupted system calls are restarted, and short
// reads and writes are continued, so callers see whole transfers or a failure.
#pragma once
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
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
    bool bSymlink = false; // only from pathGetLinkInfo
    uint32_t ulOwner = 0;
    uint32_t ulGroup = 0;
    uint64_t ullDevice = 0;
    uint64_t ullInode = 0;
};

FileHandle fileOpenRead(const std::string& path);
// A second handle on the same open file (standard input, say), sharing its
// position.
FileHandle fileDuplicate(FileHandle hFile);
// Opens for writing; a file it creates gets ulMode (less the umask).
FileHandle fileOpenWrite(const std::string& path, FileDisposition disposition, uint32_t ulMode = 0644);

// Opens an existing file, following links as any open of the name does,
// without waiting (a FIFO without a peer, a device) and without taking a
// controlling terminal. The handle is non-blocking until fileSetBlocking.
FileHandle fileOpenNonBlocking(const std::string& path, bool bWrite);
bool fileSetBlocking(FileHandle hFile);
// Opens a folder for the *In calls below and for folderSync. A folder that
// may be written but not listed is opened as a bare reference.
FileHandle folderOpen(const std::string& path);
// Makes the folder's entries durable. A bare reference, and a file system
// that cannot sync folders, are skipped (success).
bool folderSync(FileHandle hFolder);
// A new file without a name in hFolder, open for writing (O_TMPFILE); fails
// with EOPNOTSUPP, EISDIR or EINVAL where the file system has no such files.
FileHandle fileCreateUnnamed(FileHandle hFolder, uint32_t ulMode);
// A scratch file for the process alone in folder, open for reading and
// writing: unnamed and never to be named (O_TMPFILE with O_EXCL), or, where
// the file system has no unnamed files, made under a fresh name (mode 0600)
// that is removed at once. It goes with its last handle.
FileHandle fileCreateScratch(const std::string& folder);
// A new file named name in hFolder, open for writing; EEXIST when present.
FileHandle fileCreateIn(FileHandle hFolder, const std::string& name, uint32_t ulMode);
// Gives an open file (unnamed or not) the new name name in hFolder; EEXIST
// when the name is taken. Needs /proc, no capability.
bool fileLinkIn(FileHandle hFile, FileHandle hFolder, const std::string& name);
// Replaces to atomically when it exists; both names in hFolder.
bool fileRenameIn(FileHandle hFolder, const std::string& from, const std::string& to);
bool fileUnlinkIn(FileHandle hFolder, const std::string& name);
// The path under which the kernel reached an open file, links resolved.
bool fileGetPath(FileHandle hFile, std::string& path);

// Takes an exclusive lock on the whole file without waiting. Fails with
// kErrorSharingViolation when another handle, in this process or another,
// holds it. The lock goes with the handle's close.
bool fileLockExclusive(FileHandle hFile);

// Reads up to ulBytes from the current position, stopping early only at the
// end of the file; ulRead receives the count. A handle that another program
// left non-blocking (a pipe) is waited on, as is one written to below.
bool fileRead(FileHandle hFile, void* pBuffer, size_t ulBytes, size_t& ulRead);
// Reads from the current position to the end of the file. Fails with EFBIG
// when that is more than ullMaxBytes.
bool fileReadAll(FileHandle hFile, std::vector<uint8_t>& data, uint64_t ullMaxBytes = UINT64_MAX);

// Reads up to ulBytes at ullOffset, leaving the position alone; stops early
// only at the end of the file.
bool fileReadAt(FileHandle hFile, void* pBuffer, size_t ulBytes, uint64_t ullOffset, size_t& ulRead);

// Writes all ulBytes at the current position. A file-size limit (EFBIG; see
// ignoreFileSizeSignal) or a full disk (ENOSPC) fails the call, with part of
// the data possibly written.
bool fileWriteAll(FileHandle hFile, const void* pData, size_t ulBytes);

// Copies hFrom's bytes from ullOffset to its end to hTo's position, in the
// kernel where it can (sendfile), else through a buffer; ullCopied receives
// the count.
bool fileCopyToEnd(FileHandle hFrom, uint64_t ullOffset, FileHandle hTo, uint64_t& ullCopied);
// Writes all ulBytes at ullOffset, leaving the position alone.
bool fileWriteAt(FileHandle hFile, const void* pData, size_t ulBytes, uint64_t ullOffset);
// Moves the position to the start of the file.
bool fileRewind(FileHandle hFile);

bool fileTruncate(FileHandle hFile, uint64_t ullSize);
bool fileSync(FileHandle hFile);
// Releases the handle, whatever the result: a failure reports an error that
// the kernel found while closing (data may be lost), not an open handle.
bool fileClose(FileHandle hFile);

bool fileSetMode(FileHandle hFile, uint32_t ulMode);
bool fileSetOwner(FileHandle hFile, uint32_t ulOwner, uint32_t ulGroup);
// ulOwner or ulGroup kNoOwnerChange leaves that one as it is.
inline constexpr uint32_t kNoOwnerChange = 0xFFFFFFFF;

bool fileGetInfo(FileHandle hFile, FileInfo& info);
bool pathGetInfo(const std::string& path, FileInfo& info);
// As pathGetInfo, but a symbolic link describes itself (bSymlink).
bool pathGetLinkInfo(const std::string& path, FileInfo& info);
bool pathExists(const std::string& path);

// Replaces to atomically when it exists.
bool fileRename(const std::string& from, const std::string& to);
bool fileUnlink(const std::string& path);

// Writing past the file-size limit then fails with EFBIG instead of killing
// the process with SIGXFSZ.
void ignoreFileSizeSignal();

// Calls use with each signal whose default action ends the process: those
// of signal(7) marked Term or Core, and the real-time signals (SIGKILL, which
// cannot be caught, aside).
void forEachEndingSignal(const std::function<void(int)>& use);

// Owns a handle and closes it when it goes out of scope.
class CFileOwner {
public:
    explicit CFileOwner(FileHandle hFile = kInvalidFile) noexcept : m_hFile(hFile) {}
    ~CFileOwner() { close(); }
    CFileOwner(const CFileOwner&) = delete;
    CFileOwner& operator=(const CFileOwner&) = delete;

    FileHandle get() const noexcept { return m_hFile; }
    bool isOpen() const noexcept { return m_hFile != kInvalidFile; }
    void reset(FileHandle hFile) noexcept
    {
        close();
        m_hFile = hFile;
    }
    // Closes now; false when the close reported an error.
    bool close() noexcept
    {
        const FileHandle h = m_hFile;
        m_hFile = kInvalidFile;
        return h == kInvalidFile || fileClose(h);
    }

private:
    FileHandle m_hFile;
};

// A temporary name (at most 63 bytes) in a folder, removed when it goes out
// of scope and also if any signal ends the process first (see
// forEachEndingSignal): the handler removes every armed name, then the
// signal takes its course (the default action ends the process with the
// signal's status; a handler that was there before runs; an ignored signal
// stays ignored). Arm before
// creating the name, so that no moment is left uncovered; forget() when the
// name was renamed or never created (removing it is then harmless or
// wrong). The handlers, installed on first use, stay. The folder handle
// must stay open while armed.
class CTemporaryName {
public:
    CTemporaryName() = default;
    ~CTemporaryName() { remove(); }
    CTemporaryName(const CTemporaryName&) = delete;
    CTemporaryName& operator=(const CTemporaryName&) = delete;

    // False (ENAMETOOLONG, EMFILE) when the name cannot be held.
    bool arm(FileHandle hFolder, const std::string& name);
    const std::string& name() const noexcept { return m_name; }
    bool isArmed() const noexcept { return m_iSlot >= 0; }
    // Stops covering the name without removing it.
    void forget() noexcept;
    // Removes the name now, if armed.
    void remove() noexcept;

private:
    int m_iSlot = -1;
    FileHandle m_hFolder = kInvalidFile;
    std::string m_name;
};

// Test seams, process-wide. Stat covers fileGetInfo, pathGetInfo,
// pathGetLinkInfo and pathExists; Open every open and create, and
// OpenUnnamed fileCreateUnnamed in addition; Rename, Unlink and Link the *In
// calls too. An injected failure performs nothing, except for Close, which
// still releases the handle.
enum class FileOp { Open, Lock, Read, Write, Truncate, Fsync, Close, Stat, Rename, Unlink, OpenUnnamed, Link };
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
