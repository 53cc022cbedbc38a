// The logging object family: every trace record, warning and exception of the
// system is a CNXRLoggingObject that carries one log record and can write it
// to the configured outputs.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nxr {

// Levels, one bit each. Any other value prints as UNSPECIFIED.
enum : uint32_t {
    NXR_LEVEL_UNSPECIFIED = 0,
    NXR_LEVEL_CRITICAL = 1,
    NXR_LEVEL_EXCEPTION_BAD = 2,
    NXR_LEVEL_EXCEPTION_OK = 4,
    NXR_LEVEL_ERROR = 8,
    NXR_LEVEL_WARNING = 16,
    NXR_LEVEL_DEBUG = 32,
    NXR_LEVEL_INFORMATION = 64,
    NXR_LEVEL_NOTIFICATION = 128,
    NXR_LEVEL_ENTRY = 256,
    NXR_LEVEL_EXIT = 512,
    NXR_LEVEL_SUCCESS = 1024,
    NXR_LEVEL_FAILURE = 2048,
};

// What the result value of a record means.
enum : uint32_t {
    NXR_RESULT_ERROR_CODE = 0,
    NXR_RESULT_BOOLEAN = 1,
    NXR_RESULT_LOGICAL = 2,
    NXR_RESULT_RETURN_CODE = 3,
};

// The result value that stands for "no error code".
inline constexpr uint32_t NXR_NO_ERROR_CODE = 0xFFFFFFFFu;

// Output bits of an output mask.
enum : uint16_t {
    NXR_OUTPUT_TEXT = 1,
    NXR_OUTPUT_XML = 2,
    NXR_OUTPUT_SERVER = 4,
    NXR_OUTPUT_HTML = 8,
    NXR_OUTPUT_UNKNOWN = 32,
};

// One log record. Class and method names are static texts (string literals);
// the source file is the compiler's __FILE__; the other strings are owned.
struct CNXRLogRecord {
    uint32_t ulLevel = NXR_LEVEL_UNSPECIFIED;
    std::optional<std::u16string> message;
    std::optional<std::u16string> logName;
    std::optional<std::u16string> logFilePath;
    uint32_t ulResultKind = NXR_RESULT_BOOLEAN;
    uint32_t ulResultValue = 0;
    const char16_t* pszClass = nullptr;
    const char16_t* pszMethod = nullptr;
    const char* pszSourceFile = nullptr;
    uint32_t ulSourceLine = 0;
};

// The printed name of a level.
std::u16string_view levelName(uint32_t ulLevel);

// The record's line without its time stamp part and without CR LF (the time
// stamp is prefixed by renderLogLine). Exposed for tests.
std::u16string renderRecordBody(const CNXRLogRecord& record);

// The whole line of a record as the text output writes it: time stamp, body,
// CR LF; at most NXR_LOG_BUFFER_UNITS - 1 code units, always ending in CR LF.
std::u16string renderLogLine(const CNXRLogRecord& record, std::u16string_view timeStamp);

class CNXRLoggingObject {
public:
    CNXRLoggingObject(uint16_t usOutputMask, uint8_t bLogWhenDestroyed)
        : m_bLogWhenDestroyed(bLogWhenDestroyed), m_usOutputMask(usOutputMask)
    {
    }
    CNXRLoggingObject(const CNXRLoggingObject&) = default;
    CNXRLoggingObject& operator=(const CNXRLoggingObject&) = default;
    virtual ~CNXRLoggingObject() = default;

    // Writes the record to the outputs if the settings let it through.
    // Never throws; keeps the thread's last-error value and errno unchanged.
    virtual bool log() = 0;

    bool isLogged() const { return m_bLogged != 0; }
    uint16_t getOutputMask() const { return m_usOutputMask; }
    uint16_t getDetailMask() const { return m_usDetailMask; }

protected:
    friend class CNXRLogFilter;
    uint8_t m_bLogWhenDestroyed = 0;
    uint16_t m_usOutputMask = NXR_OUTPUT_TEXT;
    uint16_t m_usDetailMask = 0;
    uint8_t m_bLogged = 0;
};

class CNXRDetailedLog : public CNXRLoggingObject {
public:
    CNXRDetailedLog(uint32_t ulLevel, std::optional<std::u16string> message, uint32_t ulResultValue,
                    uint32_t ulResultKind, const char16_t* pszClass, const char16_t* pszMethod,
                    const char* pszSourceFile, uint32_t ulSourceLine, uint16_t usOutputMask,
                    uint8_t bLogWhenDestroyed);
    CNXRDetailedLog(const CNXRDetailedLog&) = default;
    CNXRDetailedLog& operator=(const CNXRDetailedLog&) = default;
    ~CNXRDetailedLog() override;

    bool log() override;

    const CNXRLogRecord& record() const { return m_record; }

protected:
    CNXRLogRecord m_record;
};

// The entry/exit trace of a method: logs an ENTRY record when built and an
// EXIT record, with the result stored in it, when destroyed. A method that
// stores no result (a destructor, a method without a failure value) passes
// when it completes; one left by an exception fails, whatever it stored.
class CFunctionTrace : public CNXRDetailedLog {
public:
    CFunctionTrace(const char16_t* pszClass, const char16_t* pszMethod, const char* pszSourceFile,
                   uint32_t ulSourceLine);
    ~CFunctionTrace() override;
    CFunctionTrace(const CFunctionTrace&) = delete;
    CFunctionTrace& operator=(const CFunctionTrace&) = delete;

    // Result of a method returning a boolean or an object (an object is 1).
    bool setResult(bool bResult)
    {
        m_record.ulResultKind = NXR_RESULT_BOOLEAN;
        m_record.ulResultValue = bResult ? 1 : 0;
        return bResult;
    }
    // Result of a logical test (isValid-style methods).
    bool setLogicalResult(bool bResult)
    {
        m_record.ulResultKind = NXR_RESULT_LOGICAL;
        m_record.ulResultValue = bResult ? 1 : 0;
        return bResult;
    }
    // A numeric return code.
    uint32_t setReturnCode(uint32_t ulCode)
    {
        m_record.ulResultKind = NXR_RESULT_RETURN_CODE;
        m_record.ulResultValue = ulCode;
        return ulCode;
    }

private:
    // Exceptions in flight when the method was entered; more on leaving
    // means one is passing through it.
    int m_iUncaughtAtEntry;
};

// Records made on a thread while a hold is current there are kept instead of
// written; whoever owns the hold writes them later, in order (replay), or
// drops them. Work that runs beside the caller records its verdict this way
// only when the verdict is used.
class CNXRHeldRecords {
public:
    CNXRHeldRecords() = default;
    CNXRHeldRecords(const CNXRHeldRecords&) = delete;
    CNXRHeldRecords& operator=(const CNXRHeldRecords&) = delete;

    // Makes the hold current on the calling thread for the scope's life.
    class CScope {
    public:
        explicit CScope(CNXRHeldRecords& held);
        ~CScope();
        CScope(const CScope&) = delete;
        CScope& operator=(const CScope&) = delete;

    private:
        CNXRHeldRecords* m_pPrevious;
    };

    // Writes the kept records through the settings and outputs, then
    // forgets them; the first failure among them counts as the run's if none
    // came before. Not while the hold is current anywhere.
    void replay();
    // Whether the calling thread's records are held.
    static bool isHolding();

private:
    friend class CNXRDetailedLog;
    std::vector<CNXRDetailedLog> m_records;
};

} // namespace nxr
