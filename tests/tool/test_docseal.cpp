// docseal end to end: the built program run in scratch folders.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace nxrtest;

namespace {

const std::string kDocument = "<?xml version=\"1.0\"?>\n<report id=\"7\"><item>caf\xC3\xA9 &amp; more</item></report>\n";

RunResult docseal(const std::vector<std::string>& args) { return run(DOCSEAL_BIN, args); }
// Seals file with a passphrase after the shell commands in prefix.
RunResult docsealUnder(const std::string& prefix, const std::string& file)
{
    return run(DOCSEAL_BIN, {file, "/encrypt", "pw"}, prefix);
}

// The probe makes the program meet a file system without unnamed files.
const std::string kWithoutUnnamedFiles = "PROBE_NO_TMPFILE=1 LD_PRELOAD='" PROCESS_PROBE "' ASAN_OPTIONS="
    "verify_asan_link_order=0:detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0:handle_sigill=0 ";

class Docseal : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string doc = dir.file("report.xml");
    void SetUp() override { writeFile(doc, kDocument); }
};

} // namespace

TEST_F(Docseal, UsageErrors)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {doc}, {doc, "/encrypt", "a", "b"}, {dir.file("missing.xml"), "/encrypt"}, {doc, "/ENCRYPT"},
             {doc, "/encrypt "}, {doc, "-encrypt"}, {std::string("\xFF\xFE.xml"), "/encrypt"},
             {doc, "/encrypt", "pass\xE9"}, // names are bytes, a passphrase is UTF-8
             {"-o"}, {"--output", doc, "/encrypt"}, {"-o", "", doc, "/encrypt"}, {"-o", "a", "-o", "b", doc, "/encrypt"},
             {"-q", doc, "/encrypt"}, {"--outpt=a", doc, "/encrypt"}, {"-o", "a", doc}}) {
        const RunResult r = docseal(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find("Usage: docseal [-o OUTPUT] FILE /encrypt [PASSPHRASE]"), std::string::npos);
    }
    EXPECT_FALSE(fileExists(doc + ".enc"));
}

// Names are bytes: one that is not UTF-8, one that reads as a pattern, and
// the longest whose container fits NAME_MAX (251 + ".enc" = 255 bytes). Each
// comes back byte for byte beside its container, and nothing else is left,
// also when the data must have a temporary name first (sealing).
TEST_F(Docseal, AnyNameTheKernelAccepts)
{
    for (const std::string& name :
         {std::string("caf\xE9.xml"), std::string("a[1]?\\*.xml"), std::string(247, 'n') + ".xml"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        writeFile(path, kDocument);
        ASSERT_EQ(run(DOCSEAL_BIN, {path, "/encrypt", "pw"}, kWithoutUnnamedFiles).status, 0);
        fs::remove(path);
        ASSERT_EQ(docseal({path + ".enc", "/decrypt", "pw"}).status, 0);
        EXPECT_EQ(readFile(path), kDocument);
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"report.xml", name, name + ".enc"}));
        fs::remove(path);
        fs::remove(path + ".enc");
    }
}

// -o puts the output in any folder, replacing an old file or a link's target
// as an output beside the input is replaced; "-" is standard input or output,
// and standard output gets nothing from a run that fails. Nothing is left in
// $TMPDIR, where standard input and output are spilled.
TEST_F(Docseal, OutputsAnywhereAndPipes)
{
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    const std::string sealed = readFile(doc + ".enc");
    fs::create_directories(dir.file("spill"));
    fs::create_directories(dir.file("other"));
    writeFile(dir.file("old"), std::string(100000, 'o'));
    fs::create_symlink("old", dir.file("link"));
    writeFile(dir.file("-x.xml"), kDocument);
    writeFile(dir.file("bad.xml"), "<a><b></a>");
    ASSERT_EQ(run("/bin/sh", {std::string(TOOL_TESTS_DIR) + "/openssl_container.sh", "seal", "pw", dir.file("bad.xml"),
                              dir.file("bad.xml.enc")}).status, 0);
    const std::string in = "cd '" + dir.path() + "' && export TMPDIR=spill && ";
    const struct {
        std::string prefix;
        std::vector<std::string> args;
        int status;
        std::string out, file = "";
    } cases[] = {
        {"", {"-o", "other/r.enc", doc, "/encrypt", "pw"}, 0, sealed, "other/r.enc"},
        {"", {"--output=old", "report.xml.enc", "/decrypt", "pw"}, 0, kDocument, "old"},
        {"", {"-o", "link", "report.xml", "/encrypt", "pw"}, 0, sealed, "old"},
        {"", {"--", "-x.xml", "/encrypt", "pw"}, 0, sealed, "-x.xml.enc"},
        {"", {"--output=-", "report.xml", "/encrypt", "pw"}, 0, sealed},
        {"", {"-o", "-", "report.xml.enc", "/decrypt", "pw"}, 0, kDocument},
        {"exec <report.xml; ", {"-", "/encrypt", "pw"}, 0, sealed},
        {"exec <report.xml.enc; ", {"-", "/decrypt", "pw"}, 0, kDocument},
        {"cat report.xml | ", {"-o", "other/p.enc", "-", "/encrypt", "pw"}, 0, sealed, "other/p.enc"},
        {"cat report.xml.enc | ", {"-o", "-", "-", "/decrypt", "pw"}, 0, kDocument},
        {"cat bad.xml | ", {"-", "/encrypt", "pw"}, 1, ""},
        {"cat report.xml.enc | ", {"-", "/decrypt", "wrong"}, 1, ""},
        {"cat bad.xml.enc | ", {"-", "/decrypt", "pw"}, 1, ""},
        {"", {"-o", "-", "bad.xml.enc", "/decrypt", "pw"}, 1, ""},
        {"exec >&- <report.xml; ", {"-", "/encrypt", "pw"}, 1, ""},
        {"head -c 40 report.xml.enc | ", {"-", "/decrypt", "pw"}, 1, ""},
        {"cat report.xml.enc | ", {"-o", "-", "bad.xml", "/encrypt", "pw"}, 1, ""},
        {"export DOCSEAL_PASSPHRASE_FD=0; exec <report.xml; ", {"-o", "other/q.enc", "-", "/encrypt"}, 2, ""},
        {"", {"-x.xml", "/encrypt", "pw"}, 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.prefix + c.args[0] + " " + c.args[1]);
        const RunResult r = run(DOCSEAL_BIN, c.args, in + c.prefix);
        EXPECT_EQ(r.status, c.status);
        if (c.status == 2)
            EXPECT_EQ(r.out.find("Usage: "), 0u);
        else
            EXPECT_EQ(c.file.empty() ? r.out : readFile(dir.file(c.file)), c.out);
        EXPECT_TRUE(namesIn(dir.file("spill")).empty());
    }
    EXPECT_TRUE(fs::is_symlink(dir.file("link")));
    EXPECT_FALSE(fileExists(dir.file("other/q.enc")));
    // A reader that goes away early fails the run.
    writeFile(doc, "<r>" + repeat("<e>text</e>", 100000) + "</r>");
    EXPECT_EQ(run("/bin/bash", {"-c", "\"$0\" - /encrypt pw <report.xml | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}",
                                DOCSEAL_BIN}, in).status, 1);
}

// Every failure gives status 1, prints nothing, leaves the folder as it was
// (no output, no temporary file) and leaves exactly one record at the default
// detail, naming its cause.
TEST_F(Docseal, FailuresPrintNothingWriteNothingAndLeaveOneRecord)
{
    ASSERT_EQ(docseal({doc, "/encrypt", "right"}).status, 0);
    const std::string sealed = dir.file("sealed.xml.enc");
    fs::rename(doc + ".enc", sealed);
    const std::string container = readFile(sealed);
    const auto variant = [&](const std::string& name, size_t at, char value, size_t size = std::string::npos) {
        std::string bytes = container.substr(0, size);
        if (at < bytes.size())
            bytes[at] = value;
        writeFile(dir.file(name), bytes);
        return dir.file(name);
    };
    const std::string damaged = variant("damaged.xml.enc", container.size() - 20, container[container.size() - 20] ^ 0x40);
    fs::copy_file(sealed, dir.file("UPPER.XML.ENC"));
    writeFile(dir.file("bad.xml"), "<a><b></a>");
    // Sparse files at the format's edge: refused before anything is read.
    const auto sparse = [&](const std::string& name, uintmax_t size) {
        writeFile(dir.file(name), "");
        fs::resize_file(dir.file(name), size);
        return dir.file(name);
    };
    ScopedRegistry reg;
    reg.enableLogging(0x1B);
    for (const auto& [args, cause] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{dir.file("bad.xml"), "/encrypt", "pw"}, "expected end of tag 'b'"},
             {{sealed, "/decrypt", "wrong"}, "Bsafe error"},
             {{sealed, "/decrypt"}, "no passphrase was given"}, // a mode-2 container needs its passphrase
             {{damaged, "/decrypt", "right"}, ""},
             {{dir.file("UPPER.XML.ENC"), "/decrypt", "right"}, "is invalid"}, // ".ENC" is not ".enc"
             {{doc, "/decrypt", "right"}, "is invalid"},              // a plain document is not a container
             {{variant(".enc", 0, 2), "/decrypt", "right"}, "is invalid"}, // no name is left to write
             {{sealed, "/encrypt", "right"}, "no passphrase was given"}, // mode 2 is not sealed again
             {{variant("mode9.xml.enc", 0, 9), "/decrypt", "right"}, "value is not 1, 2 or 3"},
             {{variant("long.xml.enc", 7, 1), "/decrypt", "right"}, "beyond the deciphered data"},
             {{variant("zero.xml.enc", 4, 0, 8), "/decrypt", "right"}, "value is 0"},
             {{variant("short.xml.enc", 9, 0, 5), "/decrypt", "right"}, "Index out of array bounds"},
             {{sparse("edge.xml", 0xFFFFFFF0u), "/encrypt", "pw"}, "too large for the container format"},
             {{sparse("huge.xml", 5ull << 30), "/encrypt", "pw"}, "too large for the container format"},
             {{sparse("huge.xml.enc", 5ull << 30), "/decrypt", "pw"}, "too large for the container format"},
         }) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        fs::remove(reg.logPath());
        const auto before = namesIn(dir.path());
        const RunResult r = docseal(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(namesIn(dir.path()), before);
        const auto records = readLogLines(reg.logPath());
        ASSERT_EQ(records.size(), 1u);
        EXPECT_NE(records[0].find(cause), std::string::npos) << records[0];
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

    // A file that is replaced keeps its own mode and owner; one that another
    // docseal holds is not replaced.
    writeFile(doc, kDocument + std::string(10000, 'x'));
    ::chmod(doc.c_str(), 0600);
    ASSERT_EQ(::chown(doc.c_str(), 65534, 65534), 0);
    ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 0);
    EXPECT_EQ(readFile(doc), kDocument);
    EXPECT_EQ(modeOf(doc), 0600);
    struct stat st {};
    ASSERT_EQ(::stat(doc.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(run("/usr/bin/flock", {"-x", doc, DOCSEAL_BIN, doc + ".enc", "/decrypt", "pw"}).status, 1);
}

// Outputs that are not plain files of the caller: a link keeps pointing at
// its replaced target; a read-only output, a dangling link and a FIFO are
// refused; a FIFO as input is refused at once, never waited on.
TEST_F(Docseal, OutputsBehindLinksAndOddFiles)
{
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    const std::string target = dir.file("elsewhere.xml");
    writeFile(target, "old");
    fs::create_symlink(target, doc + ".tmp");
    fs::remove(doc);
    fs::rename(doc + ".tmp", doc);
    ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(doc));
    EXPECT_EQ(readFile(target), kDocument);

    // As an unprivileged user, who may not write a 0444 file of its own.
    ::chmod(dir.path().c_str(), 0777);
    fs::remove(doc);
    writeFile(doc, "read-only");
    ::chmod(doc.c_str(), 0444);
    ::chmod((doc + ".enc").c_str(), 0644);
    ASSERT_EQ(::chown(doc.c_str(), 65534, 65534), 0);
    EXPECT_EQ(run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", DOCSEAL_BIN, doc + ".enc",
                                       "/decrypt", "pw"})
                  .status,
              1);
    EXPECT_EQ(readFile(doc), "read-only");

    fs::remove(doc);
    fs::create_symlink(dir.file("nowhere.xml"), doc);
    EXPECT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 1);
    EXPECT_FALSE(fileExists(dir.file("nowhere.xml")));
    fs::remove(doc);
    ASSERT_EQ(::mkfifo(doc.c_str(), 0644), 0);
    const std::string fifo = dir.file("fifo.xml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    for (const auto& args : std::vector<std::vector<std::string>>{{doc + ".enc", "/decrypt", "pw"},
                                                                  {fifo, "/encrypt", "pw"}})
        EXPECT_EQ(run("/usr/bin/timeout", {"10", DOCSEAL_BIN, args[0], args[1], args[2]}).status, 1) << args[0];
    EXPECT_TRUE(fs::is_fifo(doc));
}

// SIGINT, SIGTERM and SIGHUP at any moment, and SIGKILL before the output is
// complete, leave the input and the old output as they were, and nothing
// else.
TEST_F(Docseal, InterruptedRunsLeaveTheFolderAsItWas)
{
    writeFile(doc, "<r>" + repeat("<e>some text that fills the document &amp; more</e>\n", 1000000) + "</r>");
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    const std::string sealed = readFile(doc + ".enc");
    writeFile(dir.file("old.xml"), "old");
    int interrupted = 0;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        for (const bool bSeal : {true, false}) {
            SCOPED_TRACE(std::to_string(sig) + (bSeal ? " seal" : " open"));
            const std::string input = bSeal ? doc : dir.file("old.xml.enc");
            const std::string output = bSeal ? doc + ".enc" : dir.file("old.xml");
            if (!bSeal)
                writeFile(input, sealed);
            writeFile(output, "old");
            const auto before = namesIn(dir.path());
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::execl(DOCSEAL_BIN, DOCSEAL_BIN, input.c_str(), bSeal ? "/encrypt" : "/decrypt", "pw", nullptr);
                ::_exit(127);
            }
            ::usleep(60 * 1000);
            ::kill(pid, sig);
            int status = 0;
            ::waitpid(pid, &status, 0);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                continue; // done before the signal came
            ++interrupted;
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            EXPECT_EQ(namesIn(dir.path()), before);
            EXPECT_EQ(readFile(output), "old");
        }
    }
    EXPECT_GT(interrupted, 4);
}

// Where the file system has no unnamed files (the probe refuses them) the
// data has a short temporary name; every signal that ends a process removes
// it and then ends the run as it would have. SIGPIPE and SIGXFSZ, which the
// program ignores, end nothing: the run completes.
TEST_F(Docseal, EveryEndingSignalRemovesTheNamedTemporary)
{
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2,
                          SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
                          SIGSYS, SIGRTMIN, SIGRTMAX}) {
        writeFile(doc + ".enc", "old");
        const bool bIgnored = sig == SIGPIPE || sig == SIGXFSZ;
        const std::string raise = "PROBE_RAISE=" + std::to_string(sig) + " " + kWithoutUnnamedFiles;
        EXPECT_EQ(run(DOCSEAL_BIN, {doc, "/encrypt", "pw"}, raise).status, bIgnored ? 0 : 128 + sig);
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"report.xml", "report.xml.enc"})) << sig;
        EXPECT_EQ(readFile(doc + ".enc") != "old", bIgnored) << sig;
    }
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
    // Sealed by docseal (mode 2 with a passphrase, mode 1 with the built-in
    // key), opened by the tools and by docseal.
    for (const std::string pass : {"p\xC3\xA4ss", ""}) {
        const RunResult sealed = pass.empty() ? docseal({doc, "/encrypt"}) : docseal({doc, "/encrypt", pass});
        ASSERT_EQ(sealed.status, 0);
        EXPECT_NE(sealed.out.find("sealed"), std::string::npos);
        const std::string container = readFile(doc + ".enc");
        EXPECT_EQ(container.substr(0, 8), std::string({pass.empty() ? '\1' : '\2', 0, 0, 0, char(kDocument.size()), 0, 0, 0}));
        ASSERT_EQ(run("/bin/sh", {script, "open", pass, doc + ".enc", dir.file("mine.xml")}).status, 0);
        EXPECT_EQ(readFile(dir.file("mine.xml")), kDocument) << pass;
        fs::remove(doc);
        const RunResult opened = docseal({doc + ".enc", "/decrypt", pass.empty() ? "any passphrase" : pass});
        EXPECT_EQ(opened.status, 0);
        EXPECT_NE(opened.out.find("opened"), std::string::npos);
        EXPECT_EQ(readFile(doc), kDocument);
    }
    // A mode-1 container may be sealed again.
    EXPECT_EQ(docseal({doc + ".enc", "/encrypt", "pw"}).status, 0);
    EXPECT_TRUE(fileExists(doc + ".enc.enc"));
}

TEST_F(Docseal, TracesTheRoadWhenLoggingIsOn)
{
    ScopedRegistry reg;
    reg.enableLogging(0x31B); // failures, warnings, entries and exits
    ASSERT_EQ(docseal({doc, "/encrypt", "s3cret"}).status, 0);
    for (const char* record : {"<ENTRY> <docseal> <CNXRXmlCrypt::encryptXMLFile> <nxr_xmlcrypt.cpp, ",
                               "<EXIT> <docseal> <CNXRXmlCrypt::encryptXMLFile> <Passed> ",
                               "<EXIT> <docseal> <CAesKey::openStream> <Passed> ", "<ENTRY> <docseal> <CNXRFile::isValidFile> "})
        EXPECT_GT(countLogLines(reg.logPath(), {record}), 0u) << record;
    EXPECT_EQ(countLogLines(reg.logPath(), {"s3cret"}), 0u);

    // A recorded length shorter than the data opens to that prefix, with a
    // warning that tells how much was dropped.
    std::string container = readFile(doc + ".enc");
    container[4] = char(kDocument.size() - 1);
    writeFile(doc + ".enc", container);
    ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "s3cret"}).status, 0);
    EXPECT_EQ(readFile(doc), kDocument.substr(0, kDocument.size() - 1));
    EXPECT_EQ(countLogLines(reg.logPath(), {"<WARNING>", ": 1 bytes dropped"}), 1u);
}

// With standard output a pipe nobody reads, the message is lost, but the
// status still tells that the work was done.
TEST_F(Docseal, StatusStandsWhenStandardOutputIsAClosedPipe)
{
    const std::string closedPipe = "cd '" + dir.path() + "' && mkfifo p && exec 3<>p 4>p 3<&- >&4 4>&- && rm p && ";
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {doc, "/encrypt", "pw"}, {doc + ".enc", "/decrypt", "pw"}})
        EXPECT_EQ(run(DOCSEAL_BIN, args, closedPipe).status, 0) << args[0];
    EXPECT_EQ(readFile(doc), kDocument);
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

// Under any address-space limit the program seals or fails with status 1, at
// most one record and nothing on a standard error that is not a terminal:
// neither the parser library nor a thread that cannot start ends the process
// some other way. (The sanitizers' shadow memory needs more than any limit.)
TEST_F(Docseal, UnderAnAddressSpaceLimitItSealsOrFailsCleanly)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limits tried";
#endif
    ScopedRegistry reg;
    reg.enableLogging(0x1B);
    std::set<int> statuses;
    for (int mib = 30; mib <= 110; ++mib) {
        fs::remove(reg.logPath());
        const RunResult r = docsealUnder("ulimit -v " + std::to_string(mib << 10) + "; exec 2>&1; ", doc);
        if (r.status == 127)
            continue; // the loader could not map the libraries: not started
        SCOPED_TRACE(std::to_string(mib) + " MiB: " + r.out);
        statuses.insert(r.status);
        EXPECT_EQ(r.out.empty(), r.status == 1);
        EXPECT_LE(readLogLines(reg.logPath()).size(), size_t(r.status));
    }
    EXPECT_EQ(statuses, (std::set<int>{0, 1}));
    // A document with a 5 MB attribute value is sealed within such a limit.
    writeFile(doc, "<d a='" + std::string(5000000, 'v') + "'/>");
    EXPECT_EQ(docsealUnder("ulimit -v " + std::to_string(160 << 10) + "; ", doc).status, 0);
}
