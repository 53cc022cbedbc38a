#include "nxr_exceptions.h"

#include "nxr_firstfailure.h"
#include "nxr_format.h"

#include <exception>
#include <new>

namespace nxr {

namespace {

// A missing %s value prints as "Unknown".
std::u16string_view orUnknown(std::u16string_view s, std::u16string_view fallback = u"Unknown")
{
    return s.empty() ? fallback : s;
}

} // namespace

CLogException1::CLogException1(std::u16string_view message, uint32_t ulResultValue, uint32_t ulResultKind,
                               const char16_t* pszClass, const char16_t* pszMethod, const char* pszSourceFile,
                               uint32_t ulSourceLine, uint16_t usOutputMask, uint8_t bLogNow,
                               uint8_t bLogWhenDestroyed)
    : CNXRDetailedLog(NXR_LEVEL_EXCEPTION_BAD, std::u16string(message), ulResultValue, ulResultKind, pszClass,
                      pszMethod, pszSourceFile, ulSourceLine, usOutputMask, bLogWhenDestroyed)
{
    // A held record counts when its holder writes it, if ever.
    if (!CNXRHeldRecords::isHolding())
        nxrRememberFailure(message, ulResultValue, pszSourceFile);
    if (bLogNow)
        log();
}

CLogWarning::CLogWarning(std::u16string_view message, uint32_t ulResultValue, uint32_t ulResultKind,
                         const char16_t* pszClass, const char16_t* pszMethod, const char* pszSourceFile,
                         uint32_t ulSourceLine, uint16_t usOutputMask, uint8_t bLogNow, uint8_t bLogWhenDestroyed)
    : CNXRDetailedLog(NXR_LEVEL_WARNING, std::u16string(message), ulResultValue, ulResultKind, pszClass, pszMethod,
                      pszSourceFile, ulSourceLine, usOutputMask, bLogWhenDestroyed)
{
    if (bLogNow)
        log();
}

#define NXR_LOG_OPTIONS_DEF                                                                                   \
    const char *pszSourceFile, uint32_t ulSourceLine, uint32_t ulError, uint16_t usOutputMask, uint8_t bLogNow, \
        uint8_t bLogWhenDestroyed
#define NXR_LOG_OPTIONS_PASS                                                                                  \
    ulError, NXR_RESULT_ERROR_CODE, nullptr, nullptr, pszSourceFile, ulSourceLine, usOutputMask, bLogNow,     \
        bLogWhenDestroyed

#define NXR_DEFINE_EXCEPTION_0(Name, Base, text)                                                              \
    Name::Name(NXR_LOG_OPTIONS_DEF) : Base(text, NXR_LOG_OPTIONS_PASS) {}
#define NXR_DEFINE_EXCEPTION_1(Name, Base, text)                                                              \
    Name::Name(std::u16string_view a1, NXR_LOG_OPTIONS_DEF)                                                   \
        : Base(nxrFormat(text, {orUnknown(a1)}), NXR_LOG_OPTIONS_PASS)                                        \
    {                                                                                                         \
    }
#define NXR_DEFINE_EXCEPTION_2(Name, Base, text)                                                              \
    Name::Name(std::u16string_view a1, std::u16string_view a2, NXR_LOG_OPTIONS_DEF)                           \
        : Base(nxrFormat(text, {orUnknown(a1), orUnknown(a2)}), NXR_LOG_OPTIONS_PASS)                         \
    {                                                                                                         \
    }
#define NXR_DEFINE_EXCEPTION_3(Name, Base, text)                                                              \
    Name::Name(std::u16string_view a1, std::u16string_view a2, std::u16string_view a3, NXR_LOG_OPTIONS_DEF)   \
        : Base(nxrFormat(text, {orUnknown(a1), orUnknown(a2), orUnknown(a3)}), NXR_LOG_OPTIONS_PASS)          \
    {                                                                                                         \
    }

NXR_DEFINE_EXCEPTION_2(CBadArgException, CLogException1, u"A bad argument was provided ( %s ). %s")
NXR_DEFINE_EXCEPTION_1(CMemAllocException, CLogException1, u"Unable to allocate memory ( %s )")
NXR_DEFINE_EXCEPTION_0(CMemoryCopyException, CLogException1, u"memcpy() function failed")
NXR_DEFINE_EXCEPTION_0(CIndexOutOfBoundsException, CLogException1, u"Index out of array bounds")
NXR_DEFINE_EXCEPTION_0(CNXRBufferInitException, CLogException1, u"Unable to initialize CNXRBuffer")
NXR_DEFINE_EXCEPTION_0(CNXRSecureBufferInitException, CLogException1, u"CNXRSecureBuffer object failed to initialize")
NXR_DEFINE_EXCEPTION_0(CRngCapi, CLogException1, u"Error during MS Capi function call")
NXR_DEFINE_EXCEPTION_0(CRngBadArg, CLogException1, u"Bad arguement in rng.  Probably zero input buffer")
NXR_DEFINE_EXCEPTION_0(CSymKeyBadArg, CLogException1, u"Bad Arguement")
NXR_DEFINE_EXCEPTION_0(CSymKeyBsafeException, CLogException1, u"Bsafe error during rsa operation")
NXR_DEFINE_EXCEPTION_0(CSymKeyUnhandledException, CLogException1, u"Bsafe error during rsa operation")
NXR_DEFINE_EXCEPTION_0(CHashGenericException, CLogException1, u"Hash command returned false")
NXR_DEFINE_EXCEPTION_0(CHashBsafeException, CLogException1, u"Bsafe error during hash")
NXR_DEFINE_EXCEPTION_0(CHashBadArg, CLogException1, u"Bad Argument in hash call. Probably zero length buffer.")
NXR_DEFINE_EXCEPTION_1(CInvalidFileException, CLogException1, u"The specified file, %s, is invalid.")
NXR_DEFINE_EXCEPTION_0(CNXRFileInitException, CLogException1, u"CNXRFile object failed to initialize")
NXR_DEFINE_EXCEPTION_0(CGetFileVersionInfoSizeException, CLogException1, u"Error in call to GetFileVersionInfoSize")
NXR_DEFINE_EXCEPTION_0(CGetFileVersionInfoException, CLogException1, u"Error in call to GetFileVersionInfo")
NXR_DEFINE_EXCEPTION_0(CVerQueryValueException, CLogException1, u"Error in call to VerQueryValue")
NXR_DEFINE_EXCEPTION_1(CCreateFileException, CLogException1, u"CreateFile call failed for file:%s")
NXR_DEFINE_EXCEPTION_1(CWriteFileException, CLogException1, u"WriteFile call failed for file:%s")
NXR_DEFINE_EXCEPTION_1(CCreateEventException, CLogException1, u"Unable to create event. ( Event name = %s )")
NXR_DEFINE_EXCEPTION_1(CSetEventException, CLogException1, u"Unable to set event. ( Event name = %s )")
NXR_DEFINE_EXCEPTION_1(CResetEventException, CLogException1, u"Unable to reset event. ( Event name = %s )")
NXR_DEFINE_EXCEPTION_1(CCreateThreadException, CLogException1, u"Unable to create thread. ( Thread name = %s )")
NXR_DEFINE_EXCEPTION_1(CNXRThreadObjectInitException, CLogException1,
                       u"Unable to initialize thread object. ( Thread name = %s )")
NXR_DEFINE_EXCEPTION_0(CXmlXercesBaseGeneralException, CLogException1, u"Xerces Base General Exception")
NXR_DEFINE_EXCEPTION_3(CBadValueException, CLogException1, u"Variable %s value of %s is %s")
NXR_DEFINE_EXCEPTION_0(CDataBaseInitException, CLogException1, u"CDataBase object failed to initialize")
NXR_DEFINE_EXCEPTION_1(CCloseHandleWarning, CLogWarning, u"Unable to free memory ( %s )")

CXercesException::CXercesException(std::u16string_view a1, NXR_LOG_OPTIONS_DEF)
    : CLogException1(a1, NXR_LOG_OPTIONS_PASS)
{
}

void nxrWarnNullPointer(std::u16string_view member, const char* pszSourceFile, uint32_t ulSourceLine) noexcept
{
    try {
        CLogWarning(nxrFormat(u"Returning NULL pointer ( %s )", {orUnknown(member, u"Unknown Ptr")}),
                    NXR_NO_ERROR_CODE, NXR_RESULT_ERROR_CODE, nullptr, nullptr, pszSourceFile, ulSourceLine);
    } catch (...) {
    }
}

void nxrWarnFreeFailed(std::u16string_view member, const char* pszSourceFile, uint32_t ulSourceLine) noexcept
{
    try {
        CLogWarning(nxrFormat(u"Unable to free memory ( %s )", {orUnknown(member)}), NXR_NO_ERROR_CODE,
                    NXR_RESULT_ERROR_CODE, nullptr, nullptr, pszSourceFile, ulSourceLine);
    } catch (...) {
    }
}

void nxrWarn(std::u16string_view message, uint32_t ulError, const char* pszSourceFile, uint32_t ulSourceLine) noexcept
{
    try {
        CLogWarning(message, ulError, NXR_RESULT_ERROR_CODE, nullptr, nullptr, pszSourceFile, ulSourceLine);
    } catch (...) {
    }
}

void nxrLogUnhandled(uint32_t ulError, const char* pszSourceFile, uint32_t ulSourceLine) noexcept
{
    // Memory that ran out where nothing turned it into a family object is
    // recorded as memory that ran out, not as a mystery.
    try {
        if (const std::exception_ptr pCurrent = std::current_exception())
            std::rethrow_exception(pCurrent);
    } catch (const std::bad_alloc&) {
        try {
            CMemAllocException memory(u"operator new", pszSourceFile, ulSourceLine);
            if (!memory.isLogged())
                memory.log();
        } catch (...) {
        }
        return;
    } catch (...) {
    }
    try {
        // Built with log-when-destroyed and dropped at once, which logs it.
        CLogException1(u"An unhandled exception occurred", ulError, NXR_RESULT_ERROR_CODE, nullptr, nullptr,
                       pszSourceFile, ulSourceLine, NXR_OUTPUT_TEXT, 0, 1);
    } catch (...) {
    }
}

} // namespace nxr
