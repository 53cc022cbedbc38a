// The exception branch (CLogException1 and its classes) and the warning
// branch (CLogWarning) of the logging family. Exceptions are thrown by value
// and caught as CNXRLoggingObject&; each writes its record when it is built,
// at the throw site, so a catch site logs it only if that did not happen.
#pragma once
#include "nxr_logging.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace nxr {

class CLogException1 : public CNXRDetailedLog {
public:
    CLogException1(std::u16string_view message, uint32_t ulResultValue, uint32_t ulResultKind,
                   const char16_t* pszClass, const char16_t* pszMethod, const char* pszSourceFile,
                   uint32_t ulSourceLine, uint16_t usOutputMask = NXR_OUTPUT_TEXT, uint8_t bLogNow = 1,
                   uint8_t bLogWhenDestroyed = 0);
    CLogException1(const CLogException1&) = default;
    ~CLogException1() override = default;

    std::u16string_view getMessage() const
    {
        return m_record.message ? std::u16string_view(*m_record.message) : std::u16string_view();
    }
    uint32_t getResultValue() const { return m_record.ulResultValue; }
};

class CLogWarning : public CNXRDetailedLog {
public:
    CLogWarning(std::u16string_view message, uint32_t ulResultValue, uint32_t ulResultKind,
                const char16_t* pszClass, const char16_t* pszMethod, const char* pszSourceFile,
                uint32_t ulSourceLine, uint16_t usOutputMask = NXR_OUTPUT_TEXT, uint8_t bLogNow = 1,
                uint8_t bLogWhenDestroyed = 0);
    CLogWarning(const CLogWarning&) = default;
    ~CLogWarning() override = default;

    std::u16string_view getMessage() const
    {
        return m_record.message ? std::u16string_view(*m_record.message) : std::u16string_view();
    }
};

// The classes below differ only by type and message. Their constructors take
// the message's %s values, the source file and line, then the error code at
// hand (none by default) and the three options of the family.
#define NXR_LOG_OPTIONS_DECL                                                                                  \
    const char *pszSourceFile, uint32_t ulSourceLine, uint32_t ulError = NXR_NO_ERROR_CODE,                   \
                               uint16_t usOutputMask = NXR_OUTPUT_TEXT, uint8_t bLogNow = 1,                  \
                               uint8_t bLogWhenDestroyed = 0

#define NXR_DECLARE_EXCEPTION_0(Name, Base)                                                                   \
    class Name : public Base {                                                                                \
    public:                                                                                                   \
        explicit Name(NXR_LOG_OPTIONS_DECL);                                                                  \
    };
#define NXR_DECLARE_EXCEPTION_1(Name, Base)                                                                   \
    class Name : public Base {                                                                                \
    public:                                                                                                   \
        Name(std::u16string_view a1, NXR_LOG_OPTIONS_DECL);                                                   \
    };
#define NXR_DECLARE_EXCEPTION_2(Name, Base)                                                                   \
    class Name : public Base {                                                                                \
    public:                                                                                                   \
        Name(std::u16string_view a1, std::u16string_view a2, NXR_LOG_OPTIONS_DECL);                           \
    };
#define NXR_DECLARE_EXCEPTION_3(Name, Base)                                                                   \
    class Name : public Base {                                                                                \
    public:                                                                                                   \
        Name(std::u16string_view a1, std::u16string_view a2, std::u16string_view a3, NXR_LOG_OPTIONS_DECL);   \
    };

NXR_DECLARE_EXCEPTION_2(CBadArgException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CMemAllocException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CMemoryCopyException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CIndexOutOfBoundsException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CNXRBufferInitException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CNXRSecureBufferInitException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CRngCapi, CLogException1)
NXR_DECLARE_EXCEPTION_0(CRngBadArg, CLogException1)
NXR_DECLARE_EXCEPTION_0(CSymKeyBadArg, CLogException1)
NXR_DECLARE_EXCEPTION_0(CSymKeyBsafeException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CSymKeyUnhandledException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CHashGenericException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CHashBsafeException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CHashBadArg, CLogException1)
NXR_DECLARE_EXCEPTION_1(CInvalidFileException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CNXRFileInitException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CGetFileVersionInfoSizeException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CGetFileVersionInfoException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CVerQueryValueException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CCreateFileException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CWriteFileException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CCreateEventException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CSetEventException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CResetEventException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CCreateThreadException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CNXRThreadObjectInitException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CXmlXercesBaseGeneralException, CLogException1)
NXR_DECLARE_EXCEPTION_3(CBadValueException, CLogException1)
NXR_DECLARE_EXCEPTION_0(CDataBaseInitException, CLogException1)
NXR_DECLARE_EXCEPTION_1(CCloseHandleWarning, CLogWarning)

// The XML parser's own message, taken as it stands (never as a format).
NXR_DECLARE_EXCEPTION_1(CXercesException, CLogException1)

#undef NXR_DECLARE_EXCEPTION_0
#undef NXR_DECLARE_EXCEPTION_1
#undef NXR_DECLARE_EXCEPTION_2
#undef NXR_DECLARE_EXCEPTION_3

// Records that are written and dropped, never thrown.
// "Returning NULL pointer ( %s )" at level WARNING ("Unknown Ptr" without a name).
void nxrWarnNullPointer(std::u16string_view member, const char* pszSourceFile, uint32_t ulSourceLine) noexcept;
// "Unable to free memory ( %s )" at level WARNING, result value 0xFFFFFFFF.
void nxrWarnFreeFailed(std::u16string_view member, const char* pszSourceFile, uint32_t ulSourceLine) noexcept;
// Any other warning with an error code.
void nxrWarn(std::u16string_view message, uint32_t ulError, const char* pszSourceFile,
             uint32_t ulSourceLine) noexcept;
// "An unhandled exception occurred" at level EXCEPTION_BAD with the given code;
// called while std::bad_alloc is being handled, CMemAllocException's record
// "Unable to allocate memory ( operator new )" instead.
void nxrLogUnhandled(uint32_t ulError, const char* pszSourceFile, uint32_t ulSourceLine) noexcept;

} // namespace nxr

// Throws an exception of the family with this site's file and line:
//   NXR_THROW(CBadArgException, u"ulOffset", u"value is out of bounds");
//   NXR_THROW_CODE(CCreateFileException, ulError, path);
#define NXR_THROW(Cls, ...) throw ::nxr::Cls(__VA_ARGS__ __VA_OPT__(, ) __FILE__, __LINE__)
#define NXR_THROW_CODE(Cls, code, ...)                                                                        \
    throw ::nxr::Cls(__VA_ARGS__ __VA_OPT__(, ) __FILE__, __LINE__, static_cast<uint32_t>(code))
