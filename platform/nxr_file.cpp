#include "nxr_file.h"

#include "nxr_guard.h"
#include "nxr_os_find.h"

namespace nxr {

#define NXR_FILE_TRACE(method) NXR_TRACE(u"CNXRFile", method)

CNXRFile::CNXRFile()
{
    NXR_FILE_TRACE(u"CNXRFile");
    nxrTrace.setResult(true);
}

CNXRFile::CNXRFile(const CNXRWCharString& fileName)
{
    NXR_FILE_TRACE(u"CNXRFile");
    // A failure is logged here and not passed on: the object exists with
    // whatever name was stored.
    nxrGuard(nxrTrace, false, [&] {
        if (!setFilename(fileName))
            NXR_THROW(CNXRFileInitException);
        return true;
    }, NxrErrorSource::None);
}

CNXRFile::CNXRFile(const CNXRFile& src)
{
    NXR_FILE_TRACE(u"CNXRFile");
    *this = src;
    nxrTrace.setResult(true);
}

CNXRFile& CNXRFile::operator=(const CNXRFile& src)
{
    NXR_FILE_TRACE(u"operator=");
    if (this != &src) {
        m_sFileName = src.m_sFileName;
        // The cache never holds another file's block: it takes the source's
        // (same name now) only when it was filled, and is emptied otherwise.
        if (m_versionInfo.isValid())
            m_versionInfo = src.m_versionInfo;
        else
            m_versionInfo.flush();
    }
    nxrTrace.setResult(true);
    return *this;
}

CNXRFile::~CNXRFile()
{
    NXR_FILE_TRACE(u"~CNXRFile");
}

bool CNXRFile::setFilename(const CNXRWCharString& fileName)
{
    NXR_FILE_TRACE(u"setFilename");
    return nxrGuard(nxrTrace, false, [&] {
        m_sFileName = fileName;
        return m_versionInfo.flush();
    }, NxrErrorSource::None);
}

bool CNXRFile::isValidFile()
{
    NXR_FILE_TRACE(u"isValidFile");
    return nxrGuard(nxrTrace, false, [&] { return isValidWindowsFile(m_sFileName); }, NxrErrorSource::LastError);
}

bool CNXRFile::isValidWindowsFile(const CNXRWCharString& path)
{
    NXR_FILE_TRACE(u"isValidWindowsFile");
    return nxrGuard(nxrTrace, false, [&] { return os::findFirstMatch(path.toUtf8()); }, NxrErrorSource::LastError);
}

bool CNXRFile::isValidWindowsDirectory(const CNXRWCharString& path)
{
    NXR_FILE_TRACE(u"isValidWindowsDirectory");
    return nxrGuard(nxrTrace, false, [&] {
        const uint32_t n = path.getLength();
        // The last two characters are read through the checked index, so a
        // path shorter than two characters fails here.
        const char16_t cBeforeLast = path[n - 2];
        (void)cBeforeLast;
        std::string pattern = path.toUtf8();
        if (path[n - 1] == u'/')
            pattern += '*';
        if (!os::findFirstMatch(pattern))
            return false;
        os::CFileAttributes attributes;
        return os::getFileAttributes(path.toUtf8(), attributes) && attributes.bDirectory;
    }, NxrErrorSource::LastError);
}

} // namespace nxr
