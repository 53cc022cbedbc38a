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

#include <algorithm>
#include <stdexcept>

using namespace nxr;
using namespace nxrtest;

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
    return std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != std::string::npos; });
}

} // namespace

// Level names, values that are no level (combinations, unlisted bits), and
// each result kind: error codes unless 0 or 0xFFFFFFFF and return codes on
// any level, boolean and logical results on EXIT records only.
TEST(LogRendering, LevelsAndResults)
{
    const struct {
        uint32_t level, kind, value;
        const char* pszBody;
    } cases[] = {
        {NXR_LEVEL_FAILURE, NXR_RESULT_BOOLEAN, 0, "<FAILURE> "},
        {3, NXR_RESULT_BOOLEAN, 0, "<UNSPECIFIED> "},
        {4096, NXR_RESULT_BOOLEAN, 0, "<UNSPECIFIED> "},
        {NXR_LEVEL_WARNING, NXR_RESULT_ERROR_CODE, 5, "<WARNING> <Error: 0x00000005> "},
        {NXR_LEVEL_WARNING, NXR_RESULT_ERROR_CODE, 0, "<WARNING> "},
        {NXR_LEVEL_WARNING, NXR_RESULT_ERROR_CODE, 0xFFFFFFFF, "<WARNING> "},
        {NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 1, "<EXIT> <Passed> "},
        {NXR_LEVEL_EXIT, NXR_RESULT_BOOLEAN, 0, "<EXIT> <Failed> "},
        {NXR_LEVEL_ENTRY, NXR_RESULT_BOOLEAN, 0, "<ENTRY> "},
        {NXR_LEVEL_EXIT, NXR_RESULT_LOGICAL, 0, "<EXIT> <Failed Logical Result> "},
        {NXR_LEVEL_EXIT, NXR_RESULT_LOGICAL, 7, "<EXIT> <Passed> "},
        {NXR_LEVEL_DEBUG, NXR_RESULT_LOGICAL, 0, "<DEBUG> "},
        {NXR_LEVEL_ENTRY, NXR_RESULT_RETURN_CODE, 0x2A, "<ENTRY> <Return Code: 0x0000002a> "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(body(record(c.level, c.kind, c.value)), c.pszBody);
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

// Lines and formatted messages longer than the buffer are cut at its end; a
// cut line still ends in CR LF.
TEST(LogRendering, LongTextIsCut)
{
    CNXRLogRecord r = record(NXR_LEVEL_ERROR, NXR_RESULT_BOOLEAN, 0);
    r.message = std::u16string(5000, u'x');
    const std::u16string line = renderLogLine(r, u"Sun Dec  6 07:48:45 2026");
    EXPECT_EQ(line.size(), NXR_LOG_BUFFER_UNITS - 1);
    EXPECT_EQ(line.substr(line.size() - 2), u"\r\n");
    EXPECT_EQ(line.substr(0, 28), u"<Sun Dec  6 07:48:45 2026>: ");
    EXPECT_EQ(nxrFormat(u"%s", {std::u16string(3000, u'y')}).size(), NXR_LOG_BUFFER_UNITS - 1);
    // Nor does a cut leave half a surrogate pair (one of the two offsets puts
    // each cut inside a pair).
    for (std::u16string text : {u"", u"x"}) {
        while (text.size() < 2000)
            text += u"\U0001F600";
        r.message = text;
        const char16_t lastLine = renderLogLine(r, u"").end()[-3], lastFormatted = nxrFormat(u"%s", {text}).back();
        EXPECT_TRUE(lastLine < 0xD800 || lastLine > 0xDBFF);
        EXPECT_TRUE(lastFormatted < 0xD800 || lastFormatted > 0xDBFF);
    }
}

TEST(LogFormat, Directives)
{
    EXPECT_EQ(nxrFormat(u"A bad argument was provided ( %s ). %s", {u"ulOffset", u"value is out of bounds"}),
              u"A bad argument was provided ( ulOffset ). value is out of bounds");
    EXPECT_EQ(nxrFormat(u"0x%08x|%d|%ld|%u|100%%", {uint32_t{0xBEEF}, int32_t{-42}, int64_t{7}, uint32_t{9}}),
              u"0x0000beef|-42|7|9|100%");
    // Missing arguments leave the directive as it stands; nothing is read.
    EXPECT_EQ(nxrFormat(u"%s and %s", {u"one"}), u"one and %s");
}

TEST(Exceptions, MessagesAndResults)
{
    const CCreateFileException create(u"", __FILE__, __LINE__, 2);
    EXPECT_EQ(create.getMessage(), u"CreateFile call failed for file:Unknown");
    EXPECT_EQ(create.getResultValue(), 2u);
    // The parser's own text is never taken as a format.
    EXPECT_EQ(CXercesException(u"bad %s here", __FILE__, __LINE__).getMessage(), u"bad %s here");
    const CCloseHandleWarning warn(u"m_hThread", __FILE__, __LINE__);
    EXPECT_EQ(warn.record().ulLevel, NXR_LEVEL_WARNING);
    EXPECT_EQ(warn.getMessage(), u"Unable to free memory ( m_hThread )");

    // A copy of a thrown exception knows it was written already.
    ScopedRegistry reg;
    reg.enableLogging(27);
    try {
        NXR_THROW(CRngBadArg);
    } catch (const CNXRLoggingObject& e) {
        const CRngBadArg copy(dynamic_cast<const CRngBadArg&>(e));
        EXPECT_TRUE(copy.isLogged());
        EXPECT_EQ(copy.getMessage(), u"Bad arguement in rng.  Probably zero input buffer");
    }
}

// The error code and errno are as they were after a record, written or not.
TEST(Logging, LastErrorAndErrnoSurviveLogging)
{
    ScopedRegistry reg;
    for (const bool bWritable : {true, false}) {
        if (bWritable)
            reg.enableLogging(0xFFFF);
        else
            reg.writeLogsKey({"\"Logging\"=dword:1", "\"TextOutput\"=\"/proc/no/such/dir/x.log\""});
        os::setLastError(1234);
        errno = EACCES;
        CLogWarning w(u"something", 5, NXR_RESULT_ERROR_CODE, u"C", u"m", __FILE__, __LINE__);
        EXPECT_EQ(w.isLogged(), bWritable);
        EXPECT_EQ(os::getLastError(), 1234u);
        EXPECT_EQ(errno, EACCES);
    }
}

namespace {

// Throws one of the family, or something foreign after setting errno.
bool failingMethod(bool bFamily)
{
    NXR_TRACE(u"CGuardProbe", u"failingMethod");
    return nxrGuard(nxrTrace, false, [&]() -> bool {
        if (bFamily)
            NXR_THROW(CBadArgException, u"ulSize", u"value is 0");
        errno = ENOENT;
        throw std::runtime_error("not ours");
    });
}

struct CtorProbe {
    explicit CtorProbe(bool bFamily)
    {
        NXR_TRACE(u"CtorProbe", u"CtorProbe");
        const struct Done {
            ~Done() { NXR_TRACE(u"CtorProbe", u"~Done"); }
        } done;
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

// A family exception is written once, at its throw site, between the ENTRY
// and EXIT records, and not again where it is caught; anything else becomes
// one "unhandled exception" record with errno.
TEST(Guard, ExceptionWrittenOnceAtItsThrowSite)
{
    ScopedRegistry reg;
    reg.enableLogging(0xFFFF);
    EXPECT_FALSE(failingMethod(true));
    auto lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("<ENTRY> <test_diag> <CGuardProbe::failingMethod> <test_logging.cpp,"), std::string::npos);
    EXPECT_NE(lines[1].find("<EXCEPTION_BAD> <test_diag> \"A bad argument was provided ( ulSize ). value is 0\" "),
              std::string::npos);
    EXPECT_NE(lines[2].find("<EXIT> <test_diag> <CGuardProbe::failingMethod> <Failed> "), std::string::npos);

    reg.enableLogging(27);
    EXPECT_FALSE(failingMethod(false));
    lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[3].find("<EXCEPTION_BAD> <test_diag> \"An unhandled exception occurred\" <Error: 0x00000002> "),
              std::string::npos);
}

// In a constructor a family exception goes on as it is; anything else is
// recorded and replaced by the class's init exception. Either way the
// constructor's trace fails; a destructor that stores no result and completes
// (while the exception unwinds) passes.
TEST(Guard, ConstructorPolicies)
{
    ScopedRegistry reg;
    reg.enableLogging(27 | NXR_LEVEL_EXIT);
    EXPECT_THROW(CtorProbe(true), CBadArgException);
    EXPECT_THROW(CtorProbe(false), CNXRBufferInitException);
    const auto lines = readLogLines(reg.logPath());
    EXPECT_EQ(countLines(lines, "value is NULL"), 1u);
    EXPECT_EQ(countLines(lines, "An unhandled exception occurred"), 1u);
    EXPECT_EQ(countLines(lines, "Unable to initialize CNXRBuffer"), 1u);
    EXPECT_EQ(countLines(lines, "<CtorProbe::CtorProbe> <Failed> "), 2u);
    EXPECT_EQ(countLines(lines, "<CtorProbe::~Done> <Passed> "), 2u);
}
