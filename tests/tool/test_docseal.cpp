// docseal end to end: the built program run in scratch folders.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using nxrtest::fileExists;
using nxrtest::readFile;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;
using nxrtest::ScratchDir;
using nxrtest::writeFile;

namespace {

const std::string kDocument = "<?xml version=\"1.0\"?>\n<report id=\"7\"><item>caf\xC3\xA9 &amp; more</item></report>\n";

struct RunResult {
    int status = -1;
    std::string out;
};

// Runs a program with arguments (no shell) and collects its standard output.
// fileSizeLimit, when set, is the child's RLIMIT_FSIZE.
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "",
              rlim_t fileSizeLimit = RLIM_INFINITY)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        if (fileSizeLimit != RLIM_INFINITY) {
            const struct rlimit limit = {fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    RunResult result;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], chunk, sizeof(chunk))) > 0)
        result.out.append(chunk, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult docseal(const std::vector<std::string>& args, const std::string& cwd = "")
{
    return run(DOCSEAL_BIN, args, cwd);
}

bool hasTool(const char* name)
{
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

uint32_t modeOf(const std::string& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

class Docseal : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string doc = dir.file("report.xml");
    void SetUp() override { writeFile(doc, kDocument); }
};

} // namespace

TEST_F(Docseal, SealsAndOpensWithAPassphrase)
{
    const RunResult sealed = docseal({doc, "/encrypt", "s3cret pass"});
    EXPECT_EQ(sealed.status, 0);
    EXPECT_NE(sealed.out.find("sealed"), std::string::npos);
    const std::string container = readFile(doc + ".enc");
    ASSERT_GE(container.size(), 8u + 16u);
    EXPECT_EQ(container[0], 2);
    EXPECT_EQ(container.substr(1, 3), std::string(3, '\0'));
    const uint32_t len = uint8_t(container[4]) | uint8_t(container[5]) << 8 | uint8_t(container[6]) << 16 |
                         uint32_t(uint8_t(container[7])) << 24;
    EXPECT_EQ(len, kDocument.size());
    EXPECT_EQ((container.size() - 8) % 16, 0u);
    EXPECT_EQ(readFile(doc), kDocument); // the input is untouched

    std::filesystem::remove(doc);
    const RunResult opened = docseal({doc + ".enc", "/decrypt", "s3cret pass"});
    EXPECT_EQ(opened.status, 0);
    EXPECT_NE(opened.out.find("opened"), std::string::npos);
    EXPECT_EQ(readFile(doc), kDocument);
}

TEST_F(Docseal, WithoutPassphraseTheBuiltInKeyIsUsed)
{
    ASSERT_EQ(docseal({doc, "/encrypt"}).status, 0);
    EXPECT_EQ(readFile(doc + ".enc")[0], 1);
    std::filesystem::remove(doc);
    // A mode-1 container opens whatever passphrase is given.
    EXPECT_EQ(docseal({doc + ".enc", "/decrypt", "ignored"}).status, 0);
    EXPECT_EQ(readFile(doc), kDocument);
}

TEST_F(Docseal, UsageErrors)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {doc}, {doc, "/encrypt", "a", "b"}, {dir.file("missing.xml"), "/encrypt"}, {doc, "/ENCRYPT"},
             {doc, "/encrypt "}, {doc, "-encrypt"}, {std::string("\xFF\xFE.xml"), "/encrypt"}}) {
        const RunResult r = docseal(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find("Usage: docseal FILE /encrypt [PASSPHRASE]"), std::string::npos);
    }
    EXPECT_FALSE(fileExists(doc + ".enc"));
}

TEST_F(Docseal, FailuresPrintNothingAndWriteNothing)
{
    // Not XML.
    const std::string bad = dir.file("bad.xml");
    writeFile(bad, "<a><b></a>");
    RunResult r = docseal({bad, "/encrypt", "pw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fileExists(bad + ".enc"));

    // An empty passphrase.
    r = docseal({doc, "/encrypt", ""});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fileExists(doc + ".enc"));

    // A wrong passphrase, and no passphrase, on a mode-2 container.
    ASSERT_EQ(docseal({doc, "/encrypt", "right"}).status, 0);
    std::filesystem::remove(doc);
    EXPECT_EQ(docseal({doc + ".enc", "/decrypt", "wrong"}).status, 1);
    EXPECT_EQ(docseal({doc + ".enc", "/decrypt"}).status, 1);
    EXPECT_FALSE(fileExists(doc));

    // A damaged container.
    std::string container = readFile(doc + ".enc");
    container[container.size() - 20] ^= 0x40;
    writeFile(doc + ".enc", container);
    EXPECT_EQ(docseal({doc + ".enc", "/decrypt", "right"}).status, 1);
    EXPECT_FALSE(fileExists(doc));

    // Nothing is left behind in the folder but what the test made.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(Docseal, SuffixRules)
{
    const std::string upper = dir.file("A.XML");
    writeFile(upper, kDocument);
    ASSERT_EQ(docseal({upper, "/encrypt", "pw"}).status, 0);
    ASSERT_TRUE(fileExists(upper + ".enc"));
    // ".ENC" is not ".enc": deciphered and checked, but nothing is written.
    std::filesystem::rename(upper + ".enc", dir.file("B.XML.ENC"));
    EXPECT_EQ(docseal({dir.file("B.XML.ENC"), "/decrypt", "pw"}).status, 1);
    EXPECT_FALSE(fileExists(dir.file("B.XML")));
    // A plain document is not a container.
    EXPECT_EQ(docseal({doc, "/decrypt", "pw"}).status, 1);

    // A mode-1 container can be sealed again; a mode-2 one cannot.
    ASSERT_EQ(docseal({doc, "/encrypt"}).status, 0);
    EXPECT_EQ(docseal({doc + ".enc", "/encrypt", "pw"}).status, 0);
    EXPECT_TRUE(fileExists(doc + ".enc.enc"));
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    EXPECT_EQ(docseal({doc + ".enc", "/encrypt", "pw"}).status, 1);
}

TEST_F(Docseal, ExistingLongerOutputIsReplacedExactly)
{
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    writeFile(doc, kDocument + std::string(10000, 'x'));
    ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 0);
    EXPECT_EQ(readFile(doc), kDocument);
}

TEST_F(Docseal, OutputsTakeTheInputsPermissions)
{
    ::chmod(doc.c_str(), 0600);
    const mode_t old = ::umask(022);
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    EXPECT_EQ(modeOf(doc + ".enc"), 0600u);
    std::filesystem::remove(doc);
    ::chmod((doc + ".enc").c_str(), 0640);
    ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 0);
    EXPECT_EQ(modeOf(doc), 0640u);
    ::umask(old);
}

TEST_F(Docseal, FailedWriteLeavesTheOldFile)
{
    // A file-size limit below the document's size: the write fails part way
    // (EFBIG), and the old file of that name must stay as it was.
    std::string big = "<big>";
    for (int i = 0; i < 2000; ++i)
        big += "<row n=\"" + std::to_string(i) + "\"/>";
    big += "</big>";
    writeFile(doc, big);
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    writeFile(doc, "old content");
    const RunResult r = run(DOCSEAL_BIN, {doc + ".enc", "/decrypt", "pw"}, "", 4096);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(doc), "old content");
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();

    // A folder that cannot be written to: no temporary file can be made.
    if (::geteuid() != 0) {
        ::chmod(dir.path().c_str(), 0555);
        EXPECT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 1);
        ::chmod(dir.path().c_str(), 0755);
        EXPECT_EQ(readFile(doc), "old content");
    }
}

TEST_F(Docseal, MissingMessageLibraryIsAFailure)
{
    // The program alone, without its message library beside it.
    const std::string lonely = dir.file("docseal");
    std::filesystem::copy_file(DOCSEAL_BIN, lonely);
    ::chmod(lonely.c_str(), 0755);
    const RunResult r = run(lonely, {doc, "/encrypt", "pw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fileExists(doc + ".enc"));
}

TEST_F(Docseal, InteroperatesWithOutsideTools)
{
    if (!hasTool("openssl") || !hasTool("sha1sum") || !hasTool("perl") || !hasTool("iconv"))
        GTEST_SKIP() << "openssl, sha1sum, perl or iconv is missing";
    const std::string script = std::string(TOOL_TESTS_DIR) + "/openssl_container.sh";
    // Sealed by the tools, opened by docseal.
    const std::string theirs = dir.file("theirs.xml");
    ASSERT_EQ(run("/bin/sh", {script, "seal", "p\xC3\xA4ss", doc, theirs + ".enc"}).status, 0);
    ASSERT_EQ(docseal({theirs + ".enc", "/decrypt", "p\xC3\xA4ss"}).status, 0);
    EXPECT_EQ(readFile(theirs), kDocument);
    // Sealed by docseal, opened by the tools, with and without a passphrase.
    ASSERT_EQ(docseal({doc, "/encrypt", "p\xC3\xA4ss"}).status, 0);
    ASSERT_EQ(run("/bin/sh", {script, "open", "p\xC3\xA4ss", doc + ".enc", dir.file("mine.xml")}).status, 0);
    EXPECT_EQ(readFile(dir.file("mine.xml")), kDocument);
    ASSERT_EQ(docseal({doc, "/encrypt"}).status, 0);
    ASSERT_EQ(run("/bin/sh", {script, "open", "", doc + ".enc", dir.file("mine1.xml")}).status, 0);
    EXPECT_EQ(readFile(dir.file("mine1.xml")), kDocument);
}

TEST_F(Docseal, TracesTheRoadWhenLoggingIsOn)
{
    ScopedRegistry reg;
    reg.enableLogging(0x31B); // failures, warnings, entries and exits
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    const auto lines = readLogLines(reg.logPath());
    auto has = [&](const std::string& text) {
        for (const auto& l : lines)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(has("<ENTRY> <docseal> <CNXRXmlCrypt::encryptXMLFile> <nxr_xmlcrypt.cpp, "));
    EXPECT_TRUE(has("<EXIT> <docseal> <CNXRXmlCrypt::encryptXMLFile> <Passed> "));
    EXPECT_TRUE(has("<EXIT> <docseal> <CAesKey::encrypt> <Passed> "));
    EXPECT_TRUE(has("<ENTRY> <docseal> <CNXRFile::isValidFile> "));
    EXPECT_FALSE(has("s3cret"));
}
