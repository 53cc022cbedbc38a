// Provisional: replaced by the full file classes.
#pragma once
#include "nxr_buffer.h"
#include "nxr_os_file.h"
#include "nxr_wchar_string.h"

#include <cstdint>
#include <string>

namespace nxr {

class CNXRInputFile {
public:
    explicit CNXRInputFile(const CNXRWCharString& fileName);
    ~CNXRInputFile();
    CNXRInputFile(const CNXRInputFile&) = delete;
    CNXRInputFile& operator=(const CNXRInputFile&) = delete;
    uint64_t size() const { return m_info.ullSize; }
    uint32_t permissions() const { return m_info.ulMode & 0777; }
    size_t read(NXR_BYTE* pBuffer, size_t ulMax);
    void readAt(uint64_t ullOffset, NXR_BYTE* pBuffer, size_t ulCount);

private:
    CNXRWCharString m_name;
    os::FileHandle m_hFile = os::kInvalidFile;
    os::FileInfo m_info;
};

class CNXROutputFile {
public:
    CNXROutputFile(const CNXRWCharString& fileName, uint32_t ulNewMode);
    ~CNXROutputFile();
    CNXROutputFile(const CNXROutputFile&) = delete;
    CNXROutputFile& operator=(const CNXROutputFile&) = delete;
    void write(const NXR_BYTE* pData, size_t ulCount);
    void commit();

private:
    CNXRWCharString m_name;
    std::string m_path, m_temp;
    os::FileHandle m_hFile = os::kInvalidFile;
    os::FileHandle m_hExisting = os::kInvalidFile;
    bool m_bCommitted = false;
};

} // namespace nxr
