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

// The program, ended by a time limit if it hangs (status 124).
RunResult nxrtest::docseal(const std::vector<std::string>& args, const std::string& prefix)
{
    std::vector<std::string> all{"60", DOCSEAL_BIN};
    all.insert(all.end(), args.begin(), args.end());
    return run("/usr/bin/timeout", all, prefix);
}

namespace {

const std::string kDocument = "<?xml version=\"1.0\"?>\n<report id=\"7\"><item>caf\xC3\xA9 &amp; more</item></report>\n";

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

// Names are bytes: one that is not UTF-8, one that reads as a pattern, and
// the longest whose container fits NAME_MAX (251 + ".enc" = 255 bytes). Each
// comes back byte for byte beside its container, and nothing else is left,
// also when the data must have a temporary name first (sealing).
TEST_F(Docseal, AnyNameTheKernelAccepts)
{
    for (const std::string& name :
         {std::string("caf\xE9.xml"), std::string("a[1]?\\*.XmL"), std::string(247, 'n') + ".xml"}) {
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
    // Longer than the check's window: entity expansions that the document's
    // size allows (7 references, at its start or its end) or not (9), but
    // not the first window's.
    const std::string pad = repeat("<e>text</e>", 1200000);
    for (const int refs : {7, 9, -7})
        writeFile(dir.file("e" + std::to_string(refs) + ".xml"), "<!DOCTYPE r [<!ENTITY f \"a\"><!ENTITY e \"" +
                      repeat("&f;", 2000) + "\">]><r>" + (refs < 0 ? pad : "") + repeat("&e;", std::abs(refs)) +
                      (refs < 0 ? "" : pad) + "</r>");
    writeFile(dir.file("big-bad.xml"), "<r><b></r>" + pad);
    const std::string e7Sealed = docseal({"-o", "-", dir.file("e7.xml"), "/encrypt", "pw"}).out;
    const std::string in = "cd '" + dir.path() + "' && export TMPDIR=spill && ";
    const struct {
        std::string prefix;
        std::vector<std::string> args;
        int status;
        std::string out, file = "";
    } cases[] = {
        // Without -o, as ever: the output beside the input, and the message.
        {"", {"report.xml", "/encrypt", "pw"}, 0, "docseal: the document was sealed; the container was written beside it "
                                                  "with \".enc\" added to its name.\n"},
        {"", {"report.xml.enc", "/decrypt", "pw"}, 0, "docseal: the container was opened; the document was written "
                                                      "beside it without \".enc\".\n"},
        {"", {"-o", "other/r.enc", doc, "/encrypt", "pw"}, 0, sealed, "other/r.enc"},
        {"", {"--output=old", "report.xml.enc", "/decrypt", "pw"}, 0, kDocument, "old"},
        {"", {"-o", "link", "report.xml", "/encrypt", "pw"}, 0, sealed, "old"},
        {"", {"--", "-x.xml", "/encrypt", "pw"}, 0, sealed, "-x.xml.enc"},
        {"", {"--output=-", "report.xml", "/encrypt", "pw"}, 0, sealed},
        {"", {"-o", "-", "report.xml.enc", "/decrypt", "pw"}, 0, kDocument},
        {"exec <report.xml; ", {"-", "/encrypt", "pw"}, 0, sealed},
        {"(sleep 0.3; cat report.xml) | perl -MFcntl -e 'fcntl(STDIN, F_SETFL, O_NONBLOCK); shift; exec @ARGV' ",
         {"-", "/encrypt", "pw"}, 0, sealed}, // a pipe left non-blocking is waited on
        {"exec <report.xml.enc; ", {"-", "/decrypt", "pw"}, 0, kDocument},
        {"cat report.xml | ", {"-o", "other/p.enc", "-", "/encrypt", "pw"}, 0, sealed, "other/p.enc"},
        {"exec >>other/a.enc <report.xml; ", {"-", "/encrypt", "pw"}, 0, sealed, "other/a.enc"}, // not sendfile's
        {"cat report.xml.enc | ", {"-o", "-", "-", "/decrypt", "pw"}, 0, kDocument},
        {"cat bad.xml | ", {"-", "/encrypt", "pw"}, 1, ""},
        {"cat e7.xml | ", {"-", "/encrypt", "pw"}, 0, e7Sealed},
        {"cat e-7.xml | ", {"-", "/encrypt", "pw"}, 0, docseal({"-o", "-", dir.file("e-7.xml"), "/encrypt", "pw"}).out},
        {"cat e9.xml | ", {"-", "/encrypt", "pw"}, 1, ""},
        {"mkfifo f; (cat big-bad.xml; exec sleep 20) >f 2>&- & exec <f timeout 10 sh -c 'exec \"$@\"' ",
         {"-", "/encrypt", "pw"}, 1, ""}, // refused before the pipe's end
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
        else if (const std::string out = c.file.empty() ? r.out : readFile(dir.file(c.file)); out.size() < 4096)
            EXPECT_EQ(out, c.out);
        else // a difference in megabytes is not printed
            EXPECT_TRUE(out == c.out) << out.size() << " bytes, " << c.out.size() << " expected";
        const bool bNamedOutput = !c.file.empty() && (c.args[0] == "-o" || c.args[0].starts_with("--output="));
        EXPECT_EQ(r.out.ends_with(" was written to the output.\n"), bNamedOutput) << r.out;
        EXPECT_TRUE(namesIn(dir.file("spill")).empty());
    }
    EXPECT_EQ(readFile(doc + ".enc"), sealed);
    EXPECT_TRUE(fs::is_symlink(dir.file("link")));
    EXPECT_FALSE(fileExists(dir.file("other/q.enc")));
    // A reader that goes away early fails the run.
    writeFile(doc, "<r>" + repeat("<e>text</e>", 100000) + "</r>");
    EXPECT_EQ(run("/bin/bash", {"-c", "\"$0\" - /encrypt pw <report.xml | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}",
                                DOCSEAL_BIN}, in).status, 1);
}

// Bit by bit: a new output takes its input's permission bits, the umask
// applying on top, but never set-user-id or set-group-id; a replaced output
// (longer than the new one) keeps its own bits but those two, its owner and
// its group. Where its group is one the caller is not in, the group gets no
// more than the others had. An output the caller may not write, or that
// another docseal holds, is not replaced.
TEST_F(Docseal, OutputModesBitByBit)
{
    for (int bit = 0; bit < 12; ++bit) {
        const int mode = 1 << bit;
        SCOPED_TRACE(mode);
        ::chmod(doc.c_str(), mode);
        ASSERT_EQ(docseal({doc, "/encrypt", "pw"}, "umask 0; ").status, 0);
        fs::remove(doc);
        ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}, "umask 022; ").status, 0);
        EXPECT_EQ(std::pair(modeOf(doc + ".enc"), modeOf(doc)), std::pair(mode & 0777, mode & 0755));
        writeFile(doc, kDocument + std::string(10000, 'x'));
        ASSERT_EQ(::chown(doc.c_str(), 65534, 65534), 0);
        ::chmod(doc.c_str(), mode);
        ASSERT_EQ(docseal({doc + ".enc", "/decrypt", "pw"}).status, 0);
        EXPECT_EQ(readFile(doc), kDocument);
        struct stat st {};
        EXPECT_TRUE(::stat(doc.c_str(), &st) == 0 && st.st_uid == 65534u && st.st_gid == 65534u);
        EXPECT_EQ(st.st_mode & 07777, mode & 01777u);
        fs::remove(doc + ".enc");
    }
    // As an unprivileged user: a group it is not in, then a file it may not write.
    ::chmod(dir.path().c_str(), 0777);
    ::chmod(doc.c_str(), 0644);
    ASSERT_EQ(docseal({doc, "/encrypt", "pw"}).status, 0);
    ASSERT_EQ(::chown(doc.c_str(), 65534, 0), 0);
    for (const auto& [mode, status, after] : {std::tuple{02674, 0, 0644}, {0444, 1, 0444}}) {
        writeFile(doc, "old");
        ::chmod(doc.c_str(), mode);
        EXPECT_EQ(run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", DOCSEAL_BIN,
                                           doc + ".enc", "/decrypt", "pw"}).status, status);
        EXPECT_EQ(modeOf(doc), after);
        EXPECT_EQ(readFile(doc), status == 0 ? kDocument : "old");
    }
    EXPECT_EQ(run("/usr/bin/flock", {"-x", doc, DOCSEAL_BIN, doc + ".enc", "/decrypt", "pw"}).status, 1);
}

// An output name that is a link keeps pointing at its replaced target.
TEST_F(Docseal, OutputsBehindLinks)
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
    // Sealed by the tools, opened by docseal, into a file and onto standard
    // output: a document past the markup limits that sealing keeps to, as
    // one sealed before they existed, still opens.
    const std::string theirs = dir.file("theirs.xml"), legacy = "<d a='" + std::string(20000000, 'v') + "'/>";
    writeFile(dir.file("legacy.xml"), legacy);
    ASSERT_EQ(run("/bin/sh", {script, "seal", "p\xC3\xA4ss", dir.file("legacy.xml"), theirs + ".enc"}).status, 0);
    EXPECT_EQ(docseal({"-o", "-", theirs + ".enc", "/decrypt", "p\xC3\xA4ss"}).out, legacy);
    ASSERT_EQ(docseal({theirs + ".enc", "/decrypt", "p\xC3\xA4ss"}).status, 0);
    EXPECT_EQ(readFile(theirs), legacy);
    // Sealed by docseal (mode 2 with a passphrase, mode 1 with the built-in
    // key), opened by the tools and by docseal.
    for (const std::string pass : {"p\xC3\xA4ss", ""}) {
        const RunResult sealed = pass.empty() ? docseal({doc, "/encrypt"}) : docseal({doc, "/encrypt", pass});
        ASSERT_EQ(sealed.status, 0);
        EXPECT_NE(sealed.out.find("sealed"), std::string::npos);
        EXPECT_EQ(readFile(doc + ".enc")[0], pass.empty() ? '\1' : '\2');
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
        const RunResult r = docseal({doc, "/encrypt", "pw"}, "ulimit -v " + std::to_string(mib << 10) + "; exec 2>&1; ");
        if (r.status == 127)
            continue; // the loader could not map the libraries: not started
        SCOPED_TRACE(std::to_string(mib) + " MiB: " + r.out);
        statuses.insert(r.status);
        EXPECT_EQ(r.out.empty(), r.status == 1);
        const auto records = readLogLines(reg.logPath());
        // Success leaves no record; a failure at most two (a constructor
        // that fails records its cause and its own failure), or none when
        // even the record could not be made.
        EXPECT_LE(records.size(), 2u * r.status);
        EXPECT_TRUE(records.empty() || records[0].find("unhandled") == std::string::npos) << records[0];
    }
    EXPECT_EQ(statuses, (std::set<int>{0, 1}));
    // A document with a 5 MB attribute value is sealed within such a limit.
    writeFile(doc, "<d a='" + std::string(5000000, 'v') + "'/>");
    EXPECT_EQ(docseal({doc, "/encrypt", "pw"}, "ulimit -v " + std::to_string(160 << 10) + "; ").status, 0);
}
