#include "nxr_file.h"

#include "nxr_format.h"
#include "nxr_guard.h"
#include "nxr_os_error.h"
#include "nxr_os_find.h"
#include "nxr_os_version.h"

#include <string>

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
        if (src.m_versionInfo.isValid())
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
    return nxrGuard(nxrTrace, false, [&] { return os::findFirstMatch(path.toFileName()); }, NxrErrorSource::LastError);
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
        std::string pattern = path.toFileName();
        if (path[n - 1] == u'/')
            pattern += '*';
        if (!os::findFirstMatch(pattern))
            return false;
        os::CFileAttributes attributes;
        return os::getFileAttributes(path.toFileName(), attributes) && attributes.bDirectory;
    }, NxrErrorSource::LastError);
}

// ---------------------------------------------------------------------------
// Version information

namespace {

// The longest item name whose query path fits the 256-unit path buffer.
constexpr uint32_t kMaxItemNameUnits = 226;

// The UTF-16LE text of a query result, up to its first zero. A value that
// is not marked as text is read as text all the same: its length is in bytes.
std::u16string versionText(const void* pValue, uint32_t ulLen, bool bText)
{
    const auto* p = static_cast<const uint8_t*>(pValue);
    const uint32_t ulUnits = bText ? ulLen : ulLen / 2;
    std::u16string text;
    for (uint32_t i = 0; i < ulUnits; ++i) {
        const char16_t c = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

} // namespace

bool CNXRFile::getNamedItem(const char16_t* pszGetter, const char16_t* pszItem, CNXRWCharString* pOut)
{
    NXR_FILE_TRACE(pszGetter);
    return nxrGuard(nxrTrace, false, [&] {
        if (!isValidFile())
            NXR_THROW(CInvalidFileException, m_sFileName.view());
        return getFileInfoItem(CNXRWCharString(pszItem), pOut);
    }, NxrErrorSource::None);
}

bool CNXRFile::getCompanyName(CNXRWCharString* pOut) { return getNamedItem(u"getCompanyName", u"CompanyName", pOut); }

bool CNXRFile::getFileVersion(CNXRWCharString* pOut) { return getNamedItem(u"getFileVersion", u"FileVersion", pOut); }

bool CNXRFile::getVersion(CNXRWCharString* pOut)
{
    NXR_FILE_TRACE(u"getVersion");
    return nxrGuard(nxrTrace, false, [&] { return getFileVersion(pOut); }, NxrErrorSource::None);
}

bool CNXRFile::getComments(CNXRWCharString* pOut) { return getNamedItem(u"getComments", u"Comments", pOut); }

bool CNXRFile::getInternalName(CNXRWCharString* pOut)
{
    return getNamedItem(u"getInternalName", u"InternalName", pOut);
}

bool CNXRFile::getLegalTrademarks(CNXRWCharString* pOut)
{
    return getNamedItem(u"getLegalTrademarks", u"LegalTrademarks", pOut);
}

bool CNXRFile::getOriginalFilename(CNXRWCharString* pOut)
{
    return getNamedItem(u"getOriginalFilename", u"OriginalFilename", pOut);
}

bool CNXRFile::getPrivateBuildDescription(CNXRWCharString* pOut)
{
    return getNamedItem(u"getPrivateBuildDescription", u"PrivateBuild", pOut);
}

bool CNXRFile::getProductName(CNXRWCharString* pOut) { return getNamedItem(u"getProductName", u"ProductName", pOut); }

bool CNXRFile::getProductVersion(CNXRWCharString* pOut)
{
    return getNamedItem(u"getProductVersion", u"ProductVersion", pOut);
}

bool CNXRFile::getSpecialBuildDescription(CNXRWCharString* pOut)
{
    return getNamedItem(u"getSpecialBuildDescription", u"SpecialBuild", pOut);
}

bool CNXRFile::getLegalCopyright(CNXRWCharString* pOut)
{
    return getNamedItem(u"getLegalCopyright", u"LegalCopyright", pOut);
}

bool CNXRFile::getFileDescription(CNXRWCharString* pOut)
{
    return getNamedItem(u"getFileDescription", u"FileDescription", pOut);
}

bool CNXRFile::getLanguage(CNXRWCharString* pOut)
{
    NXR_FILE_TRACE(u"getLanguage");
    return nxrGuard(nxrTrace, false, [&] {
        if (pOut == nullptr)
            NXR_THROW(CBadArgException, u"pOut", u"Parameter is NULL");
        if (!isValidFile())
            NXR_THROW(CInvalidFileException, m_sFileName.view());
        if (!m_versionInfo.isValid() && !getVersionInfoBuffer())
            return false;
        uint16_t usLanguage = 0;
        uint16_t usCodePage = 0;
        queryFirstTranslation(usLanguage, usCodePage);
        *pOut = nxrFormat(u"%04x %04x", {uint32_t(usLanguage), uint32_t(usCodePage)}).c_str();
        return true;
    }, NxrErrorSource::None);
}

void CNXRFile::queryFirstTranslation(uint16_t& usLanguage, uint16_t& usCodePage) const
{
    const void* pValue = nullptr;
    uint32_t ulLen = 0;
    if (!os::verQueryValue(m_versionInfo.getBuffer(), m_versionInfo.getNumElems(), u"\\VarFileInfo\\Translation",
                           &pValue, &ulLen))
        NXR_THROW_CODE(CVerQueryValueException, os::getLastError());
    // An empty table lists no translation to read items under.
    if (ulLen < 4)
        NXR_THROW_CODE(CVerQueryValueException, os::kErrorNoVersion);
    const auto* p = static_cast<const uint8_t*>(pValue);
    usLanguage = static_cast<uint16_t>(p[0] | (p[1] << 8));
    usCodePage = static_cast<uint16_t>(p[2] | (p[3] << 8));
}

bool CNXRFile::getFileInfoItem(const CNXRWCharString& itemName, CNXRWCharString* pOut)
{
    NXR_FILE_TRACE(u"getFileInfoItem");
    return nxrGuard(nxrTrace, false, [&] {
        if (pOut == nullptr)
            NXR_THROW(CBadArgException, u"pOut", u"Parameter is NULL");
        if (itemName.getLength() > kMaxItemNameUnits)
            NXR_THROW(CBadArgException, u"itemName", u"item name is longer than 226 characters");
        if (!m_versionInfo.isValid() && !getVersionInfoBuffer())
            return false;
        uint16_t usLanguage = 0;
        uint16_t usCodePage = 0;
        queryFirstTranslation(usLanguage, usCodePage);
        const std::u16string path = nxrFormat(u"\\StringFileInfo\\%04x%04x\\%s",
                                              {uint32_t(usLanguage), uint32_t(usCodePage), itemName.view()});
        const void* pValue = nullptr;
        uint32_t ulLen = 0;
        bool bText = false;
        if (!os::verQueryValue(m_versionInfo.getBuffer(), m_versionInfo.getNumElems(), path, &pValue, &ulLen,
                               &bText))
            NXR_THROW_CODE(CVerQueryValueException, os::getLastError());
        const std::u16string text = versionText(pValue, ulLen, bText);
        *pOut = text.c_str();
        return pOut->getLength() == text.size();
    }, NxrErrorSource::None);
}

bool CNXRFile::getVersionInfoBuffer()
{
    NXR_FILE_TRACE(u"getVersionInfoBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        const std::string path = m_sFileName.toFileName();
        const uint32_t ulSize = os::getFileVersionInfoSize(path);
        if (ulSize == 0)
            NXR_THROW_CODE(CGetFileVersionInfoSizeException, os::getLastError());
        CNXRBuffer<NXR_BYTE> block(ulSize);
        if (!os::getFileVersionInfo(path, 0, ulSize, block.getBuffer()))
            NXR_THROW_CODE(CGetFileVersionInfoException, os::getLastError());
        m_versionInfo = block;
        return m_versionInfo.getNumElems() == ulSize;
    }, NxrErrorSource::None);
}

} // namespace nxr
