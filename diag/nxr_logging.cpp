#include "nxr_logging.h"

#include "nxr_firstfailure.h"
#include "nxr_format.h"
#include "nxr_logconfig.h"
#include "nxr_os_error.h"
#include "nxr_os_text.h"

#include <exception>

namespace nxr {

std::u16string_view levelName(uint32_t ulLevel)
{
    switch (ulLevel) {
    case NXR_LEVEL_CRITICAL: return u"CRITICAL";
    case NXR_LEVEL_EXCEPTION_BAD: return u"EXCEPTION_BAD";
    case NXR_LEVEL_EXCEPTION_OK: return u"EXCEPTION_OK";
    case NXR_LEVEL_ERROR: return u"ERROR";
    case NXR_LEVEL_WARNING: return u"WARNING";
    case NXR_LEVEL_DEBUG: return u"DEBUG";
    case NXR_LEVEL_INFORMATION: return u"INFORMATION";
    case NXR_LEVEL_NOTIFICATION: return u"NOTIFICATION";
    case NXR_LEVEL_ENTRY: return u"ENTRY";
    case NXR_LEVEL_EXIT: return u"EXIT";
    case NXR_LEVEL_SUCCESS: return u"SUCCESS";
    case NXR_LEVEL_FAILURE: return u"FAILURE";
    default: return u"UNSPECIFIED";
    }
}

std::u16string renderRecordBody(const CNXRLogRecord& r)
{
    std::u16string line;
    line += u"<";
    line += levelName(r.ulLevel);
    line += u"> ";
    if (r.logName) {
        line += u"<";
        line += *r.logName;
        line += u"> ";
    }
    if (r.pszClass || r.pszMethod) {
        line += u"<";
        if (r.pszClass)
            line += r.pszClass;
        if (r.pszMethod) {
            line += u"::";
            line += r.pszMethod;
        }
        line += u"> ";
    }
    if (r.message) {
        line += u"\"";
        line += *r.message;
        line += u"\" ";
    }
    const bool bExit = r.ulLevel == NXR_LEVEL_EXIT;
    switch (r.ulResultKind) {
    case NXR_RESULT_ERROR_CODE:
        if (r.ulResultValue != 0 && r.ulResultValue != NXR_NO_ERROR_CODE)
            line += nxrFormat(u"<Error: 0x%08x> ", {r.ulResultValue});
        break;
    case NXR_RESULT_BOOLEAN:
        if (bExit)
            line += r.ulResultValue ? u"<Passed> " : u"<Failed> ";
        break;
    case NXR_RESULT_LOGICAL:
        if (bExit)
            line += r.ulResultValue ? u"<Passed> " : u"<Failed Logical Result> ";
        break;
    case NXR_RESULT_RETURN_CODE:
        line += nxrFormat(u"<Return Code: 0x%08x> ", {r.ulResultValue});
        break;
    default:
        break;
    }
    if (r.pszSourceFile) {
        std::string_view file(r.pszSourceFile);
        const auto cut = file.find_last_of("/\\");
        if (cut != std::string_view::npos)
            file.remove_prefix(cut + 1);
        line += u"<";
        line += os::toUtf16Lossy(file);
        if (r.ulSourceLine != 0)
            line += nxrFormat(u", %u> ", {r.ulSourceLine});
        else
            line += u">";
    } else if (r.ulSourceLine != 0) {
        line += nxrFormat(u"<%u> ", {r.ulSourceLine});
    }
    return line;
}

std::u16string renderLogLine(const CNXRLogRecord& record, std::u16string_view timeStamp)
{
    std::u16string line;
    if (!timeStamp.empty()) {
        line += u"<";
        line += timeStamp;
        line += u">: ";
    }
    line += renderRecordBody(record);
    // The line is composed in a buffer of NXR_LOG_BUFFER_UNITS units; a longer
    // one is cut so that the line end still fits.
    nxrCutText(line, NXR_LOG_BUFFER_UNITS - 1 - 2);
    line += u"\r\n";
    return line;
}

CNXRDetailedLog::CNXRDetailedLog(uint32_t ulLevel, std::optional<std::u16string> message, uint32_t ulResultValue,
                                 uint32_t ulResultKind, const char16_t* pszClass, const char16_t* pszMethod,
                                 const char* pszSourceFile, uint32_t ulSourceLine, uint16_t usOutputMask,
                                 uint8_t bLogWhenDestroyed)
    : CNXRLoggingObject(usOutputMask, bLogWhenDestroyed)
{
    m_record.ulLevel = ulLevel;
    m_record.message = std::move(message);
    m_record.ulResultValue = ulResultValue;
    m_record.ulResultKind = ulResultKind;
    m_record.pszClass = pszClass;
    m_record.pszMethod = pszMethod;
    m_record.pszSourceFile = pszSourceFile;
    m_record.ulSourceLine = ulSourceLine;
}

CNXRDetailedLog::~CNXRDetailedLog()
{
    if (m_bLogWhenDestroyed)
        log();
}

namespace {
thread_local CNXRHeldRecords* t_pHeld = nullptr;
}

CNXRHeldRecords::CScope::CScope(CNXRHeldRecords& held) : m_pPrevious(t_pHeld) { t_pHeld = &held; }

CNXRHeldRecords::CScope::~CScope() { t_pHeld = m_pPrevious; }

void CNXRHeldRecords::replay()
{
    std::vector<CNXRDetailedLog> records;
    records.swap(m_records);
    for (CNXRDetailedLog& record : records) {
        const CNXRLogRecord& r = record.record();
        if (r.ulLevel == NXR_LEVEL_EXCEPTION_BAD && r.message)
            nxrRememberFailure(*r.message, r.ulResultValue, r.pszSourceFile);
        record.log();
    }
}

bool CNXRHeldRecords::isHolding() { return t_pHeld != nullptr; }

bool CNXRDetailedLog::log()
{
    os::CLastErrorKeeper keeper;
    try {
        if (t_pHeld) {
            // Only what the settings let through is kept (a trace at the
            // default detail is not), so a long piece of work holds no more
            // than it would write, and failures, which replay reports as the
            // run's first when they come first; the copy is written by
            // replay, once.
            if (m_record.ulLevel != NXR_LEVEL_EXCEPTION_BAD && !CNXRLogFilter::passes(*this, m_record))
                return false;
            CNXRDetailedLog& kept = t_pHeld->m_records.emplace_back(*this);
            kept.m_bLogWhenDestroyed = 0;
            kept.m_bLogged = 0;
            m_bLogged = 1;
            return true;
        }
        if (!CNXRLogFilter::passes(*this, m_record))
            return false;
        if (!CNXRLogOutputs::write(m_usOutputMask, m_record))
            return false;
        m_bLogged = 1;
        return true;
    } catch (...) {
        // Logging never lets a failure of its own reach the code that logs.
        return false;
    }
}

CFunctionTrace::CFunctionTrace(const char16_t* pszClass, const char16_t* pszMethod, const char* pszSourceFile,
                               uint32_t ulSourceLine)
    : CNXRDetailedLog(NXR_LEVEL_ENTRY, std::nullopt, 1, NXR_RESULT_BOOLEAN, pszClass, pszMethod, pszSourceFile,
                      ulSourceLine, NXR_OUTPUT_TEXT, 1),
      m_iUncaughtAtEntry(std::uncaught_exceptions())
{
    log();
}

CFunctionTrace::~CFunctionTrace()
{
    m_record.ulLevel = NXR_LEVEL_EXIT;
    if (std::uncaught_exceptions() > m_iUncaughtAtEntry) {
        m_record.ulResultKind = NXR_RESULT_BOOLEAN;
        m_record.ulResultValue = 0;
    }
    // The base destructor logs the EXIT record (log-when-destroyed is set).
}

} // namespace nxr
