// Which records reach the log file, under which settings.
#include "nxr_exceptions.h"
#include "nxr_logconfig.h"
#include "nxr_logging.h"
#include "testsupport.h"

#include <gtest/gtest.h>

using namespace nxr;
using nxrtest::fileExists;
using nxrtest::readFile;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;

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

TEST(LogFilter, NothingWithoutLogging)
{
    ScopedRegistry reg;
    // No settings file at all.
    EXPECT_FALSE(emit(NXR_LEVEL_CRITICAL, NXR_RESULT_ERROR_CODE, 1));
    // A file with Logging = 0.
    reg.writeLogsKey({dword("Logging", 0), "\"TextOutput\"=\"" + reg.logPath() + "\""});
    EXPECT_FALSE(emit(NXR_LEVEL_CRITICAL, NXR_RESULT_ERROR_CODE, 1));
    EXPECT_FALSE(fileExists(reg.logPath()));
    // Logging on but no TextOutput: no output accepts the record.
    reg.writeLogsKey({dword("Logging", 1)});
    EXPECT_FALSE(emit(NXR_LEVEL_CRITICAL, NXR_RESULT_ERROR_CODE, 1));
}

TEST(LogFilter, DefaultDetailWritesFailuresButNoTraces)
{
    ScopedRegistry reg;
    reg.writeLogsKey({dword("Logging", 1), "\"TextOutput\"=\"" + reg.logPath() + "\""});
    EXPECT_TRUE(emit(NXR_LEVEL_CRITICAL, NXR_RESULT_ERROR_CODE, 1));
    EXPECT_TRUE(emit(NXR_LEVEL_EXCEPTION_BAD, NXR_RESULT_ERROR_CODE, 1));
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1));
    EXPECT_TRUE(emit(NXR_LEVEL_WARNING, NXR_RESULT_ERROR_CODE, 1));
    EXPECT_FALSE(emit(NXR_LEVEL_EXCEPTION_OK, NXR_RESULT_ERROR_CODE, 1));
    EXPECT_FALSE(emit(NXR_LEVEL_ENTRY, NXR_RESULT_BOOLEAN, 1));
    EXPECT_FALSE(emit(NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 0));
    EXPECT_EQ(readLogLines(reg.logPath()).size(), 4u);
}

TEST(LogFilter, ExitRefinements)
{
    ScopedRegistry reg;
    // EXIT plus the boolean refinement: only failed boolean exits.
    reg.enableLogging(0x2200);
    EXPECT_TRUE(emit(NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 0));
    EXPECT_FALSE(emit(NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 1));
    EXPECT_FALSE(emit(NXR_LEVEL_EXIT, NXR_RESULT_LOGICAL, 0)); // a refinement is set, not this one
    EXPECT_FALSE(emit(NXR_LEVEL_EXIT, NXR_RESULT_RETURN_CODE, 0));
    EXPECT_FALSE(emit(NXR_LEVEL_ENTRY, NXR_RESULT_BOOLEAN, 0));

    reg.enableLogging(0x1200);
    EXPECT_TRUE(emit(NXR_LEVEL_EXIT, NXR_RESULT_ERROR_CODE, 3));
    EXPECT_FALSE(emit(NXR_LEVEL_EXIT, NXR_RESULT_ERROR_CODE, 0));

    reg.enableLogging(0x4200);
    EXPECT_TRUE(emit(NXR_LEVEL_EXIT, NXR_RESULT_LOGICAL, 0));
    EXPECT_FALSE(emit(NXR_LEVEL_EXIT, NXR_RESULT_LOGICAL, 1));

    // Without refinements every EXIT record passes.
    reg.enableLogging(0x200);
    EXPECT_TRUE(emit(NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 1));
    EXPECT_TRUE(emit(NXR_LEVEL_EXIT, NXR_RESULT_RETURN_CODE, 0));
}

TEST(LogFilter, ProgramEntryReplacesDetailAndOutput)
{
    ScopedRegistry reg;
    // The test program's log name is its file name without extension.
    reg.writeLogsKey({dword("Logging", 1), dword("LogDetail", 0), "\"TextOutput\"=\"" + reg.logPath() + "\"",
                      "\"test_diag\"=\"1,0,/var/log/whatever.log\""});
    CNXRDetailedLog rec(NXR_LEVEL_ENTRY, std::nullopt, 0, NXR_RESULT_BOOLEAN, u"CProbe", u"m", __FILE__, __LINE__,
                        4, 0);
    EXPECT_TRUE(rec.log()); // the entry's output mask 1 replaced the object's 4
    EXPECT_EQ(rec.getOutputMask(), 1);
    EXPECT_EQ(rec.getDetailMask(), 0);
    EXPECT_EQ(*rec.record().logName, u"test_diag");

    // The entry's output mask can also turn the text output off.
    reg.writeLogsKey({dword("Logging", 1), "\"TextOutput\"=\"" + reg.logPath() + "\"",
                      "\"test_diag\"=\" 2, 512 ,/x\""});
    CNXRDetailedLog rec2(NXR_LEVEL_ERROR, std::nullopt, 0, NXR_RESULT_BOOLEAN, nullptr, nullptr, nullptr, 0, 1, 0);
    EXPECT_FALSE(rec2.log());
    EXPECT_EQ(rec2.getDetailMask(), 512);

    // An entry without a path does not let anything through.
    reg.writeLogsKey({dword("Logging", 1), "\"TextOutput\"=\"" + reg.logPath() + "\"", "\"test_diag\"=\"1\""});
    EXPECT_FALSE(emit(NXR_LEVEL_CRITICAL, NXR_RESULT_ERROR_CODE, 1));
}

TEST(LogFilter, ClassLists)
{
    ScopedRegistry reg;
    const std::string out = "\"TextOutput\"=\"" + reg.logPath() + "\"";
    reg.writeLogsKey({dword("Logging", 1), out, "\"AllowObjects\"=\"CNXRBuffer CAesKey\""});
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1, u"CNXRBuffer"));
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1, u"CAesKey"));
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1, u"Key")); // a substring of the list
    EXPECT_FALSE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1, u"CSwRNG"));
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1, nullptr));

    // AllowObjects wins over ExcludeObjects.
    reg.writeLogsKey({dword("Logging", 1), out, "\"AllowObjects\"=\"CSwRNG\"", "\"ExcludeObjects\"=\"CSwRNG\""});
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1, u"CSwRNG"));

    reg.writeLogsKey({dword("Logging", 1), out, "\"ExcludeObjects\"=\"CSwRNG\""});
    EXPECT_FALSE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1, u"CSwRNG"));
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1, u"CAesKey"));
}

TEST(LogFilter, SettingsEditedBetweenRecords)
{
    ScopedRegistry reg;
    reg.enableLogging(27);
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1));
    EXPECT_FALSE(emit(NXR_LEVEL_DEBUG, NXR_RESULT_ERROR_CODE, 1));
    reg.enableLogging(32);
    EXPECT_TRUE(emit(NXR_LEVEL_DEBUG, NXR_RESULT_ERROR_CODE, 1));
    EXPECT_FALSE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 1));
    reg.writeLogsKey({dword("Logging", 0)});
    EXPECT_FALSE(emit(NXR_LEVEL_DEBUG, NXR_RESULT_ERROR_CODE, 1));
}

TEST(LogFile, ByteOrderMarkOnceAndLayout)
{
    ScopedRegistry reg;
    reg.enableLogging(27);
    EXPECT_TRUE(emit(NXR_LEVEL_ERROR, NXR_RESULT_ERROR_CODE, 0x10));
    EXPECT_TRUE(emit(NXR_LEVEL_WARNING, NXR_RESULT_ERROR_CODE, 0));
    const std::string raw = readFile(reg.logPath());
    ASSERT_GE(raw.size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(raw[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(raw[1]), 0xFE);
    EXPECT_EQ(raw.find("\xFF\xFE", 2), std::string::npos);
    // UTF-16LE: '<' then a zero byte.
    EXPECT_EQ(raw.substr(2, 2), std::string("<\0", 2));
    EXPECT_EQ(raw.substr(raw.size() - 4), std::string("\r\0\n\0", 4));

    const auto lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 2u);
    // "<Sun Dec  6 07:48:45 2026>: <ERROR> <test_diag> <CProbe::m> "probe" <Error: 0x00000010> <test_logfilter.cpp, N> "
    EXPECT_EQ(lines[0][0], '<');
    EXPECT_EQ(lines[0].substr(25, 3), ">: ");
    EXPECT_NE(lines[0].find(">: <ERROR> <test_diag> <CProbe::m> \"probe\" <Error: 0x00000010> <test_logfilter.cpp, "),
              std::string::npos);
    EXPECT_EQ(lines[0].back(), ' ');
}
