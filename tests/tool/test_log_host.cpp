// The log on a Linux host, through the built program: whatever the log's name
// points at, the run ends as it would without a log, nothing but the log
// changes, and the log holds whole lines under one byte-order mark.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace nxrtest;

namespace {

const std::string kDocument = "<?xml version=\"1.0\"?>\n<report><item>caf\xC3\xA9</item></report>\n";
const std::string kBom = "\xFF\xFE", kLineEnd = std::string("\r\0\n\0", 4);

struct Host {
    ScratchDir dir;
    std::string doc = dir.file("report.xml"), log = dir.file("logs/docseal.log");
};

// A log is empty, or its mark, then lines ending in CR LF, and no other mark.
void expectWholeLines(const std::string& bytes)
{
    if (bytes.empty())
        return;
    EXPECT_EQ(bytes.substr(0, 2), kBom);
    EXPECT_EQ(bytes.find(kBom, 2), std::string::npos);
    EXPECT_EQ(bytes.size() % 2, 0u);
    EXPECT_EQ(bytes.substr(bytes.size() - 4), kLineEnd);
}

// Every record to $LOG (the log's path), unless a line of the case gives
// another value; "$REG" stands for the settings file's path.
std::vector<std::string> settings(const std::vector<std::string>& lines, const Host& h, const ScopedRegistry& reg)
{
    std::vector<std::string> out = lines;
    for (const std::string line : {"\"Logging\"=dword:1", "\"LogDetail\"=dword:ffff", "\"TextOutput\"=\"$LOG\""})
        if (std::none_of(lines.begin(), lines.end(), [&](const auto& l) { return l.find(line.substr(0, 12)) == 0; }))
            out.push_back(line);
    for (auto& line : out)
        for (const auto& [from, to] : {std::pair{"$LOG", h.log}, std::pair{"$REG", reg.path()}})
            if (const auto at = line.find(from); at != std::string::npos)
                line.replace(at, 4, to);
    return out;
}

void expectNothingWrittenBeside(Host& h, ScopedRegistry&)
{
    EXPECT_EQ(namesIn(h.dir.path()), (std::set<std::string>{"report.xml", "report.xml.enc"}));
}

} // namespace

TEST(LogHost, WhereverTheLogPoints)
{
    const auto makeLogs = [](Host& h) { fs::create_directory(h.dir.file("logs")); };
    const struct {
        const char* pszCase;
        std::vector<std::string> settings; // beyond logging everything to $LOG
        std::string prefix;                // shell commands before the run
        int status;
        std::function<void(Host&)> prepare;
        std::function<void(Host&, ScopedRegistry&)> check;
    } cases[] = {
        {"link", {}, "", 0,
         [&](Host& h) {
             makeLogs(h);
             writeFile(h.dir.file("target"), "keep");
             fs::create_symlink(h.dir.file("target"), h.log);
         },
         [](Host& h, ScopedRegistry&) { EXPECT_TRUE(readFile(h.dir.file("target")) == "keep"); }},
        {"dangling link", {}, "", 0,
         [&](Host& h) {
             makeLogs(h);
             fs::create_symlink(h.dir.file("made"), h.log);
         },
         [](Host& h, ScopedRegistry&) { EXPECT_FALSE(fileExists(h.dir.file("made"))); }},
        {"FIFO", {}, "", 0,
         [&](Host& h) {
             makeLogs(h);
             ASSERT_EQ(::mkfifo(h.log.c_str(), 0600), 0);
         },
         nullptr},
        // A lenient umask: the modes are the log's own choice.
        {"new folder and file", {}, "umask 002; ", 0, nullptr,
         [](Host& h, ScopedRegistry&) {
             EXPECT_EQ(modeOf(h.dir.file("logs")), 0750);
             EXPECT_EQ(modeOf(h.log), 0640);
         }},
        // touch, or a rotation's create or copytruncate: one mark, the file's
        // mode kept, and the line layout.
        {"pre-created empty file", {}, "", 0,
         [&](Host& h) {
             makeLogs(h);
             writeFile(h.log, "");
             ::chmod(h.log.c_str(), 0660);
         },
         [](Host& h, ScopedRegistry&) {
             EXPECT_EQ(modeOf(h.log), 0660);
             const auto lines = readLogLines(h.log);
             ASSERT_GT(lines.size(), 10u);
             EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(<\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}>: )"
                                                               R"(<ENTRY> <docseal> <[^>]+> <[\w.]+, \d+> )")))
                 << lines[0];
         }},
        // The log reaches the size limit long before the output does, which
        // then fails too (sh counts 512-byte blocks).
        {"file-size limit", {}, "ulimit -f 8; ", 1,
         [](Host& h) { writeFile(h.doc, "<big>" + std::string(30000, 'x') + "</big>"); },
         [](Host& h, ScopedRegistry&) { EXPECT_GT(readFile(h.log).size(), 2000u); }},
        // Only failed boolean exits, over a run that passes.
        {"0x2200", {"\"LogDetail\"=dword:2200"}, "", 0, nullptr,
         [](Host& h, ScopedRegistry&) {
             const auto lines = readLogLines(h.log);
             const auto destructor = [](const std::string& line) { return line.find("::~") != std::string::npos; };
             EXPECT_EQ(std::count_if(lines.begin(), lines.end(), destructor), 0);
         }},
        // Output mask 3 adds an output that takes nothing: the log holds the
        // same records as with the text output alone, each once (threads
        // make the order vary).
        {"mask 3", {"\"docseal\"=\"3,0,$REG\""}, "", 1, [](Host& h) { writeFile(h.doc, "<a><b></a>"); },
         [](Host& h, ScopedRegistry& reg) {
             const auto body = [](const std::string& path) {
                 std::vector<std::string> lines = readLogLines(path);
                 for (auto& line : lines)
                     line.erase(0, line.find(">: "));
                 std::sort(lines.begin(), lines.end());
                 return lines;
             };
             const auto mask3 = body(h.log);
             fs::remove(h.log);
             reg.writeLogsKey(settings({"\"docseal\"=\"1,0,$REG\""}, h, reg));
             EXPECT_EQ(run(DOCSEAL_BIN, {h.doc, "/encrypt", "pw"}).status, 1);
             EXPECT_TRUE(mask3 == body(h.log) && !mask3.empty());
         }},
        {"relative", {"\"TextOutput\"=\"logs/docseal.log\""}, "cd \"$DIR\"; ", 0, nullptr,
         expectNothingWrittenBeside},
        {"drive letter", {"\"TextOutput\"=\"C:\\\\Logs\\\\docseal.log\""}, "cd \"$DIR\"; ", 0, nullptr,
         expectNothingWrittenBeside},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszCase);
        Host h;
        ScopedRegistry reg;
        writeFile(h.doc, kDocument);
        if (c.prepare)
            c.prepare(h);
        reg.writeLogsKey(settings(c.settings, h, reg));
        std::string prefix = c.prefix;
        if (const auto at = prefix.find("$DIR"); at != std::string::npos)
            prefix.replace(at, 4, h.dir.path());
        // A run that hangs is ended after a while and shows as status 124.
        const RunResult r = run("timeout", {"20", DOCSEAL_BIN, h.doc, "/encrypt", "pw"}, prefix);
        EXPECT_EQ(r.status, c.status);
        if (fs::is_regular_file(fs::symlink_status(h.log)))
            expectWholeLines(readFile(h.log));
        if (c.check)
            c.check(h, reg);
    }
}

// A disk that fills in the middle of a line: the part written is taken back,
// and later lines that fit follow whole ones.
TEST(LogHost, FullDisk)
{
    if (run("unshare", {"-rm", "true"}).status != 0)
        GTEST_SKIP() << "no mount namespace for a small tmpfs";
    Host h;
    ScopedRegistry reg;
    writeFile(h.doc, kDocument);
    fs::create_directory(h.dir.file("logs"));
    reg.writeLogsKey(settings({}, h, reg));
    const std::string copy = h.dir.file("copy.log");
    const RunResult r = run("unshare", {"-rm", "sh", "-c",
                                        "mount -t tmpfs -o size=4k none \"$1\" && \"$2\" \"$3\" /encrypt pw; s=$?; "
                                        "cp \"$1/docseal.log\" \"$4\"; exit $s",
                                        "sh", h.dir.file("logs"), DOCSEAL_BIN, h.doc, copy});
    EXPECT_EQ(r.status, 0);
    const std::string log = readFile(copy);
    EXPECT_GT(log.size(), 2000u);
    expectWholeLines(log);
}
