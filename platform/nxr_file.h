// CNXRFile: one file on disk by name; answers whether anything matches the
// name, and whether a path is a folder, and reads the string items of the
// file's version resource.
#pragma once
#include "nxr_buffer.h"
#include "nxr_wchar_string.h"

namespace nxr {

class CNXRFile {
public:
    CNXRFile();
    explicit CNXRFile(const CNXRWCharString& fileName);
    CNXRFile(const CNXRFile& src);
    CNXRFile& operator=(const CNXRFile& src);
    ~CNXRFile();

    // Stores the name as given and empties the version-information cache.
    bool setFilename(const CNXRWCharString& fileName);
    const CNXRWCharString& getFilename() const { return m_sFileName; }

    // Whether anything on disk matches the stored name (a file, a folder,
    // or a wildcard pattern with at least one match).
    bool isValidFile();
    static bool isValidWindowsFile(const CNXRWCharString& path);
    // Whether the path names a folder; a path ending in '/' is searched as
    // the folder's entries. Paths shorter than two characters are refused.
    static bool isValidWindowsDirectory(const CNXRWCharString& path);

    // Version information. Each getter gives true with the item's text in
    // *pOut, read under the first translation that the file's version
    // resource lists (an item present only under another translation is not
    // found); false, with the reason in the log, for a name that matches
    // nothing, a file without a version resource, or a missing item. The
    // block is read once and kept until the name changes.
    bool getCompanyName(CNXRWCharString* pOut);
    bool getFileVersion(CNXRWCharString* pOut);
    bool getVersion(CNXRWCharString* pOut); // the same as getFileVersion
    bool getComments(CNXRWCharString* pOut);
    bool getInternalName(CNXRWCharString* pOut);
    bool getLegalTrademarks(CNXRWCharString* pOut);
    bool getOriginalFilename(CNXRWCharString* pOut);
    bool getPrivateBuildDescription(CNXRWCharString* pOut);
    bool getProductName(CNXRWCharString* pOut);
    bool getProductVersion(CNXRWCharString* pOut);
    bool getSpecialBuildDescription(CNXRWCharString* pOut);
    bool getLegalCopyright(CNXRWCharString* pOut);
    bool getFileDescription(CNXRWCharString* pOut);
    // The first translation's language identifier and code page, as four
    // lower-case hexadecimal digits each with a space between ("0409 04b0").
    bool getLanguage(CNXRWCharString* pOut);

    // The item itemName (at most 226 characters) under the first
    // translation; reads the block first when it is not cached.
    bool getFileInfoItem(const CNXRWCharString& itemName, CNXRWCharString* pOut);
    // Reads the file's version-information block into the cache.
    bool getVersionInfoBuffer();

protected:
    CNXRWCharString m_sFileName;
    // The file's version-information block once read; empty until then and
    // after every change of name.
    CNXRBuffer<NXR_BYTE> m_versionInfo;

private:
    // The body of every item getter, traced under the getter's name.
    bool getNamedItem(const char16_t* pszGetter, const char16_t* pszItem, CNXRWCharString* pOut);
    // The first entry of the cached block's translation table; throws
    // CVerQueryValueException when there is none.
    void queryFirstTranslation(uint16_t& usLanguage, uint16_t& usCodePage) const;
};

} // namespace nxr
