#include "nxr_logconfig.h"

#include "nxr_os_logfile.h"
#include "nxr_os_module.h"
#include "nxr_os_registry.h"
#include "nxr_os_text.h"
#include "nxr_os_time.h"

#include <atomic>

namespace nxr {

namespace {

bool readDword(std::u16string_view name, uint32_t& value)
{
    return os::regQueryDword(NXR_LOG_SETTINGS_KEY, name, value);
}

// Reads a string value into a buffer of ulMaxBytes bytes; a value that does
// not fit with its terminating zero reads as absent.
bool readString(std::u16string_view name, size_t ulMaxBytes, std::u16string& value)
{
    std::u16string text;
    if (!os::regQueryString(NXR_LOG_SETTINGS_KEY, name, text))
        return false;
    if ((text.size() + 1) * sizeof(char16_t) > ulMaxBytes)
        return false;
    value = std::move(text);
    return true;
}

// Reads a signed decimal number the way atoi does: leading blanks, a sign,
// digits up to the first non-digit.
int64_t leadingNumber(std::u16string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    int64_t value = 0;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
        value = value * 10 + (text[i++] - u'0');
        if (value > 0xFFFFFFFFLL)
            value &= 0xFFFFFFFFLL;
    }
    return negative ? -value : value;
}

bool programEntry(std::u16string_view logName, std::u16string& entry)
{
    return readString(logName, NXR_PROGRAM_ENTRY_BYTES, entry);
}

bool classList(std::u16string_view listName, std::u16string_view className, bool& bOccurs)
{
    std::u16string list;
    bOccurs = false;
    if (!readString(listName, NXR_CLASS_LIST_BYTES, list))
        return false;
    bOccurs = list.find(className) != std::u16string::npos;
    return true;
}

// The levels a record may have and still pass, decided once per change of
// the settings: none with logging off, every one with a per-program entry,
// else those of "LogDetail". Kept with the low half of the settings'
// generation it was decided for, in one word that every thread reads whole.
std::atomic<uint64_t> g_ullPassable{0};

uint32_t passableLevels()
{
    const uint64_t ullGeneration = os::regSettingsGeneration() & 0xFFFFFFFF;
    uint64_t ullPassable = g_ullPassable.load(std::memory_order_acquire);
    if ((ullPassable >> 32) != ullGeneration) {
        uint32_t ulLevels = 0;
        const std::string name = os::moduleBaseName();
        if (CNXRLogSettings::logging() != 0 && !name.empty())
            ulLevels = CNXRLogSettings::programEntryExists(os::toUtf16Lossy(name))
                           ? 0xFFFFFFFF
                           : CNXRLogSettings::logDetail() & 0xFFFF;
        ullPassable = ullGeneration << 32 | ulLevels;
        g_ullPassable.store(ullPassable, std::memory_order_release);
    }
    return static_cast<uint32_t>(ullPassable);
}

} // namespace

uint32_t CNXRLogSettings::logging()
{
    uint32_t value = 0;
    return readDword(u"Logging", value) ? value : 0;
}

uint32_t CNXRLogSettings::logDetail()
{
    uint32_t value = 0;
    return readDword(u"LogDetail", value) ? value : NXR_DEFAULT_LOG_DETAIL;
}

bool CNXRLogSettings::programEntryExists(std::u16string_view logName)
{
    std::u16string entry;
    return programEntry(logName, entry);
}

uint32_t CNXRLogSettings::programOutputMask(std::u16string_view logName)
{
    std::u16string entry;
    if (!programEntry(logName, entry))
        return 0;
    return static_cast<uint32_t>(leadingNumber(entry)) & 0xFFFF;
}

uint32_t CNXRLogSettings::programDetailMask(std::u16string_view logName)
{
    std::u16string entry;
    if (!programEntry(logName, entry))
        return 0;
    const auto comma = entry.find(u',');
    if (comma == std::u16string::npos)
        return 0;
    return static_cast<uint32_t>(leadingNumber(std::u16string_view(entry).substr(comma + 1))) & 0xFFFF;
}

bool CNXRLogSettings::programLogPath(std::u16string_view logName, std::u16string& path)
{
    std::u16string entry;
    if (!programEntry(logName, entry))
        return false;
    const auto comma = entry.rfind(u',');
    if (comma == std::u16string::npos)
        return false;
    std::u16string tail = entry.substr(comma + 1);
    if (tail.empty() || tail.size() > NXR_LOG_PATH_UNITS)
        return false;
    path = std::move(tail);
    return true;
}

bool CNXRLogSettings::allowObjects(std::u16string_view className, bool& bOccurs)
{
    return classList(u"AllowObjects", className, bOccurs);
}

bool CNXRLogSettings::excludeObjects(std::u16string_view className, bool& bOccurs)
{
    return classList(u"ExcludeObjects", className, bOccurs);
}

bool CNXRLogSettings::outputLocation(uint16_t usOutput, std::u16string& location, size_t ulMaxBytes)
{
    if (usOutput != NXR_OUTPUT_TEXT)
        return false;
    return readString(u"TextOutput", ulMaxBytes < NXR_TEXT_OUTPUT_BYTES ? ulMaxBytes : NXR_TEXT_OUTPUT_BYTES,
                      location);
}

bool CNXRLogFilter::passes(CNXRLoggingObject& object, CNXRLogRecord& record)
{
    // Most records, a trace with logging off above all, end here at the
    // cost of a clock read; the full decision follows for the others.
    const uint32_t ulPassable = passableLevels();
    object.m_usDetailMask = 0;
    if ((record.ulLevel & ulPassable) != record.ulLevel) {
        object.m_usDetailMask = static_cast<uint16_t>(ulPassable);
        return false;
    }
    if (CNXRLogSettings::logging() == 0)
        return false;

    if (!record.logName) {
        const std::string name = os::moduleBaseName();
        if (name.empty())
            return false;
        record.logName = os::toUtf16Lossy(name);
    }

    if (CNXRLogSettings::programEntryExists(*record.logName)) {
        // The entry's path only gates the program's records; the file they
        // go to is "TextOutput".
        std::u16string path;
        if (!CNXRLogSettings::programLogPath(*record.logName, path) || !os::logPathReadable(os::toUtf8Lossy(path)))
            return false;
        object.m_usDetailMask = static_cast<uint16_t>(CNXRLogSettings::programDetailMask(*record.logName));
        object.m_usOutputMask = static_cast<uint16_t>(CNXRLogSettings::programOutputMask(*record.logName));
    } else {
        const uint32_t detail = CNXRLogSettings::logDetail() & 0xFFFF;
        object.m_usDetailMask = static_cast<uint16_t>(detail);
        if ((record.ulLevel & detail) != record.ulLevel)
            return false;
        if (record.ulLevel == NXR_LEVEL_EXIT) {
            const uint32_t refinements = NXR_DETAIL_EXIT_ERROR_CODE | NXR_DETAIL_EXIT_BOOLEAN | NXR_DETAIL_EXIT_LOGICAL;
            if (record.ulResultKind == NXR_RESULT_ERROR_CODE && (detail & NXR_DETAIL_EXIT_ERROR_CODE)) {
                if (record.ulResultValue == 0)
                    return false;
            } else if (record.ulResultKind == NXR_RESULT_BOOLEAN && (detail & NXR_DETAIL_EXIT_BOOLEAN)) {
                if (record.ulResultValue != 0)
                    return false;
            } else if (record.ulResultKind == NXR_RESULT_LOGICAL && (detail & NXR_DETAIL_EXIT_LOGICAL)) {
                if (record.ulResultValue != 0)
                    return false;
            } else if (detail & refinements) {
                return false;
            }
        }
    }

    if (record.pszClass == nullptr)
        return true;
    const std::u16string_view className(record.pszClass);
    bool bOccurs = false;
    if (CNXRLogSettings::allowObjects(className, bOccurs))
        return bOccurs;
    if (CNXRLogSettings::excludeObjects(className, bOccurs))
        return !bOccurs;
    return true;
}

bool CNXRLogOutputs::write(uint16_t usOutputMask, CNXRLogRecord& record)
{
    static constexpr uint16_t order[] = {NXR_OUTPUT_TEXT, NXR_OUTPUT_XML, NXR_OUTPUT_HTML, NXR_OUTPUT_SERVER,
                                         NXR_OUTPUT_UNKNOWN};
    bool bWritten = false;
    for (const uint16_t bit : order) {
        if ((usOutputMask & bit) == 0)
            continue;
        // Only the text output exists; the others accept nothing. A record
        // that any output took counts as written, so that a catch site does
        // not write it again.
        if (bit == NXR_OUTPUT_TEXT && writeText(record))
            bWritten = true;
    }
    return bWritten;
}

bool CNXRLogOutputs::writeText(CNXRLogRecord& record)
{
    if (!record.logFilePath) {
        std::u16string location;
        // Only an absolute path is used: a relative one (or a Windows one
        // such as C:\Logs\x.log) would put a file in whatever folder the
        // program happens to run from.
        if (!CNXRLogSettings::outputLocation(NXR_OUTPUT_TEXT, location, NXR_TEXT_OUTPUT_BYTES) ||
            location.empty() || location[0] != u'/')
            return false;
        record.logFilePath = std::move(location);
    }
    const std::u16string timeStamp = os::toUtf16Lossy(os::localTimeText());
    return os::appendLogLine(os::toUtf8Lossy(*record.logFilePath), renderLogLine(record, timeStamp));
}

} // namespace nxr
