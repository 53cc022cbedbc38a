// The log on a Linux host, through the built program: whatever the log's name
// points at, the run ends as it would without a log, nothing but the log
// changes, and the log holds whole lines under one byte-order mark.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace nxrtest;

namespace {

// Every record to the log, unless the case's own value replaces one (the
// last of a name counts).
void writeSettings(ScopedRegistry& reg, const std::string& log, const std::string& own)
{
    reg.writeLogsKey({"\"Logging\"=dword:1", "\"LogDetail\"=dword:ffff", "\"TextOutput\"=\"" + log + "\"", own});
}

// A log is its mark, then whole lines of the usual layout, and no other mark.
void expectWholeLines(const std::string& path)
{
    const std::string bytes = readFile(path);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(bytes.find("\xFF\xFE", 2), std::string::npos);
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
    const std::regex layout(R"(<\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}>: <[A-Z_]+> <docseal> .*<[\w.]+, \d+> )");
    for (const auto& line : readLogLines(path))
        ASSERT_TRUE(std::regex_match(line, layout) && line.find(">: <") == line.rfind(">: <")) << line;
}

} // namespace

// Each case prepares the scratch folder (shell, run in it), seals report.xml
// with logging to logs/docseal.log, then checks (shell, in it; t prints the
// log as UTF-8).
TEST(LogHost, WhereverTheLogPoints)
{
    const struct {
        const char *pszCase, *pszSettings, *pszBefore, *pszRunPrefix;
        int status;
        const char* pszAfter;
    } cases[] = {
        {"link", "", "echo keep > target; ln -s \"$PWD/target\" logs/docseal.log", "", 0,
         "[ \"$(cat target)\" = keep ]"},
        {"dangling link", "", "ln -s \"$PWD/made\" logs/docseal.log", "", 0, "[ ! -e made ]"},
        // Ended by the timeout (status 124) if it blocks.
        {"FIFO", "", "mkfifo logs/docseal.log", "", 0, "true"},
        // A lenient umask: the modes are the log's own.
        {"new folder and file", "", "rmdir logs", "umask 002; ", 0,
         "[ \"$(stat -c %a logs logs/docseal.log)\" = \"750\n640\" ]"},
        // touch, a rotation's create or copytruncate: marked, mode kept.
        {"pre-created empty file", "", "install -m 660 /dev/null logs/docseal.log", "", 0,
         "[ $(stat -c %a logs/docseal.log) = 660 ]"},
        // The log reaches the limit first (sh counts 512-byte blocks); the
        // output then fails too.
        {"file-size limit", "", "printf '<a>%030000d</a>' 0 > report.xml",
         "ulimit -f 8; ", 1, "[ $(stat -c %s logs/docseal.log) -gt 2000 ]"},
        // Only failed boolean exits over a passing run: no destructor.
        {"0x2200", "\"LogDetail\"=dword:2200", "", "", 0, "! t | grep -q '::~'"},
        // Mask 3 adds an output that takes nothing: the parser's exception
        // is written once.
        {"mask 3", "\"docseal\"=\"3,0,$REG\"", "echo '<a><b></a>' > report.xml", "", 1,
         "[ $(t | grep -c EXCEPTION_BAD) = 1 ]"},
        {"relative", "\"TextOutput\"=\"logs/docseal.log\"", "", "", 0, "[ \"$(ls logs)\" = '' ]"},
        {"drive letter", "\"TextOutput\"=\"C:\\\\Logs\\\\docseal.log\"", "", "", 0,
         "[ \"$(ls)\" = \"logs\nreport.xml\nreport.xml.enc\" ]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszCase);
        ScratchDir dir;
        ScopedRegistry reg;
        const std::string log = dir.file("logs/docseal.log"), in = "cd '" + dir.path() + "' && ";
        std::string settings = c.pszSettings;
        if (const auto at = settings.find("$REG"); at != std::string::npos)
            settings.replace(at, 4, reg.path());
        writeSettings(reg, log, settings);
        writeFile(dir.file("report.xml"), "<report>caf\xC3\xA9</report>\n");
        std::filesystem::create_directory(dir.file("logs"));
        ASSERT_EQ(run("/bin/sh", {"-c", c.pszBefore}, in).status, 0);
        EXPECT_EQ(run("timeout", {"20", DOCSEAL_BIN, "report.xml", "/encrypt", "pw"}, in + c.pszRunPrefix).status,
                  c.status);
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(log)))
            expectWholeLines(log);
        const std::string check = std::string("t() { iconv -f UTF-16 -t UTF-8 logs/docseal.log; }; ") + c.pszAfter;
        EXPECT_EQ(run("/bin/sh", {"-c", check}, in).status, 0);
    }
}

// A disk that fills in the middle of a line: the part written is taken back.
TEST(LogHost, FullDisk)
{
    if (run("unshare", {"-rm", "true"}).status != 0)
        GTEST_SKIP() << "no mount namespace for a small file system";
    ScratchDir dir;
    ScopedRegistry reg;
    writeSettings(reg, dir.file("logs/docseal.log"), "");
    writeFile(dir.file("report.xml"), "<report/>");
    std::filesystem::create_directory(dir.file("logs"));
    EXPECT_EQ(run("unshare", {"-rm", "sh", "-c",
                              "mount -t tmpfs -o size=4k none logs && \"$0\" report.xml /encrypt pw; s=$?; "
                              "cp logs/docseal.log full.log; exit $s",
                              DOCSEAL_BIN},
                  "cd '" + dir.path() + "' && ")
                  .status,
              0);
    expectWholeLines(dir.file("full.log"));
    EXPECT_GT(readFile(dir.file("full.log")).size(), 2000u);
}
