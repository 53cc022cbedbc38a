// The built program under Valgrind's memcheck: a whole sealing and opening of
// a small document with a passphrase, and a failing opening (wrong
// passphrase), each with no memory error and no definite leak. Skipped where
// valgrind is not installed; not built into the sanitizer build, whose
// instrumented program memcheck cannot run.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kMemcheckFound = 99;

struct Outcome {
    int status = -1;
    std::string log;
};

// Runs docseal with args under memcheck; the report goes to a file.
Outcome underMemcheck(const std::vector<std::string>& args, const nxrtest::ScratchDir& dir)
{
    const std::string logFile = dir.file("memcheck.log");
    std::vector<std::string> command = {"valgrind",
                                        "--tool=memcheck",
                                        "--error-exitcode=" + std::to_string(kMemcheckFound),
                                        "--leak-check=full",
                                        "--errors-for-leak-kinds=definite",
                                        "--show-leak-kinds=definite",
                                        "--track-fds=no",
                                        "--log-file=" + logFile,
                                        DOCSEAL_BIN};
    command.insert(command.end(), args.begin(), args.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : command)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0)
            ::dup2(devNull, STDOUT_FILENO);
        ::execvp("valgrind", argv.data());
        ::_exit(127);
    }
    Outcome outcome;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    outcome.log = nxrtest::readFile(logFile);
    return outcome;
}

bool haveValgrind() { return std::system("valgrind --version >/dev/null 2>&1") == 0; }

} // namespace

TEST(Memcheck, SealingAndOpeningHaveNoErrorsAndNoLeaks)
{
    if (!haveValgrind())
        GTEST_SKIP() << "valgrind is not installed (Debian: apt-get install valgrind); memcheck run skipped";
    nxrtest::ScratchDir dir;
    const std::string doc = dir.file("note.xml");
    const std::string original = "<?xml version=\"1.0\"?>\n<note to=\"a\">small &amp; plain</note>\n";
    nxrtest::writeFile(doc, original);

    Outcome sealed = underMemcheck({doc, "/encrypt", "memcheck passphrase"}, dir);
    EXPECT_EQ(sealed.status, 0) << sealed.log;
    ASSERT_TRUE(nxrtest::fileExists(doc + ".enc"));

    ::unlink(doc.c_str());
    Outcome wrong = underMemcheck({doc + ".enc", "/decrypt", "not the passphrase"}, dir);
    EXPECT_EQ(wrong.status, 1) << wrong.log;
    EXPECT_FALSE(nxrtest::fileExists(doc));

    Outcome opened = underMemcheck({doc + ".enc", "/decrypt", "memcheck passphrase"}, dir);
    EXPECT_EQ(opened.status, 0) << opened.log;
    EXPECT_EQ(nxrtest::readFile(doc), original);
}
