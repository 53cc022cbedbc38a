// docseal as a person at a terminal meets it: reasons on standard error,
// prompts without echo, passphrases from files and descriptors, --help and
// --version. The program runs on a pseudo-terminal.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace nxrtest;

namespace {

struct Call {
    std::vector<std::string> args{};
    std::vector<std::string> env{};   // NAME=value
    std::vector<std::string> answers{}; // typed, one line after each prompt
    bool bStderrPipe = false;         // standard error to a pipe, not the terminal
    std::string fd3{};                // a file opened as descriptor 3
};

struct Session {
    int status = -1;
    std::string terminal; // all the terminal showed
    std::string stderrPipe;
    bool bEchoAfter = false; // the terminal echoes again once the program ended
};

size_t countOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Runs the program with standard input, output and (unless piped) error on a
// new pseudo-terminal, answering its prompts.
Session onTerminal(const Call& call)
{
    int errPipe[2];
    if (::pipe(errPipe) != 0)
        return {};
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (call.bStderrPipe)
            ::dup2(errPipe[1], STDERR_FILENO);
        if (!call.fd3.empty())
            ::dup2(::open(call.fd3.c_str(), O_RDONLY), 3);
        for (const auto& assignment : call.env)
            ::putenv(const_cast<char*>(assignment.c_str()));
        std::vector<char*> argv{const_cast<char*>(DOCSEAL_BIN)};
        for (const auto& arg : call.args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(DOCSEAL_BIN, argv.data());
        ::_exit(127);
    }
    ::close(errPipe[1]);
    Session session;
    size_t answered = 0;
    int errFd = errPipe[0];
    char chunk[4096];
    for (bool bOpen = true; bOpen;) {
        pollfd fds[2] = {{master, POLLIN, 0}, {errFd, POLLIN, 0}};
        if (::poll(fds, 2, 30000) <= 0)
            break; // hung: killed below
        if (fds[0].revents != 0) {
            const ssize_t n = ::read(master, chunk, sizeof(chunk));
            bOpen = n > 0; // EIO once the program has ended
            session.terminal.append(chunk, n > 0 ? size_t(n) : 0);
        }
        if (fds[1].revents != 0) {
            const ssize_t n = ::read(errFd, chunk, sizeof(chunk));
            session.stderrPipe.append(chunk, n > 0 ? size_t(n) : 0);
            errFd = n > 0 ? errFd : -1;
        }
        if (answered < call.answers.size() && countOf(session.terminal, "Passphrase") > answered) {
            const std::string line = call.answers[answered++] + "\n";
            [[maybe_unused]] const ssize_t w = ::write(master, line.data(), line.size());
        }
    }
    ::kill(pid, SIGKILL); // nothing to kill when it ended by itself
    int status = 0;
    ::waitpid(pid, &status, 0);
    termios settings{};
    session.bEchoAfter = ::tcgetattr(master, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    for (ssize_t n; (n = ::read(errPipe[0], chunk, sizeof(chunk))) > 0;)
        session.stderrPipe.append(chunk, size_t(n));
    ::close(errPipe[0]);
    ::close(master);
    session.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return session;
}

class Terminal : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string doc = dir.file("report.xml");
    std::string passFile = dir.file("pass");
    const std::string pass = "p\xC3\xA4ss phrase";
    void SetUp() override
    {
        writeFile(doc, "<report><item>caf\xC3\xA9</item></report>\n");
        writeFile(passFile, pass + "\r\nsecond line\n");
    }
    // The container the passphrase gives as an argument.
    std::string sealedWithArgument()
    {
        EXPECT_EQ(onTerminal({.args = {doc, "/encrypt", pass}}).status, 0);
        const std::string container = readFile(doc + ".enc");
        ::unlink((doc + ".enc").c_str());
        return container;
    }
};

} // namespace

TEST_F(Terminal, HelpAndVersion)
{
    for (const auto& [arg, shown] : {std::pair{"--help", "Usage: docseal"}, {"-h", "Usage: docseal"},
                                     {"--version", "docseal " DOCSEAL_VERSION "\r\n"}, {"-V", "docseal " DOCSEAL_VERSION}}) {
        const Session s = onTerminal({.args = {arg}, .bStderrPipe = true});
        EXPECT_EQ(s.status, 0) << arg;
        EXPECT_EQ(s.terminal.find(shown), 0u) << arg << ": " << s.terminal;
    }
    EXPECT_EQ(onTerminal({.args = {"--helpme"}, .bStderrPipe = true}).status, 2);
}

// A failure tells why on a terminal, and nothing at all otherwise; standard
// output stays silent either way.
TEST_F(Terminal, ReasonOnlyOnATerminal)
{
    writeFile(dir.file("bad.xml"), "<a>\n<b></a>");
    ASSERT_EQ(onTerminal({.args = {doc, "/encrypt", pass}}).status, 0);
    const struct {
        std::vector<std::string> args{};
        std::string reason;
    } cases[] = {
        {{dir.file("bad.xml"), "/encrypt", "pw"}, "bad.xml is not well-formed XML: line 2, column "},
        {{doc + ".enc", "/decrypt", "wrong"}, "report.xml.enc: wrong passphrase or damaged container"},
        {{doc + ".enc", "/decrypt"}, "report.xml.enc: it was sealed with a passphrase, and none was given"},
        {{doc, "/encrypt", ""}, "the passphrase is empty"},
    };
    for (const auto& c : cases) {
        const Session shown = onTerminal({.args = c.args});
        EXPECT_EQ(shown.status, 1);
        EXPECT_EQ(countOf(shown.terminal, "\n"), 1u) << shown.terminal;
        EXPECT_EQ(shown.terminal.find("docseal: "), 0u) << shown.terminal;
        EXPECT_NE(shown.terminal.find(c.reason), std::string::npos) << shown.terminal;
        const Session piped = onTerminal({.args = c.args, .bStderrPipe = true});
        EXPECT_EQ(piped.status, 1);
        EXPECT_EQ(piped.terminal + piped.stderrPipe, "");
    }
}

// A passphrase from a file, a descriptor or the prompt seals exactly what the
// same passphrase as an argument seals, and opens it again.
TEST_F(Terminal, PassphraseOffTheCommandLine)
{
    const std::string expected = sealedWithArgument();
    const Call seals[] = {
        {.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FILE=" + passFile}},
        {.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FD=3"}, .fd3 = passFile},
        {.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FD=0"}, .answers = {pass, pass}},
    };
    for (const Call& call : seals) {
        SCOPED_TRACE(call.env[0]);
        const Session s = onTerminal(call);
        EXPECT_EQ(s.status, 0);
        EXPECT_EQ(countOf(s.terminal, "Passphrase"), call.answers.size()) << s.terminal;
        EXPECT_EQ(s.terminal.find("ss phrase"), std::string::npos) << "echoed: " << s.terminal;
        EXPECT_EQ(readFile(doc + ".enc"), expected);
        ::unlink(doc.c_str());
        EXPECT_EQ(onTerminal({.args = {doc + ".enc", "/decrypt"}, .env = call.env, .answers = {pass}, .fd3 = call.fd3}).status, 0);
        EXPECT_EQ(readFile(doc), "<report><item>caf\xC3\xA9</item></report>\n");
        ::unlink((doc + ".enc").c_str());
    }
}

// Refusals: given both ways (usage), unreadable, empty or mistyped (failure);
// no container is written.
TEST_F(Terminal, PassphraseRefusals)
{
    const struct {
        Call call;
        int status;
        std::string reason;
    } cases[] = {
        {{.args = {doc, "/encrypt", pass}, .env = {"DOCSEAL_PASSPHRASE_FILE=" + passFile}}, 2, "both on the command line"},
        {{.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FILE=" + passFile, "DOCSEAL_PASSPHRASE_FD=3"}}, 2, "both"},
        {{.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FD=x3"}}, 2, "not a descriptor number"},
        {{.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FILE=" + dir.file("none")}}, 1, "No such file or directory"},
        {{.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FILE=" + dir.path()}}, 1, "Is a directory"},
        {{.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FD=7"}}, 1, "descriptor 7: Bad file descriptor"},
        {{.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FILE=/dev/null"}}, 1, "is empty"},
        {{.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FD=0"}, .answers = {pass, pass + "x"}}, 1,
         "the two passphrases differ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const Session s = onTerminal(c.call);
        EXPECT_EQ(s.status, c.status);
        EXPECT_NE(s.terminal.find("docseal: "), std::string::npos) << s.terminal;
        EXPECT_NE(s.terminal.find(c.reason), std::string::npos) << s.terminal;
        EXPECT_FALSE(fileExists(doc + ".enc"));
    }
}

// Ctrl-C at the prompt ends the program as the signal would, with the
// terminal echoing again.
TEST_F(Terminal, InterruptedPromptGivesTheEchoBack)
{
    const Session s = onTerminal({.args = {doc, "/encrypt"}, .env = {"DOCSEAL_PASSPHRASE_FD=0"}, .answers = {"\x03"}});
    EXPECT_EQ(s.status, 128 + SIGINT);
    EXPECT_TRUE(s.bEchoAfter);
    EXPECT_FALSE(fileExists(doc + ".enc"));
}
