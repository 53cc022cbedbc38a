// Which records reach the log file, under which settings.
#include "nxr_logging.h"
#include "nxr_os_error.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>

using namespace nxr;
using namespace nxrtest;

// Each case rewrites the settings file (so an edit also takes effect on the
// next record), then sends a record of every level with the case's result and
// class: the levels written must be exactly those expected, the log holds
// exactly the records reported as written, and the error code and errno are
// as they were before each record, written or not.
TEST(LogFilter, EveryRule)
{
    ScopedRegistry reg;
    const std::string on = "\"Logging\"=dword:1", out = "\"TextOutput\"=\"" + reg.logPath() + "\"";
    const auto with = [&](const std::string& line) { return std::vector<std::string>{on, out, line}; };
    const auto detail = [&](const char* hex) { return with(std::string("\"LogDetail\"=dword:") + hex); };
    // The per-program entry goes by the log name: the test program's file name.
    const auto entry = [&](const std::string& fields) { return with("\"test_diag\"=\"" + fields + "\""); };
    const auto allow = with("\"AllowObjects\"=\"CNXRBuffer CAesKey\"");
    const uint32_t kCode = NXR_RESULT_ERROR_CODE, kBool = NXR_RESULT_BOOLEAN, kLogical = NXR_RESULT_LOGICAL;
    const uint32_t kDefault = 27, kExit = NXR_LEVEL_EXIT, kAll = 0xFFF;
    const struct {
        std::vector<std::string> settings;
        uint32_t kind, value;
        uint32_t ulLevels; // the levels written
        const char16_t* cls = u"CProbe";
    } cases[] = {
        // Logging absent, 0, or on without an output to take it.
        {{out}, kCode, 1, 0},
        {{"\"Logging\"=dword:0", out}, kCode, 1, 0},
        {{on}, kCode, 1, 0},
        {{on, "\"TextOutput\"=\"/proc/no/such/dir/x.log\""}, kCode, 1, 0},
        // Without LogDetail: failures and warnings, no traces.
        {{on, out}, kCode, 1, kDefault},
        {detail("120"), kCode, 1, NXR_LEVEL_DEBUG | NXR_LEVEL_ENTRY},
        // EXIT alone passes every EXIT record; a refinement lets through only
        // the failed results of its own kind.
        {detail("200"), kBool, 1, kExit},
        {detail("2200"), kBool, 0, kExit},
        {detail("2200"), kBool, 1, 0},
        {detail("2200"), kLogical, 0, 0},
        {detail("1200"), kCode, 3, kExit},
        {detail("1200"), kCode, 0, 0},
        {detail("4200"), kLogical, 0, kExit},
        {detail("4200"), kLogical, 1, 0},
        // A per-program entry replaces the level filter and the output mask
        // (2: an output that takes nothing; 3: the text output took it, which
        // counts), but only with a readable path.
        {entry(" 1, 0 ," + reg.path()), kCode, 1, kAll},
        {entry("2,0," + reg.path()), kCode, 1, 0},
        {entry("3,0," + reg.path()), kCode, 1, kAll},
        {entry("1"), kCode, 1, 0},
        {entry("1,0,/no/such/file"), kCode, 1, 0},
        // The class lists match substrings; records without a class pass;
        // AllowObjects wins over ExcludeObjects.
        {allow, kCode, 1, kDefault, u"Key"},
        {allow, kCode, 1, 0, u"CSwRNG"},
        {allow, kCode, 1, kDefault, nullptr},
        {{on, out, "\"AllowObjects\"=\"CSwRNG\"", "\"ExcludeObjects\"=\"CSwRNG\""}, kCode, 1, kDefault, u"CSwRNG"},
        {with("\"ExcludeObjects\"=\"CSwRNG\""), kCode, 1, 0, u"CSwRNG"},
        {with("\"ExcludeObjects\"=\"CSwRNG\""), kCode, 1, kDefault, u"CAesKey"},
    };
    size_t ulLines = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        reg.writeLogsKey(c.settings);
        uint32_t ulWritten = 0;
        for (uint32_t level = NXR_LEVEL_CRITICAL; level <= NXR_LEVEL_FAILURE; level <<= 1) {
            CNXRDetailedLog rec(level, u"probe", c.value, c.kind, c.cls, u"m", __FILE__, __LINE__, NXR_OUTPUT_TEXT, 0);
            os::setLastError(1234), errno = EACCES;
            ulWritten |= rec.log() ? level : 0;
            EXPECT_TRUE(os::getLastError() == 1234 && errno == EACCES) << "case " << i;
        }
        EXPECT_EQ(ulWritten, c.ulLevels) << "case " << i;
        ulLines += std::popcount(c.ulLevels);
        EXPECT_EQ(readLogLines(reg.logPath()).size(), ulLines) << "case " << i;
    }
}
