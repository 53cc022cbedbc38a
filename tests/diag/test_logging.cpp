// Rendering of log records, the exception family and the trace-and-catch
// helper.
#include "nxr_exceptions.h"
#include "nxr_format.h"
#include "nxr_guard.h"
#include "nxr_logging.h"
#include "nxr_os_error.h"
#include "nxr_os_text.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace nxr;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;

namespace {

std::string body(const CNXRLogRecord& r) { return os::toUtf8Lossy(renderRecordBody(r)); }

CNXRLogRecord record(uint32_t level, uint32_t kind, uint32_t value)
{
    CNXRLogRecord r;
    r.ulLevel = level;
    r.ulResultKind = kind;
    r.ulResultValue = value;
    return r;
}

// Lines of the log that contain the given text.
size_t countLines(const std::vector<std::string>& lines, const std::string& text)
{
    size_t n = 0;
    for (const auto& l : lines)
        n += l.find(text) != std::string::npos;
    return n;
}

} // namespace

TEST(LogRendering, LevelNamesAndUnknownValues)
{
    EXPECT_EQ(levelName(NXR_LEVEL_EXCEPTION_BAD), u"EXCEPTION_BAD");
    EXPECT_EQ(levelName(NXR_LEVEL_FAILURE), u"FAILURE");
    EXPECT_EQ(levelName(NXR_LEVEL_ENTRY), u"ENTRY");
    // Combinations and unlisted values are not levels.
    EXPECT_EQ(levelName(3), u"UNSPECIFIED");
    EXPECT_EQ(levelName(4096), u"UNSPECIFIED");
    EXPECT_EQ(body(record(3, NXR_RESULT_BOOLEAN, 0)), "<UNSPECIFIED> ");
}

TEST(LogRendering, ResultKinds)
{
    // Error codes print unless 0 or 0xFFFFFFFF, on any level.
    EXPECT_EQ(body(record(NXR_LEVEL_WARNING, NXR_RESULT_ERROR_CODE, 5)), "<WARNING> <Error: 0x00000005> ");
    EXPECT_EQ(body(record(NXR_LEVEL_WARNING, NXR_RESULT_ERROR_CODE, 0)), "<WARNING> ");
    EXPECT_EQ(body(record(NXR_LEVEL_WARNING, NXR_RESULT_ERROR_CODE, 0xFFFFFFFF)), "<WARNING> ");
    // Boolean and logical results only on EXIT records.
    EXPECT_EQ(body(record(NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 1)), "<EXIT> <Passed> ");
    EXPECT_EQ(body(record(NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 0)), "<EXIT> <Failed> ");
    EXPECT_EQ(body(record(NXR_LEVEL_ENTRY, NXR_RESULT_BOOLEAN, 0)), "<ENTRY> ");
    EXPECT_EQ(body(record(NXR_LEVEL_EXIT, NXR_RESULT_LOGICAL, 0)), "<EXIT> <Failed Logical Result> ");
    EXPECT_EQ(body(record(NXR_LEVEL_EXIT, NXR_RESULT_LOGICAL, 7)), "<EXIT> <Passed> ");
    EXPECT_EQ(body(record(NXR_LEVEL_DEBUG, NXR_RESULT_LOGICAL, 0)), "<DEBUG> ");
    // Return codes on every level.
    EXPECT_EQ(body(record(NXR_LEVEL_ENTRY, NXR_RESULT_RETURN_CODE, 0x2A)), "<ENTRY> <Return Code: 0x0000002a> ");
}

TEST(LogRendering, NamesMessageAndSource)
{
    CNXRLogRecord r = record(NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 1);
    r.logName = u"docseal";
    r.pszClass = u"CNXRBuffer";
    r.pszMethod = u"fill";
    r.message = u"hello";
    r.pszSourceFile = "/src/core/nxr_buffer.h";
    r.ulSourceLine = 120;
    EXPECT_EQ(body(r), "<EXIT> <docseal> <CNXRBuffer::fill> \"hello\" <Passed> <nxr_buffer.h, 120> ");

    r.pszMethod = nullptr;
    r.pszSourceFile = "C:\\work\\nxr_file.cpp";
    r.ulSourceLine = 0;
    EXPECT_EQ(body(r), "<EXIT> <docseal> <CNXRBuffer> \"hello\" <Passed> <nxr_file.cpp>");

    r.pszClass = nullptr;
    r.pszMethod = u"run";
    r.pszSourceFile = nullptr;
    r.ulSourceLine = 9;
    EXPECT_EQ(body(r), "<EXIT> <docseal> <::run> \"hello\" <Passed> <9> ");
}

TEST(LogRendering, LongLinesAreCutAndStillEnd)
{
    CNXRLogRecord r = record(NXR_LEVEL_ERROR, NXR_RESULT_BOOLEAN, 0);
    r.message = std::u16string(5000, u'x');
    const std::u16string line = renderLogLine(r, u"Sun Dec  6 07:48:45 2026");
    EXPECT_EQ(line.size(), NXR_LOG_BUFFER_UNITS - 1);
    EXPECT_EQ(line.substr(line.size() - 2), u"\r\n");
    EXPECT_EQ(line.substr(0, 28), u"<Sun Dec  6 07:48:45 2026>: ");
}

TEST(LogFormat, Directives)
{
    EXPECT_EQ(nxrFormat(u"A bad argument was provided ( %s ). %s", {u"ulOffset", u"value is out of bounds"}),
              u"A bad argument was provided ( ulOffset ). value is out of bounds");
    EXPECT_EQ(nxrFormat(u"0x%08x|%d|%ld|%u|100%%", {uint32_t{0xBEEF}, int32_t{-42}, int64_t{7}, uint32_t{9}}),
              u"0x0000beef|-42|7|9|100%");
    // Missing arguments leave the directive as it stands; nothing is read.
    EXPECT_EQ(nxrFormat(u"%s and %s", {u"one"}), u"one and %s");
    // The result never exceeds the buffer.
    const std::u16string longText(3000, u'y');
    EXPECT_EQ(nxrFormat(u"%s", {longText}).size(), NXR_LOG_BUFFER_UNITS - 1);
}

TEST(Exceptions, MessagesAndResults)
{
    const CBadArgException bad(u"ulOffset", u"value is out of bounds", __FILE__, __LINE__);
    EXPECT_EQ(bad.getMessage(), u"A bad argument was provided ( ulOffset ). value is out of bounds");
    EXPECT_EQ(bad.record().ulLevel, NXR_LEVEL_EXCEPTION_BAD);
    EXPECT_EQ(bad.record().ulResultKind, NXR_RESULT_ERROR_CODE);
    EXPECT_EQ(bad.getResultValue(), NXR_NO_ERROR_CODE);

    const CCreateFileException create(u"", __FILE__, __LINE__, 2);
    EXPECT_EQ(create.getMessage(), u"CreateFile call failed for file:Unknown");
    EXPECT_EQ(create.getResultValue(), 2u);

    // The parser's own text is never taken as a format.
    const CXercesException xerces(u"bad %s here", __FILE__, __LINE__);
    EXPECT_EQ(xerces.getMessage(), u"bad %s here");

    const CCloseHandleWarning warn(u"m_hThread", __FILE__, __LINE__);
    EXPECT_EQ(warn.record().ulLevel, NXR_LEVEL_WARNING);
    EXPECT_EQ(warn.getMessage(), u"Unable to free memory ( m_hThread )");
}

TEST(Exceptions, CopyKeepsFlagsAndRecord)
{
    ScopedRegistry reg;
    reg.enableLogging(27);
    try {
        NXR_THROW(CRngBadArg);
    } catch (const CNXRLoggingObject& e) {
        const auto& copy = dynamic_cast<const CRngBadArg&>(e);
        const CRngBadArg again(copy);
        EXPECT_TRUE(again.isLogged());
        EXPECT_EQ(again.getMessage(), u"Bad arguement in rng.  Probably zero input buffer");
    }
}

TEST(Logging, LastErrorAndErrnoSurviveLogging)
{
    ScopedRegistry reg;
    reg.enableLogging(0xFFFF);
    os::setLastError(1234);
    errno = EACCES;
    CLogWarning w(u"something", 5, NXR_RESULT_ERROR_CODE, u"C", u"m", __FILE__, __LINE__);
    EXPECT_TRUE(w.isLogged());
    EXPECT_EQ(os::getLastError(), 1234u);
    EXPECT_EQ(errno, EACCES);
    // And when the write fails.
    reg.writeLogsKey({"\"Logging\"=dword:1", "\"TextOutput\"=\"/proc/no/such/dir/x.log\""});
    os::setLastError(77);
    CLogWarning w2(u"other", 5, NXR_RESULT_ERROR_CODE, u"C", u"m", __FILE__, __LINE__);
    EXPECT_FALSE(w2.isLogged());
    EXPECT_EQ(os::getLastError(), 77u);
}

namespace {

bool failingMethod()
{
    NXR_TRACE(u"CGuardProbe", u"failingMethod");
    return nxrGuard(nxrTrace, false, [&]() -> bool {
        NXR_THROW(CBadArgException, u"ulSize", u"value is 0");
    });
}

bool foreignFailure()
{
    NXR_TRACE(u"CGuardProbe", u"foreignFailure");
    return nxrGuard(nxrTrace, false, [&]() -> bool {
        errno = ENOENT;
        throw std::runtime_error("not ours");
    });
}

struct CtorProbe {
    explicit CtorProbe(bool bFamily)
    {
        nxrGuardCtor<CNXRBufferInitException>(
            [&] {
                if (bFamily)
                    NXR_THROW(CBadArgException, u"pBuffer", u"value is NULL");
                throw 42;
            },
            NxrCtorFailure::Rethrow, NxrCtorFailure::ThrowInit);
    }
};

} // namespace

TEST(Guard, ExceptionWrittenOnceAtItsThrowSite)
{
    ScopedRegistry reg;
    reg.enableLogging(0xFFFF);
    EXPECT_FALSE(failingMethod());
    const auto lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 3u); // ENTRY, the exception, EXIT
    EXPECT_NE(lines[0].find("<ENTRY> <test_diag> <CGuardProbe::failingMethod> <test_logging.cpp,"), std::string::npos);
    EXPECT_EQ(countLines(lines, "A bad argument was provided ( ulSize ). value is 0"), 1u);
    EXPECT_NE(lines[2].find("<EXIT> <test_diag> <CGuardProbe::failingMethod> <Failed> "), std::string::npos);
}

TEST(Guard, ForeignExceptionsBecomeUnhandledRecords)
{
    ScopedRegistry reg;
    reg.enableLogging(27);
    EXPECT_FALSE(foreignFailure());
    const auto lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("<EXCEPTION_BAD> <test_diag> \"An unhandled exception occurred\" <Error: 0x00000002> "),
              std::string::npos);
}

TEST(Guard, ConstructorPolicies)
{
    ScopedRegistry reg;
    reg.enableLogging(27);
    EXPECT_THROW(CtorProbe(true), CBadArgException);
    EXPECT_THROW(CtorProbe(false), CNXRBufferInitException);
    const auto lines = readLogLines(reg.logPath());
    EXPECT_EQ(countLines(lines, "value is NULL"), 1u);
    EXPECT_EQ(countLines(lines, "An unhandled exception occurred"), 1u);
    EXPECT_EQ(countLines(lines, "Unable to initialize CNXRBuffer"), 1u);
}
