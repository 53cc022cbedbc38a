// Which records reach the log file, under which settings.
#include "nxr_exceptions.h"
#include "nxr_logconfig.h"
#include "nxr_logging.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <bit>

using namespace nxr;
using namespace nxrtest;

namespace {

// Writes one record of the given shape through the whole log path.
bool emit(uint32_t level, uint32_t kind, uint32_t value, const char16_t* cls = u"CProbe")
{
    CNXRDetailedLog rec(level, std::u16string(u"probe"), value, kind, cls, u"m", __FILE__, __LINE__,
                        NXR_OUTPUT_TEXT, 0);
    return rec.log();
}

std::string dword(const char* name, uint32_t v)
{
    char line[96];
    std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x", name, v);
    return line;
}

} // namespace

// Each case rewrites the settings file, then sends a record of every level
// with the given result: the levels written must be exactly those expected.
// Rewriting before each case also shows that an edit takes effect on the
// next record; the log holds exactly the records reported as written.
TEST(LogFilter, EveryRule)
{
    ScopedRegistry reg;
    EXPECT_FALSE(emit(NXR_LEVEL_CRITICAL, NXR_RESULT_ERROR_CODE, 1)); // no settings file at all

    const std::string on = dword("Logging", 1), out = "\"TextOutput\"=\"" + reg.logPath() + "\"";
    const auto detail = [&](uint32_t d) { return std::vector<std::string>{on, out, dword("LogDetail", d)}; };
    const auto with = [&](const std::string& line) { return std::vector<std::string>{on, out, line}; };
    const std::vector<std::string> allow = with("\"AllowObjects\"=\"CNXRBuffer CAesKey\"");
    const std::vector<std::string> exclude = with("\"ExcludeObjects\"=\"CSwRNG\"");
    const uint32_t kCode = NXR_RESULT_ERROR_CODE, kBool = NXR_RESULT_BOOLEAN, kLogical = NXR_RESULT_LOGICAL;
    const uint32_t kDefault = 27, kExit = NXR_LEVEL_EXIT;
    const struct {
        std::vector<std::string> settings;
        uint32_t kind, value;
        uint32_t ulLevels; // the levels written
        const char16_t* cls = u"CProbe";
    } cases[] = {
        // Without LogDetail: failures and warnings, no traces.
        {{on, out}, kCode, 1, kDefault},
        {{on, out}, kBool, 0, kDefault},
        {detail(NXR_LEVEL_DEBUG | NXR_LEVEL_ENTRY), kCode, 1, NXR_LEVEL_DEBUG | NXR_LEVEL_ENTRY},
        // EXIT alone passes every EXIT record; a refinement lets through only
        // the failed results of its own kind.
        {detail(0x200), kBool, 1, kExit},
        {detail(0x200), NXR_RESULT_RETURN_CODE, 0, kExit},
        {detail(0x2200), kBool, 0, kExit},
        {detail(0x2200), kBool, 1, 0},
        {detail(0x2200), kLogical, 0, 0},
        {detail(0x2200), NXR_RESULT_RETURN_CODE, 0, 0},
        {detail(0x1200), kCode, 3, kExit},
        {detail(0x1200), kCode, 0, 0},
        {detail(0x4200), kLogical, 0, kExit},
        {detail(0x4200), kLogical, 1, 0},
        // A per-program entry without a path, or whose path cannot be read,
        // lets nothing through.
        {with("\"test_diag\"=\"1\""), kCode, 1, 0},
        {with("\"test_diag\"=\"1,0,/no/such/file\""), kCode, 1, 0},
        // The class lists match substrings; records without a class pass;
        // AllowObjects wins over ExcludeObjects.
        {allow, kCode, 1, kDefault, u"CNXRBuffer"},
        {allow, kCode, 1, kDefault, u"CAesKey"},
        {allow, kCode, 1, kDefault, u"Key"},
        {allow, kCode, 1, 0, u"CSwRNG"},
        {allow, kCode, 1, kDefault, nullptr},
        {{on, out, "\"AllowObjects\"=\"CSwRNG\"", "\"ExcludeObjects\"=\"CSwRNG\""}, kCode, 1, kDefault, u"CSwRNG"},
        {exclude, kCode, 1, 0, u"CSwRNG"},
        {exclude, kCode, 1, kDefault, u"CAesKey"},
        // Logging absent or 0; logging on without an output to take it.
        {{out}, kCode, 1, 0},
        {{dword("Logging", 0), out}, kCode, 1, 0},
        {{on}, kCode, 1, 0},
    };
    size_t ulLines = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        reg.writeLogsKey(c.settings);
        uint32_t ulWritten = 0;
        for (uint32_t level = NXR_LEVEL_CRITICAL; level <= NXR_LEVEL_FAILURE; level <<= 1)
            ulWritten |= emit(level, c.kind, c.value, c.cls) ? level : 0;
        EXPECT_EQ(ulWritten, c.ulLevels) << "case " << i;
        ulLines += std::popcount(c.ulLevels);
        EXPECT_EQ(readLogLines(reg.logPath()).size(), ulLines) << "case " << i;
    }
}

TEST(LogFilter, ProgramEntryReplacesDetailAndOutput)
{
    ScopedRegistry reg;
    // The test program's log name is its file name without extension.
    reg.writeLogsKey({dword("Logging", 1), dword("LogDetail", 0), "\"TextOutput\"=\"" + reg.logPath() + "\"",
                      "\"test_diag\"=\"3,0," + reg.path() + "\""});
    CNXRDetailedLog rec(NXR_LEVEL_ENTRY, std::nullopt, 0, NXR_RESULT_BOOLEAN, u"CProbe", u"m", __FILE__, __LINE__,
                        4, 0);
    // The entry's output mask 3 replaced the object's 4; the text output took
    // the record, the XML output nothing, and it counts as written.
    EXPECT_TRUE(rec.log());
    EXPECT_EQ(rec.getOutputMask(), 3);
    EXPECT_EQ(rec.getDetailMask(), 0);
    EXPECT_EQ(*rec.record().logName, u"test_diag");

    // The entry's output mask can also turn the text output off.
    reg.writeLogsKey({dword("Logging", 1), "\"TextOutput\"=\"" + reg.logPath() + "\"",
                      "\"test_diag\"=\" 2, 512 ," + reg.path() + "\""});
    CNXRDetailedLog rec2(NXR_LEVEL_ERROR, std::nullopt, 0, NXR_RESULT_BOOLEAN, nullptr, nullptr, nullptr, 0, 1, 0);
    EXPECT_FALSE(rec2.log());
    EXPECT_EQ(rec2.getDetailMask(), 512);
}
