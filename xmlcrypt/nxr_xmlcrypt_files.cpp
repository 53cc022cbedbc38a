#include "nxr_xmlcrypt_files.h"

#include "nxr_exceptions.h"
#include "nxr_os_error.h"

#include <unistd.h>

namespace nxr {

CNXRInputFile::CNXRInputFile(const CNXRWCharString& fileName) : m_name(fileName)
{
    m_hFile = os::fileOpenRead(fileName.toUtf8());
    if (m_hFile == os::kInvalidFile || !os::fileGetInfo(m_hFile, m_info) || !m_info.bRegular ||
        !os::fileLockExclusive(m_hFile)) {
        const uint32_t e = os::getLastError();
        if (m_hFile != os::kInvalidFile)
            os::fileClose(m_hFile);
        NXR_THROW_CODE(CCreateFileException, e, fileName.view());
    }
}

CNXRInputFile::~CNXRInputFile() { os::fileClose(m_hFile); }

size_t CNXRInputFile::read(NXR_BYTE* pBuffer, size_t ulMax)
{
    size_t n = 0;
    if (!os::fileRead(m_hFile, pBuffer, ulMax, n))
        NXR_THROW_CODE(CCreateFileException, os::getLastError(), m_name.view());
    return n;
}

void CNXRInputFile::readAt(uint64_t ullOffset, NXR_BYTE* pBuffer, size_t ulCount)
{
    if (::pread(m_hFile, pBuffer, ulCount, static_cast<off_t>(ullOffset)) != static_cast<ssize_t>(ulCount))
        NXR_THROW_CODE(CCreateFileException, errno, m_name.view());
}

CNXROutputFile::CNXROutputFile(const CNXRWCharString& fileName, uint32_t ulNewMode)
    : m_name(fileName), m_path(fileName.toUtf8())
{
    os::ignoreFileSizeSignal();
    if (os::pathExists(m_path)) {
        m_hExisting = os::fileOpenRead(m_path);
        if (m_hExisting == os::kInvalidFile || !os::fileLockExclusive(m_hExisting))
            NXR_THROW_CODE(CCreateFileException, os::getLastError(), fileName.view());
    }
    m_temp = m_path + ".tmp" + std::to_string(::getpid());
    m_hFile = os::fileOpenWrite(m_temp, os::FileDisposition::CreateNew, ulNewMode & 0777);
    if (m_hFile == os::kInvalidFile)
        NXR_THROW_CODE(CCreateFileException, os::getLastError(), fileName.view());
}

CNXROutputFile::~CNXROutputFile()
{
    if (m_hFile != os::kInvalidFile)
        os::fileClose(m_hFile);
    if (!m_bCommitted)
        os::fileUnlink(m_temp);
    os::fileClose(m_hExisting);
}

void CNXROutputFile::write(const NXR_BYTE* pData, size_t ulCount)
{
    if (!os::fileWriteAll(m_hFile, pData, ulCount))
        NXR_THROW_CODE(CWriteFileException, os::getLastError(), m_name.view());
}

void CNXROutputFile::commit()
{
    const os::FileHandle h = m_hFile;
    m_hFile = os::kInvalidFile;
    if (!os::fileSync(h) || !os::fileClose(h) || !os::fileRename(m_temp, m_path))
        NXR_THROW_CODE(CWriteFileException, os::getLastError(), m_name.view());
    m_bCommitted = true;
}

} // namespace nxr
