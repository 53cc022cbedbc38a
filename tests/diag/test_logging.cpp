// Rendering of log records, the exception family and the trace-and-catch
// helper.
#include "nxr_exceptions.h"
#include "nxr_format.h"
#include "nxr_guard.h"
#include "nxr_logging.h"
#include "nxr_os_text.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

using namespace nxr;
using namespace nxrtest;

// Every level's name and values that are no level; the result kinds (error
// codes unless 0, return codes on any level, logical results on EXIT records
// only; the guard's records below show the rest); a class or a method alone; a
// source without a line, or a line without a source.
TEST(LogRendering, LevelsResultsAndNames)
{
    const auto body = [](uint32_t level, uint32_t kind, uint32_t value, const char16_t* cls = nullptr,
                         const char16_t* method = nullptr, const char* file = nullptr, uint32_t line = 0) {
        CNXRLogRecord r;
        r.ulLevel = level, r.ulResultKind = kind, r.ulResultValue = value;
        r.pszClass = cls, r.pszMethod = method, r.pszSourceFile = file, r.ulSourceLine = line;
        return os::toUtf8Lossy(renderRecordBody(r));
    };
    const uint32_t kExit = NXR_LEVEL_EXIT, kCode = NXR_RESULT_ERROR_CODE, kBool = NXR_RESULT_BOOLEAN;
    const char* names[] = {"CRITICAL", "EXCEPTION_BAD", "EXCEPTION_OK", "ERROR", "WARNING", "DEBUG", "INFORMATION",
                           "NOTIFICATION", "ENTRY", "EXIT", "SUCCESS", "FAILURE", "UNSPECIFIED"};
    for (uint32_t i = 0; i < std::size(names); ++i)
        EXPECT_EQ(body(1u << i, kCode, 0), "<" + std::string(names[i]) + "> ");
    EXPECT_EQ(body(3, kCode, 0), "<UNSPECIFIED> ");
    EXPECT_EQ(body(kExit, NXR_RESULT_LOGICAL, 0), "<EXIT> <Failed Logical Result> ");
    EXPECT_EQ(body(kExit, NXR_RESULT_LOGICAL, 7), "<EXIT> <Passed> ");
    EXPECT_EQ(body(NXR_LEVEL_DEBUG, NXR_RESULT_LOGICAL, 0), "<DEBUG> ");
    EXPECT_EQ(body(NXR_LEVEL_ENTRY, NXR_RESULT_RETURN_CODE, 0x2A), "<ENTRY> <Return Code: 0x0000002a> ");
    EXPECT_EQ(body(kExit, kBool, 1, u"CNXRBuffer", nullptr, "C:\\work\\nxr_file.cpp"),
              "<EXIT> <CNXRBuffer> <Passed> <nxr_file.cpp>");
    EXPECT_EQ(body(kExit, kBool, 1, nullptr, u"run", nullptr, 9), "<EXIT> <::run> <Passed> <9> ");
}

// Lines and formatted messages longer than the buffer are cut at its end,
// never inside a surrogate pair (one of the two offsets puts each cut inside
// a pair); a cut line still ends in CR LF.
TEST(LogRendering, LongTextIsCut)
{
    CNXRLogRecord r;
    r.message = std::u16string(5000, u'x');
    const std::u16string line = renderLogLine(r, u"Sun Dec  6 07:48:45 2026");
    EXPECT_EQ(line.size(), NXR_LOG_BUFFER_UNITS - 1);
    EXPECT_TRUE(line.starts_with(u"<Sun Dec  6 07:48:45 2026>: ") && line.ends_with(u"\r\n"));
    EXPECT_EQ(nxrFormat(u"%s", {std::u16string(3000, u'y')}).size(), NXR_LOG_BUFFER_UNITS - 1);
    for (std::u16string text : {u"", u"x"}) {
        while (text.size() < 2000)
            text += u"\U0001F600";
        r.message = text;
        for (const char16_t last : {renderLogLine(r, u"").end()[-3], nxrFormat(u"%s", {text}).back()})
            EXPECT_TRUE(last < 0xD800 || last > 0xDBFF);
    }
}

// Directives take their arguments; a missing argument leaves the directive as
// it stands (nothing is read), and a parser's text is never taken as a format.
TEST(LogFormat, Directives)
{
    EXPECT_EQ(nxrFormat(u"0x%08x|%d|%ld|%u|100%%", {uint32_t{0xBEEF}, int32_t{-42}, int64_t{7}, uint32_t{9}}),
              u"0x0000beef|-42|7|9|100%");
    EXPECT_EQ(nxrFormat(u"%s and %s", {u"one"}), u"one and %s");
    EXPECT_EQ(CXercesException(u"bad %s here", __FILE__, __LINE__).getMessage(), u"bad %s here");
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
// and EXIT records, and not again where it is caught (nor by a copy); anything
// else becomes one "unhandled exception" record with errno. In a constructor
// a family exception goes on as it is, anything else is replaced by the
// class's init exception; either way the constructor's trace fails, while a
// destructor that stores no result and completes during the unwinding passes.
TEST(Guard, ExceptionsWrittenOnceAndConstructorPolicies)
{
    ScopedRegistry reg;
    reg.enableLogging(0xFFF); // every level, no EXIT refinement
    EXPECT_FALSE(failingMethod(true));
    auto lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("<ENTRY> <test_diag> <CGuardProbe::failingMethod> <test_logging.cpp,"), std::string::npos);
    EXPECT_NE(lines[1].find("<EXCEPTION_BAD> <test_diag> \"A bad argument was provided ( ulSize ). value is 0\" <test"),
              std::string::npos);
    EXPECT_NE(lines[2].find("<EXIT> <test_diag> <CGuardProbe::failingMethod> <Failed> "), std::string::npos);

    EXPECT_FALSE(failingMethod(false));
    {
        NXR_TRACE(u"CGuardProbe", u"outOfMemory"); // memory that ran out is told as such
        EXPECT_FALSE(nxrGuard(nxrTrace, false, []() -> bool { throw std::bad_alloc(); }));
    }
    const CRngBadArg thrown(__FILE__, __LINE__);
    EXPECT_TRUE(CRngBadArg(thrown).isLogged());
    EXPECT_THROW(CtorProbe(true), CBadArgException);
    EXPECT_THROW(CtorProbe(false), CNXRBufferInitException);
    lines = readLogLines(reg.logPath());
    const auto count = [&](const std::string& text) {
        return std::count_if(lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != l.npos; });
    };
    EXPECT_EQ(count("\"An unhandled exception occurred\" <Error: 0x00000002> <test_logging.cpp"), 2);
    EXPECT_EQ(count("\"Bad arguement in rng.  Probably zero input buffer\" <test_logging.cpp"), 1);
    EXPECT_EQ(count("\"Unable to allocate memory ( operator new )\" <test_logging.cpp"), 1);
    EXPECT_EQ(count("value is NULL"), 1);
    EXPECT_EQ(count("Unable to initialize CNXRBuffer"), 1);
    EXPECT_EQ(count("<CtorProbe::CtorProbe> <Failed> "), 2);
    EXPECT_EQ(count("<CtorProbe::~Done> <Passed> "), 2);
}
