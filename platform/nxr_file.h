// CNXRFile: one file on disk by name; answers whether anything matches the
// name, and whether a path is a folder.
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

protected:
    CNXRWCharString m_sFileName;
    // The file's version-information block once read; empty until then and
    // after every change of name.
    CNXRBuffer<NXR_BYTE> m_versionInfo;
};

} // namespace nxr
