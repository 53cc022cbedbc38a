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

// Runs docseal with args under memcheck and returns its exit status (99 when
// memcheck found an error or a definite leak); the report is added to log.
int underMemcheck(const std::vector<std::string>& args, const nxrtest::ScratchDir& dir, std::string& log)
{
    const std::string logFile = dir.file("memcheck.log");
    std::vector<std::string> command = {"valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
                                        "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
                                        "--track-fds=no", "--log-file=" + logFile, DOCSEAL_BIN};
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
    int status = 0;
    const bool bExited = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    log = nxrtest::readFile(logFile);
    return bExited ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Memcheck, SealingAndOpeningHaveNoErrorsAndNoLeaks)
{
    if (std::system("valgrind --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "valgrind is not installed (Debian: apt-get install valgrind); memcheck run skipped";
    nxrtest::ScratchDir dir;
    const std::string doc = dir.file("note.xml");
    const std::string original = "<?xml version=\"1.0\"?>\n<note to=\"a\">small &amp; plain</note>\n";
    nxrtest::writeFile(doc, original);
    std::string log;

    EXPECT_EQ(underMemcheck({doc, "/encrypt", "memcheck passphrase"}, dir, log), 0) << log;
    ASSERT_TRUE(nxrtest::fileExists(doc + ".enc"));
    ::unlink(doc.c_str());
    EXPECT_EQ(underMemcheck({doc + ".enc", "/decrypt", "not the passphrase"}, dir, log), 1) << log;
    EXPECT_FALSE(nxrtest::fileExists(doc));
    EXPECT_EQ(underMemcheck({doc + ".enc", "/decrypt", "memcheck passphrase"}, dir, log), 0) << log;
    EXPECT_EQ(nxrtest::readFile(doc), original);
}
