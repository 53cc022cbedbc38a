// docseal end to end: the built program run in scratch folders.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;
using namespace nxrtest;

namespace {

const std::string kDocument = "<?xml version=\"1.0\"?>\n<report id=\"7\"><item>caf\xC3\xA9 &amp; more</item></report>\n";

struct RunResult {
    int status = -1;
    std::string out;
};

// Runs the program through the shell, every argument quoted as it is, after
// the shell commands in prefix; collects its standard output.
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& prefix = "")
{
    const auto quoted = [](const std::string& word) {
        std::string out = "'";
        for (const char c : word)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    };
    std::string command = prefix + "exec " + quoted(program);
    for (const auto& arg : args)
        command += " " + quoted(arg);
    RunResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    char chunk[4096];
    for (size_t n; pipe && (n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;)
        result.out.append(chunk, n);
    const int status = pipe ? ::pclose(pipe) : -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult docseal(const std::vector<std::string>& args) { return run(DOCSEAL_BIN, args); }

std::set<std::string> namesIn(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

int modeOf(const std::string& path) { return static_cast<int>(fs::status(path).permissions()); }

class Docseal : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string doc = dir.file("report.xml");
    void SetUp() override { writeFile(doc, kDocument); }
};

} // namespace

// Mode 2 with a passphrase, mode 1 with the built-in key (which opens whatever
// passphrase is given, and whose container may be sealed again).
TEST_F(Docseal, SealsAndOpens)
{
    for (const std::string pass : {"s3cret pass", ""}) {
        SCOPED_TRACE(pass);
        const RunResult sealed = pass.empty() ? docseal({doc, "/encrypt"}) : docseal({doc, "/encrypt", pass});
        EXPECT_EQ(sealed.status, 0);
        EXPECT_NE(sealed.out.find("sealed"), std::string::npos);
        EXPECT_EQ(readFile(doc), kDocument); // the input is untouched
        // The mode, three zero bytes, the length (little-endian), whole blocks.
        const std::string container = readFile(doc + ".enc");
        const char mode = pass.empty() ? 1 : 2;
        EXPECT_EQ(container.substr(0, 8), std::string({mode, 0, 0, 0, char(kDocument.size()), 0, 0, 0}));
        EXPECT_EQ(container.size() % 16, 8u);

        fs::remove(doc);
        const RunResult opened = docseal({doc + ".enc", "/decrypt", pass.empty() ? "ignored" : pass});
        EXPECT_EQ(opened.status, 0);
        EXPECT_NE(opened.out.find("opened"), std::string::npos);
        EXPECT_EQ(readFile(doc), kDocument);
    }
    EXPECT_EQ(docseal({doc + ".enc", "/encrypt", "pw"}).status, 0);
    EXPECT_TRUE(fileExists(doc + ".enc.enc"));
}

TEST_F(Docseal, UsageErrors)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {doc}, {doc, "/encrypt", "a", "b"}, {dir.file("missing.xml"), "/encrypt"}, {doc, "/ENCRYPT"},
             {doc, "/encrypt "}, {doc, "-encrypt"}, {std::string("\xFF\xFE.xml"), "/encrypt"},
             {doc, "/encrypt", "pass\xE9"}}) { // names are bytes, a passphrase is UTF-8
        const RunResult r = docseal(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find("Usage: docseal FILE /encrypt [PASSPHRASE]"), std::string::npos);
    }
    EXPECT_FALSE(fileExists(doc + ".enc"));
}

namespace {
// Seals and opens dir/name, which comes back byte for byte beside its
// container and nothing else.
void sealAndOpen(const ScratchDir& dir, const std::string& name)
{
    SCOPED_TRACE(name);
    const std::string path = dir.file(name);
    writeFile(path, kDocument);
    ASSERT_EQ(docseal({path, "/encrypt", "pw"}).status, 0);
    fs::remove(path);
    ASSERT_EQ(docseal({path + ".enc", "/decrypt", "pw"}).status, 0);
    EXPECT_EQ(readFile(path), kDocument);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"report.xml", name, name + ".enc"}));
    fs::remove(path);
    fs::remove(path + ".enc");
}
} // namespace

// Names are bytes: one that is not UTF-8, one that reads as a pattern.
TEST_F(Docseal, AnyNameTheKernelAccepts)
{
    for (const std::string name : {"caf\xE9.xml", "a[1]?\\*.xml"})
        sealAndOpen(dir, name);
}

// The longest name whose container fits NAME_MAX (251 + ".enc" = 255 bytes).
// DISABLED until the outputs' temporary names are short: the one written
// beside the output today passes NAME_MAX.
TEST_F(Docseal, DISABLED_LongestName) { sealAndOpen(dir, std::string(247, 'n') + ".xml"); }

// Every failure gives status 1, prints nothing, and leaves the folder as it
// was: no output and no temporary file.
TEST_F(Docseal, FailuresPrintNothingAndWriteNothing)
{
    ASSERT_EQ(docseal({doc, "/encrypt", "right"}).status, 0);
    const std::string sealed = dir.file("sealed.xml.enc"), damaged = dir.file("damaged.xml.enc");
    fs::rename(doc + ".enc", sealed);
    std::string container = readFile(sealed);
    container[container.size() - 20] ^= 0x40;
    writeFile(damaged, container);
    fs::copy_file(sealed, dir.file("UPPER.XML.ENC"));
    writeFile(dir.file("bad.xml"), "<a><b></a>");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {dir.file("bad.xml"), "/encrypt", "pw"}, // not XML
             {doc, "/encrypt", ""},                   // an empty passphrase
             {sealed, "/decrypt", "wrong"},
             {sealed, "/decrypt"}, // a mode-2 container needs its passphrase
             {damaged, "/decrypt", "right"},
             {dir.file("UPPER.XML.ENC"), "/decrypt", "right"}, // ".ENC" is not ".enc": nowhere to write
             {doc, "/decrypt", "right"},                       // a plain document is not a container
             {sealed, "/encrypt", "right"},                    // a mode-2 container is not sealed again
         }) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const auto before = namesIn(dir.path());
        const RunResult r = docseal(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(namesIn(dir.path()), before);
    }
}

// An existing longer file of the output's name is replaced exactly; a new
// output takes its input's permission bits (the umask applying on top).
TEST_F(Docseal, OutputsReplaceOldFilesAndKeepTheInputsPermissions)
{
    ::chmod(doc.c_str(), 0600);
    const mode_t old = ::umask(022);
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    EXPECT_EQ(modeOf(doc + ".enc"), 0600);
    fs::remove(doc);
    ::chmod((doc + ".enc").c_str(), 0640);
    ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 0);
    EXPECT_EQ(modeOf(doc), 0640);
    ::umask(old);

    writeFile(doc, kDocument + std::string(10000, 'x'));
    ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 0);
    EXPECT_EQ(readFile(doc), kDocument);
}

TEST_F(Docseal, FailedWriteLeavesTheOldFile)
{
    // A file-size limit below the document's size: the write fails part way
    // (EFBIG), and the old file of that name must stay as it was.
    writeFile(doc, "<big>" + std::string(30000, 'x') + "</big>");
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    writeFile(doc, "old content");
    const auto before = namesIn(dir.path());
    const RunResult r = run(DOCSEAL_BIN, {doc + ".enc", "/decrypt", "pw"}, "ulimit -f 8; ");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(doc), "old content");
    EXPECT_EQ(namesIn(dir.path()), before);
}

TEST_F(Docseal, MissingMessageLibraryIsAFailure)
{
    // The program alone, without its message library beside it.
    const std::string lonely = dir.file("docseal");
    fs::copy_file(DOCSEAL_BIN, lonely);
    const RunResult r = run(lonely, {doc, "/encrypt", "pw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fileExists(doc + ".enc"));
}

TEST_F(Docseal, InteroperatesWithOutsideTools)
{
    for (const char* tool : {"openssl", "sha1sum", "perl", "iconv"})
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP() << tool << " is missing";
    const std::string script = std::string(TOOL_TESTS_DIR) + "/openssl_container.sh";
    // Sealed by the tools, opened by docseal.
    const std::string theirs = dir.file("theirs.xml");
    ASSERT_EQ(run("/bin/sh", {script, "seal", "p\xC3\xA4ss", doc, theirs + ".enc"}).status, 0);
    ASSERT_EQ(docseal({theirs + ".enc", "/decrypt", "p\xC3\xA4ss"}).status, 0);
    EXPECT_EQ(readFile(theirs), kDocument);
    // Sealed by docseal, opened by the tools, with and without a passphrase.
    for (const std::string pass : {"p\xC3\xA4ss", ""}) {
        ASSERT_EQ((pass.empty() ? docseal({doc, "/encrypt"}) : docseal({doc, "/encrypt", pass})).status, 0);
        ASSERT_EQ(run("/bin/sh", {script, "open", pass, doc + ".enc", dir.file("mine.xml")}).status, 0);
        EXPECT_EQ(readFile(dir.file("mine.xml")), kDocument) << pass;
    }
}

TEST_F(Docseal, TracesTheRoadWhenLoggingIsOn)
{
    ScopedRegistry reg;
    reg.enableLogging(0x31B); // failures, warnings, entries and exits
    ASSERT_EQ(docseal({doc, "/encrypt", "s3cret"}).status, 0);
    std::string log;
    for (const auto& line : readLogLines(reg.logPath()))
        log += line + "\n";
    EXPECT_NE(log.find("<ENTRY> <docseal> <CNXRXmlCrypt::encryptXMLFile> <nxr_xmlcrypt.cpp, "), std::string::npos);
    EXPECT_NE(log.find("<EXIT> <docseal> <CNXRXmlCrypt::encryptXMLFile> <Passed> "), std::string::npos);
    EXPECT_NE(log.find("<EXIT> <docseal> <CAesKey::encrypt> <Passed> "), std::string::npos);
    EXPECT_NE(log.find("<ENTRY> <docseal> <CNXRFile::isValidFile> "), std::string::npos);
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

// Once the passphrase is in its secure buffer, other users no longer see it in
// the process's argument list, and the process cannot be dumped.
TEST_F(Docseal, PassphraseLeavesTheArgumentListAndNoCoreIsDumped)
{
    const std::string report = dir.file("probe.txt");
    const RunResult r = run(DOCSEAL_BIN, {doc, "/encrypt", "hunter2-secret"},
                            "PROBE_OUT='" + report + "' LD_PRELOAD='" PROCESS_PROBE
                            "' ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 ");
    ASSERT_EQ(r.status, 0);
    const std::string seen = readFile(report);
    EXPECT_NE(seen.find("/encrypt"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("hunter2"), std::string::npos) << seen;
    EXPECT_NE(seen.find("dumpable=0"), std::string::npos) << seen;
}
