#include "nxr_xmlcrypt_files.h"

#include "nxr_format.h"
#include "nxr_guard.h"
#include "nxr_os_error.h"
#include "nxr_os_random.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace nxr {

namespace {

constexpr int kNameAttempts = 100;
// What the copies between a scratch file and a stream move at a time.
constexpr uint32_t kCopyPiece = 1u << 20;

// A short name of fixed length for the data before it takes its own, never
// made from the output's name, so that any name the kernel accepts for the
// output leaves room for it.
std::string temporaryName()
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    static std::atomic<uint32_t> s_ulCount{0};
    uint8_t random[10] = {};
    if (!os::genRandom(random, sizeof(random))) {
        // Without the kernel's randomness: distinct within the process, and
        // across processes by their ids; a taken name is tried again anyway.
        const uint64_t ullMix = (uint64_t(::getpid()) << 24) ^ s_ulCount++;
        for (size_t i = 0; i < sizeof(random); ++i)
            random[i] = uint8_t(ullMix >> (6 * i));
    }
    std::string name = ".docseal-";
    for (const uint8_t b : random)
        name += digits[b % 36];
    return name + ".tmp";
}

// The folder part of a path ("." when it has none) and the name in it.
void splitPath(const std::string& path, std::string& folder, std::string& name)
{
    const auto slash = path.find_last_of('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

bool sameFile(const os::FileInfo& a, const os::FileInfo& b)
{
    return a.ullDevice == b.ullDevice && a.ullInode == b.ullInode;
}

// Closes a file that was read or an output's data; a failed close is
// recorded, not thrown.
void closeRecorded(os::CFileOwner& file, const CNXRWCharString& fileName)
{
    if (file.isOpen() && !file.close())
        CCloseHandleWarning(fileName.view(), __FILE__, __LINE__, os::getLastError());
}

} // namespace

#define NXR_IN_TRACE(method) NXR_TRACE(u"CNXRInputFile", method)
#define NXR_OUT_TRACE(method) NXR_TRACE(u"CNXROutputFile", method)

CNXRInputFile::CNXRInputFile(const CNXRWCharString& fileName) : m_fileName(fileName)
{
    NXR_IN_TRACE(u"CNXRInputFile");
    nxrGuardCtor<CNXRFileInitException>([&] {
        // Without waiting: a FIFO opens at once, and is refused below.
        m_file.reset(os::fileOpenNonBlocking(fileName.toFileName(), false));
        if (!m_file.isOpen())
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), fileName.view());
        if (!os::fileGetInfo(m_file.get(), m_info))
            NXR_THROW_CODE(CInvalidFileException, os::getLastError(), fileName.view());
        if (!m_info.bRegular)
            NXR_THROW(CInvalidFileException, fileName.view());
        if (!os::fileLockExclusive(m_file.get()) || !os::fileSetBlocking(m_file.get()))
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), fileName.view());
    }, NxrCtorFailure::Rethrow, NxrCtorFailure::Rethrow);
    nxrTrace.setResult(true);
}

CNXRInputFile::CNXRInputFile(os::FileHandle hFile, const CNXRWCharString& label) : m_fileName(label)
{
    NXR_IN_TRACE(u"CNXRInputFile");
    nxrGuardCtor<CNXRFileInitException>([&] {
        m_file.reset(hFile);
        if (!m_file.isOpen())
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), label.view());
        if (!os::fileGetInfo(m_file.get(), m_info))
            NXR_THROW_CODE(CInvalidFileException, os::getLastError(), label.view());
    }, NxrCtorFailure::Rethrow, NxrCtorFailure::Rethrow);
    nxrTrace.setResult(true);
}

CNXRInputFile::~CNXRInputFile()
{
    NXR_IN_TRACE(u"~CNXRInputFile");
    closeRecorded(m_file, m_fileName);
}

size_t CNXRInputFile::read(NXR_BYTE* pBuffer, size_t ulMax)
{
    NXR_IN_TRACE(u"read");
    size_t ulRead = 0;
    if (!os::fileRead(m_file.get(), pBuffer, ulMax, ulRead))
        NXR_THROW_CODE(CInvalidFileException, os::getLastError(), m_fileName.view());
    nxrTrace.setResult(true);
    return ulRead;
}

void CNXRInputFile::readAt(uint64_t ullOffset, NXR_BYTE* pBuffer, size_t ulCount)
{
    NXR_IN_TRACE(u"readAt");
    size_t ulRead = 0;
    if (!os::fileReadAt(m_file.get(), pBuffer, ulCount, ullOffset, ulRead))
        NXR_THROW_CODE(CInvalidFileException, os::getLastError(), m_fileName.view());
    // Shorter than its size said: it shrank while open.
    if (ulRead != ulCount)
        NXR_THROW(CInvalidFileException, m_fileName.view());
    nxrTrace.setResult(true);
}

CNXROutputFile::CNXROutputFile(const CNXRWCharString& fileName, uint32_t ulNewMode) : m_fileName(fileName)
{
    NXR_OUT_TRACE(u"CNXROutputFile");
    nxrGuardCtor<CNXRFileInitException>([&] {
        // Past the file-size limit a write then fails (EFBIG) instead of
        // killing the process.
        os::ignoreFileSizeSignal();
        openExisting(fileName.toFileName());
        // The replacement of an existing file is private until it has the
        // old file's protection.
        createData(m_existing.isOpen() ? 0600 : ulNewMode & 0777);
        if (m_existing.isOpen())
            keepProtection();
    }, NxrCtorFailure::Rethrow, NxrCtorFailure::Rethrow);
    nxrTrace.setResult(true);
}

// Finds what the name stands for: nothing yet (a new output in the name's
// folder), or a regular file, opened by the name and locked, whose folder
// and name in it are where the replacement goes (a link's target's).
void CNXROutputFile::openExisting(const std::string& path)
{
    NXR_OUT_TRACE(u"openExisting");
    std::string folder;
    m_existing.reset(os::fileOpenNonBlocking(path, true));
    if (!m_existing.isOpen()) {
        const uint32_t ulError = os::getLastError();
        os::FileInfo info;
        if (ulError == ENOENT) {
            // Absent, unless the name is a link to nothing.
            if (os::pathGetLinkInfo(path, info) && info.bSymlink)
                NXR_THROW_CODE(CInvalidFileException, ulError, m_fileName.view());
            splitPath(path, folder, m_finalName);
        } else if (os::pathGetInfo(path, info) && !info.bRegular) {
            // A FIFO without a reader (ENXIO), a socket, a folder...
            NXR_THROW_CODE(CInvalidFileException, ulError, m_fileName.view());
        } else {
            NXR_THROW_CODE(CCreateFileException, ulError, m_fileName.view());
        }
    } else {
        if (!os::fileGetInfo(m_existing.get(), m_existingInfo))
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), m_fileName.view());
        if (!m_existingInfo.bRegular)
            NXR_THROW(CInvalidFileException, m_fileName.view());
        if (!os::fileLockExclusive(m_existing.get()))
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), m_fileName.view());
        // The name itself, or else the path the open reached (a link's
        // target, resolved by the kernel, not by following the link again).
        os::FileInfo named;
        std::string reached = path;
        if (!os::pathGetLinkInfo(path, named) || !named.bRegular || !sameFile(named, m_existingInfo)) {
            if (!os::fileGetPath(m_existing.get(), reached))
                NXR_THROW_CODE(CCreateFileException, os::getLastError(), m_fileName.view());
            // Gone or moved since it was opened.
            if (!os::pathGetLinkInfo(reached, named) || !sameFile(named, m_existingInfo))
                NXR_THROW(CInvalidFileException, m_fileName.view());
        }
        splitPath(reached, folder, m_finalName);
    }
    if (m_finalName.empty())
        NXR_THROW_CODE(CCreateFileException, EISDIR, m_fileName.view());
    m_folder.reset(os::folderOpen(folder));
    if (!m_folder.isOpen())
        NXR_THROW_CODE(CCreateFileException, os::getLastError(), m_fileName.view());
    nxrTrace.setResult(true);
}

// An unnamed file in the folder; where the file system has none (or /proc,
// through which it would get its name, is missing), a file under a short
// temporary name that a terminating signal removes.
void CNXROutputFile::createData(uint32_t ulMode)
{
    NXR_OUT_TRACE(u"createData");
    m_data.reset(os::fileCreateUnnamed(m_folder.get(), ulMode));
    if (m_data.isOpen()) {
        std::string reached;
        if (os::fileGetPath(m_data.get(), reached)) {
            nxrTrace.setResult(true);
            return;
        }
        m_data.close();
    } else {
        const uint32_t ulError = os::getLastError();
        if (ulError != EOPNOTSUPP && ulError != EISDIR && ulError != EINVAL)
            NXR_THROW_CODE(CCreateFileException, ulError, m_fileName.view());
    }
    for (int attempt = 0; attempt < kNameAttempts && !m_data.isOpen(); ++attempt) {
        if (!m_temp.arm(m_folder.get(), temporaryName()))
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), m_fileName.view());
        m_data.reset(os::fileCreateIn(m_folder.get(), m_temp.name(), ulMode));
        if (!m_data.isOpen()) {
            // Not created: the name is someone else's, or nobody's.
            const uint32_t ulError = os::getLastError();
            m_temp.forget();
            if (ulError != EEXIST)
                NXR_THROW_CODE(CCreateFileException, ulError, m_fileName.view());
        }
    }
    if (!m_data.isOpen())
        NXR_THROW_CODE(CCreateFileException, EEXIST, m_fileName.view());
    m_bNamed = true;
    nxrTrace.setResult(true);
}

// Gives the replacement the old file's owner and group where the process
// may, and its permission bits. A group that cannot be kept gets no more
// than the others had, so nobody gains access. Set-user and set-group ids
// are dropped, as a write into the file by its user would.
void CNXROutputFile::keepProtection()
{
    NXR_OUT_TRACE(u"keepProtection");
    uint32_t ulMode = m_existingInfo.ulMode & 01777;
    if (!os::fileSetOwner(m_data.get(), m_existingInfo.ulOwner, m_existingInfo.ulGroup) &&
        !os::fileSetOwner(m_data.get(), os::kNoOwnerChange, m_existingInfo.ulGroup)) {
        const uint32_t ulGroupBits = (ulMode >> 3) & ulMode & 07;
        ulMode = (ulMode & ~070u) | (ulGroupBits << 3);
    }
    if (!os::fileSetMode(m_data.get(), ulMode))
        NXR_THROW_CODE(CCreateFileException, os::getLastError(), m_fileName.view());
    nxrTrace.setResult(true);
}

CNXROutputFile::~CNXROutputFile()
{
    NXR_OUT_TRACE(u"~CNXROutputFile");
    // Unnamed data goes with its handle; a temporary name goes with m_temp.
    closeRecorded(m_data, m_fileName);
}

void CNXROutputFile::write(const NXR_BYTE* pData, size_t ulCount)
{
    NXR_OUT_TRACE(u"write");
    if (m_bCommitted || !os::fileWriteAll(m_data.get(), pData, ulCount))
        NXR_THROW_CODE(CWriteFileException, m_bCommitted ? EBADF : os::getLastError(), m_fileName.view());
    nxrTrace.setResult(true);
}

void CNXROutputFile::writeAt(uint64_t ullOffset, const NXR_BYTE* pData, size_t ulCount)
{
    NXR_OUT_TRACE(u"writeAt");
    if (m_bCommitted || !os::fileWriteAt(m_data.get(), pData, ulCount, ullOffset))
        NXR_THROW_CODE(CWriteFileException, m_bCommitted ? EBADF : os::getLastError(), m_fileName.view());
    nxrTrace.setResult(true);
}

void CNXROutputFile::append(const CNXRSpillFile& spill)
{
    NXR_OUT_TRACE(u"append");
    uint64_t ullCopied = 0;
    if (m_bCommitted || !os::fileCopyToEnd(spill.handle(), 0, m_data.get(), ullCopied))
        NXR_THROW_CODE(CWriteFileException, m_bCommitted ? EBADF : os::getLastError(), m_fileName.view());
    nxrTrace.setResult(true);
}

void CNXROutputFile::commit()
{
    NXR_OUT_TRACE(u"commit");
    const auto fail = [&](uint32_t ulError) { NXR_THROW_CODE(CWriteFileException, ulError, m_fileName.view()); };
    if (m_bCommitted || !os::fileSync(m_data.get()))
        fail(m_bCommitted ? EBADF : os::getLastError());
    // A new output takes its name at once when nothing has taken it since;
    // otherwise the data gets a temporary name (covered from before it
    // exists) that then replaces the final one.
    bool bInPlace = false;
    if (!m_bNamed) {
        bInPlace = !m_existing.isOpen() && os::fileLinkIn(m_data.get(), m_folder.get(), m_finalName);
        if (!bInPlace && !m_existing.isOpen() && os::getLastError() != EEXIST)
            fail(os::getLastError());
        for (int attempt = 0; !bInPlace && !m_temp.isArmed(); ++attempt) {
            if (attempt == kNameAttempts || !m_temp.arm(m_folder.get(), temporaryName()))
                fail(attempt == kNameAttempts ? EEXIST : os::getLastError());
            if (!os::fileLinkIn(m_data.get(), m_folder.get(), m_temp.name())) {
                const uint32_t ulError = os::getLastError();
                m_temp.forget();
                if (ulError != EEXIST)
                    fail(ulError);
            }
        }
    }
    if (!bInPlace) {
        if (!os::fileRenameIn(m_folder.get(), m_temp.name(), m_finalName)) {
            const uint32_t ulError = os::getLastError();
            m_temp.remove();
            fail(ulError);
        }
        m_temp.forget();
    }
    m_bCommitted = true;
    // The output is in place, its data synced before it took the name: a
    // folder that cannot be synced now leaves only the name's survival of a
    // crash in doubt. Failing here would report the old state while the
    // folder shows the new one, so it is a warning, and the commit stands.
    if (!os::folderSync(m_folder.get()))
        nxrWarn(nxrFormat(u"The folder holding %s could not be synced: its new name may not survive a crash",
                          {m_fileName.view()}),
                os::getLastError(), __FILE__, __LINE__);
    nxrTrace.setResult(true);
}

} // namespace nxr

namespace nxr {

namespace {

const char16_t kStandardOutput[] = u"standard output";
const char16_t kSpill[] = u"scratch file";

} // namespace

CNXRStandardOutput::CNXRStandardOutput()
{
    NXR_TRACE(u"CNXRStandardOutput", u"CNXRStandardOutput");
    nxrTrace.setResult(true);
}

CNXRStandardOutput::~CNXRStandardOutput() { NXR_TRACE(u"CNXRStandardOutput", u"~CNXRStandardOutput"); }

void CNXRStandardOutput::writeAt(uint64_t, const NXR_BYTE*, size_t)
{
    NXR_TRACE(u"CNXRStandardOutput", u"writeAt");
    NXR_THROW_CODE(CWriteFileException, ESPIPE, kStandardOutput);
}

void CNXRStandardOutput::append(const CNXRSpillFile& spill)
{
    NXR_TRACE(u"CNXRStandardOutput", u"append");
    uint64_t ullCopied = 0;
    if (!os::fileCopyToEnd(spill.handle(), 0, STDOUT_FILENO, ullCopied))
        NXR_THROW_CODE(CWriteFileException, os::getLastError(), kStandardOutput);
    nxrTrace.setResult(true);
}

void CNXRStandardOutput::write(const NXR_BYTE* pData, size_t ulCount)
{
    NXR_TRACE(u"CNXRStandardOutput", u"write");
    if (!os::fileWriteAll(STDOUT_FILENO, pData, ulCount))
        NXR_THROW_CODE(CWriteFileException, os::getLastError(), kStandardOutput);
    nxrTrace.setResult(true);
}

#define NXR_SPILL_TRACE(method) NXR_TRACE(u"CNXRSpillFile", method)

CNXRSpillFile::CNXRSpillFile()
{
    NXR_SPILL_TRACE(u"CNXRSpillFile");
    nxrGuardCtor<CNXRFileInitException>([&] {
        const char* pszFolder = std::getenv("TMPDIR");
        const std::string folder = pszFolder != nullptr && pszFolder[0] != '\0' ? pszFolder : "/tmp";
        m_file.reset(os::fileCreateScratch(folder));
        if (!m_file.isOpen())
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), CNXRWCharString::fromFileName(folder.c_str()).view());
    }, NxrCtorFailure::Rethrow, NxrCtorFailure::Rethrow);
    nxrTrace.setResult(true);
}

CNXRSpillFile::~CNXRSpillFile() { NXR_SPILL_TRACE(u"~CNXRSpillFile"); }

void CNXRSpillFile::write(const NXR_BYTE* pData, size_t ulCount)
{
    NXR_SPILL_TRACE(u"write");
    if (!os::fileWriteAll(m_file.get(), pData, ulCount))
        NXR_THROW_CODE(CWriteFileException, os::getLastError(), kSpill);
    nxrTrace.setResult(true);
}

void CNXRSpillFile::writeAt(uint64_t ullOffset, const NXR_BYTE* pData, size_t ulCount)
{
    NXR_SPILL_TRACE(u"writeAt");
    if (!os::fileWriteAt(m_file.get(), pData, ulCount, ullOffset))
        NXR_THROW_CODE(CWriteFileException, os::getLastError(), kSpill);
    nxrTrace.setResult(true);
}

void CNXRSpillFile::fill(CNXRInputFile& input, uint64_t ullMax)
{
    NXR_SPILL_TRACE(u"fill");
    CNXRBuffer<NXR_BYTE> piece(kCopyPiece);
    if (!piece.isValid())
        NXR_THROW(CMemAllocException, u"piece");
    for (uint64_t ullDone = 0;;) {
        const size_t ulRead = input.read(piece.getBuffer(), piece.getNumElems());
        if (ulRead == 0)
            break;
        ullDone += ulRead;
        if (ullDone > ullMax)
            NXR_THROW(CBadArgException, u"ulSize", u"value is too large for the container format");
        write(piece.getBuffer(), ulRead);
    }
    nxrTrace.setResult(true);
}

CNXRInputFile& CNXRSpillFile::input()
{
    NXR_SPILL_TRACE(u"input");
    m_input.reset();
    if (!os::fileRewind(m_file.get()))
        NXR_THROW_CODE(CInvalidFileException, os::getLastError(), kSpill);
    m_input.emplace(os::fileDuplicate(m_file.get()), CNXRWCharString(kSpill));
    nxrTrace.setResult(true);
    return *m_input;
}

} // namespace nxr
