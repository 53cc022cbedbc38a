// The log on a Linux host, through the built program: whatever the log's name
// points at, the run ends as it would without a log, nothing but the log
// changes, and the log holds whole lines under one byte-order mark.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace nxrtest;

// Each case prepares the scratch folder (shell, run in it), seals report.xml
// with every record going to logs/docseal.log unless the case's own setting
// replaces one, then checks (shell, in it).
TEST(LogHost, WhereverTheLogPoints)
{
    const struct {
        const char *pszCase, *pszSetting, *pszBefore, *pszRunPrefix;
        int status;
        const char* pszAfter;
    } cases[] = {
        {"link", "", "echo keep > target; ln -s \"$PWD/target\" logs/docseal.log", "", 0,
         "[ \"$(cat target)\" = keep ]"},
        {"hard link", "", "echo keep > target; ln target logs/docseal.log", "", 0, "[ \"$(cat target)\" = keep ]"},
        {"dangling link", "", "ln -s \"$PWD/made\" logs/docseal.log", "", 0, "[ ! -e made ]"},
        // Ended by the timeout (status 124) if it blocks.
        {"FIFO", "", "mkfifo logs/docseal.log", "", 0, "true"},
        // A lenient umask: the modes are the log's own.
        {"new folder and file", "", "rmdir logs", "umask 002; ", 0,
         "[ \"$(stat -c %a logs logs/docseal.log)\" = \"750\n640\" ]"},
        // touch, a rotation's create or copytruncate: marked, mode kept.
        {"pre-created empty file", "", "install -m 660 /dev/null logs/docseal.log", "", 0,
         "[ $(stat -c %a logs/docseal.log) = 660 ]"},
        // The log reaches the limit first, in the middle of a line (sh counts
        // 512-byte blocks); the output then fails too.
        {"file-size limit", "", "printf '<a>%030000d</a>' 0 > report.xml", "ulimit -f 8; ", 1,
         "[ $(stat -c %s logs/docseal.log) -gt 2000 ]"},
        // Settings that are a FIFO count as absent, for --help too, never waited on.
        {"settings a FIFO", "", "mkfifo fifo.reg", "DOCSEAL_REGISTRY=\"$PWD/fifo.reg\" ", 0,
         "[ ! -e logs/docseal.log ] && DOCSEAL_REGISTRY=fifo.reg timeout 20 '" DOCSEAL_BIN "' --help >/dev/null"},
        // Not an absolute path: no file anywhere.
        {"drive letter", "\"TextOutput\"=\"C:\\\\Logs\\\\docseal.log\"", "", "", 0,
         "[ \"$(ls -A)\" = \"logs\nreport.xml\nreport.xml.enc\" ]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszCase);
        ScratchDir dir;
        ScopedRegistry reg;
        const std::string log = dir.file("logs/docseal.log"), in = "cd '" + dir.path() + "' && ";
        reg.writeLogsKey({"\"Logging\"=dword:1", "\"LogDetail\"=dword:ffff", "\"TextOutput\"=\"" + log + "\"",
                          c.pszSetting});
        writeFile(dir.file("report.xml"), "<report>caf\xC3\xA9</report>\n");
        std::filesystem::create_directory(dir.file("logs"));
        ASSERT_EQ(run("/bin/sh", {"-c", c.pszBefore}, in).status, 0);
        EXPECT_EQ(run("timeout", {"20", DOCSEAL_BIN, "report.xml", "/encrypt", "pw"}, in + c.pszRunPrefix).status,
                  c.status);
        EXPECT_EQ(run("/bin/sh", {"-c", c.pszAfter}, in).status, 0);
        if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(log)) || std::filesystem::hard_link_count(log) > 1)
            continue;
        // The mark, then whole lines of the usual layout, and no other mark.
        const std::string bytes = readFile(log);
        EXPECT_EQ(bytes.rfind("\xFF\xFE"), 0u);
        EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
        const std::regex layout(R"(<\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}>: <[A-Z_]+> <docseal> .*<[\w.]+, \d+> )");
        for (const auto& line : readLogLines(log))
            ASSERT_TRUE(std::regex_match(line, layout) && line.find(">: <") == line.rfind(">: <")) << line;
    }
}
