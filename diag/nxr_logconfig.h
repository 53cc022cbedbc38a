// Where and whether records are written: the settings under the key
// SOFTWARE\Corvane\Logs, the filter that applies them to a record, the output
// dispatcher and the text file output. Settings are read afresh for every
// record, so an edit counts from the next record; only which levels can pass
// at all is kept, decided again whenever the settings change, so that a
// record no setting lets through costs almost nothing.
#pragma once
#include "nxr_logging.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace nxr {

inline constexpr char16_t NXR_LOG_SETTINGS_KEY[] = u"SOFTWARE\\Corvane\\Logs";
inline constexpr uint32_t NXR_DEFAULT_LOG_DETAIL = 27;

// Detail-mask bits that refine EXIT records.
enum : uint32_t {
    NXR_DETAIL_EXIT_ERROR_CODE = 0x1000,
    NXR_DETAIL_EXIT_BOOLEAN = 0x2000,
    NXR_DETAIL_EXIT_LOGICAL = 0x4000,
};

// Sizes, in bytes of UTF-16 text with its terminating zero, of the buffers the
// string settings are read into; a longer value reads as absent.
inline constexpr size_t NXR_CLASS_LIST_BYTES = 1024;
inline constexpr size_t NXR_TEXT_OUTPUT_BYTES = 256;
inline constexpr size_t NXR_PROGRAM_ENTRY_BYTES = 260;
inline constexpr size_t NXR_LOG_PATH_UNITS = 256;

// The settings reader: one accessor per value; each reads the value afresh.
class CNXRLogSettings {
public:
    static uint32_t logging();
    static uint32_t logDetail();

    // The per-program entry "output mask,detail mask,log-file path" stored
    // under the program's log name.
    static bool programEntryExists(std::u16string_view logName);
    static uint32_t programOutputMask(std::u16string_view logName);
    static uint32_t programDetailMask(std::u16string_view logName);
    static bool programLogPath(std::u16string_view logName, std::u16string& path);

    // Whether the list exists, and whether the class name occurs in it.
    static bool allowObjects(std::u16string_view className, bool& bOccurs);
    static bool excludeObjects(std::u16string_view className, bool& bOccurs);

    // The location of an output by its bit; only the text output has one
    // ("TextOutput").
    static bool outputLocation(uint16_t usOutput, std::u16string& location, size_t ulMaxBytes);
};

// Decides whether a record is written; may fill in its log name and set the
// object's output and detail masks. A per-program entry whose path names a
// readable file (absolute) replaces the level filter: every record of that
// program passes on to the class lists; with any other path none does.
class CNXRLogFilter {
public:
    static bool passes(CNXRLoggingObject& object, CNXRLogRecord& record);
};

// Hands a record to the outputs of a mask, in the order 1, 2, 8, 4, 32, and
// reports it written when any output took it. Only the text output writes,
// and only to an absolute "TextOutput" path.
class CNXRLogOutputs {
public:
    static bool write(uint16_t usOutputMask, CNXRLogRecord& record);
    static bool writeText(CNXRLogRecord& record);
};

} // namespace nxr
