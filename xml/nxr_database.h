// CDataBase: the abstract base of a labelled-value store kept in a named
// file. It holds the path of that file; a concrete store (CXmlXercesBase)
// implements set, get, deleteValue and flush.
#pragma once
#include "nxr_wchar_string.h"

namespace nxr {

class CDataBase {
public:
    // The path starts as "uninitialized".
    CDataBase();
    // An empty path, then the virtual assignment from other.
    CDataBase(const CDataBase& other);
    virtual ~CDataBase();

    // Copies the path.
    virtual CDataBase& operator=(const CDataBase& other);

    // Adds value under label; with bFlush the store is written out after.
    virtual bool set(const CNXRWCharString& label, const CNXRWCharString& value, bool bFlush) = 0;
    // The first value stored under label.
    virtual bool get(const CNXRWCharString& label, CNXRWCharString& value) = 0;
    // Removes the first value stored under label.
    virtual bool deleteValue(const CNXRWCharString& label, bool bFlush) = 0;
    // Writes the store to the file named by the path.
    virtual bool flush() = 0;

    bool getPath(CNXRWCharString& strPath) const;
    // Only stores the path; a concrete store's own setPath also opens it.
    bool setPath(const CNXRWCharString& strPath);

protected:
    CNXRWCharString m_strPath;
};

} // namespace nxr
