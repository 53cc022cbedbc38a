// docseal as a person at a terminal meets it: reasons on standard error,
// prompts without echo, passphrases from files and descriptors, --help and
// --version. The program runs on a pseudo-terminal.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <tuple>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace nxrtest;

namespace {

struct Session {
    int status = -1;
    std::string terminal;    // all the terminal showed
    bool bEchoAfter = false; // the terminal echoes again once the program ended
};

size_t countOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Runs docseal with args, after the shell words in prefix (a folder to work
// in, variables, redirections), on a new pseudo-terminal, typing one answer
// after each prompt (a line, or a control character alone). The program's
// words take the place of the @ in around.
Session onTerminal(const std::vector<std::string>& args, const std::string& prefix = "",
                   const std::vector<std::string>& answers = {}, std::string around = "exec @")
{
    std::string words = "'" DOCSEAL_BIN "'";
    for (const auto& arg : args)
        words += " '" + arg + "'";
    const std::string command = prefix + around.replace(around.find('@'), 1, words);
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    Session session;
    size_t answered = 0;
    char chunk[4096];
    pollfd ready{master, POLLIN, 0};
    // The read fails (EIO) once the program has ended; a hung one is killed.
    for (ssize_t n; ::poll(&ready, 1, 30000) > 0 && (n = ::read(master, chunk, sizeof(chunk))) > 0;) {
        session.terminal.append(chunk, size_t(n));
        if (answered < answers.size() && countOf(session.terminal, "Passphrase") > answered) {
            const std::string& answer = answers[answered++];
            const std::string line = answer + (answer[0] < ' ' ? "" : "\n");
            [[maybe_unused]] const ssize_t w = ::write(master, line.data(), line.size());
        }
    }
    ::kill(pid, SIGKILL); // nothing to kill when it ended by itself
    int status = 0;
    ::waitpid(pid, &status, 0);
    termios settings{};
    session.bEchoAfter = ::tcgetattr(master, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    ::close(master);
    session.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return session;
}

class Terminal : public ::testing::Test {
protected:
    ScratchDir dir;
    const std::string in = "cd '" + dir.path() + "' && ", doc = dir.file("report.xml"), passFile = dir.file("pass");
    const std::string pass = "p\xC3\xA4ss phrase", text = "<report><item>caf\xC3\xA9</item></report>\n";
    void SetUp() override
    {
        writeFile(doc, text);
        writeFile(passFile, pass + "\r\nsecond line\n");
    }
};

} // namespace

TEST_F(Terminal, HelpAndVersion)
{
    for (const auto& [arg, status, shown] :
         {std::tuple{"--help", 0, "Usage: docseal"}, {"-h", 0, "Usage: docseal"}, {"--helpme", 2, "Usage: docseal"},
          {"--version", 0, "docseal " DOCSEAL_VERSION "\n"}, {"-V", 0, "docseal " DOCSEAL_VERSION "\n"}}) {
        const RunResult r = run(DOCSEAL_BIN, {arg}, "exec 2>/dev/null; ");
        EXPECT_EQ(r.status, status) << arg;
        EXPECT_EQ(r.out.find(shown), 0u) << arg << ": " << r.out;
    }
}

// A passphrase from a file, a descriptor or the prompt (typed twice, not
// echoed) seals exactly what the same passphrase as an argument seals, and
// opens it again; the prompt gives the echo back whatever ends it.
TEST_F(Terminal, PassphraseOffTheCommandLine)
{
    ASSERT_EQ(onTerminal({doc, "/encrypt", pass}).status, 0);
    const std::string expected = readFile(doc + ".enc");
    for (const auto& [prefix, answers] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"DOCSEAL_PASSPHRASE_FILE='" + passFile + "' ", {}},
             {"DOCSEAL_PASSPHRASE_FD=3 3<'" + passFile + "' ", {}},
             {"DOCSEAL_PASSPHRASE_FD=0 ", {pass, pass}}}) {
        SCOPED_TRACE(prefix);
        const Session s = onTerminal({doc, "/encrypt"}, prefix, answers);
        EXPECT_EQ(s.status, 0);
        EXPECT_EQ(countOf(s.terminal, "Passphrase"), answers.size()) << s.terminal;
        EXPECT_EQ(s.terminal.find("ss phrase"), std::string::npos) << "echoed: " << s.terminal;
        EXPECT_EQ(readFile(doc + ".enc"), expected);
        ::unlink(doc.c_str());
        EXPECT_EQ(onTerminal({doc + ".enc", "/decrypt"}, prefix, {pass}).status, 0);
        EXPECT_EQ(readFile(doc), text);
    }
    // The limit of 4096 bytes counts the passphrase without its line end.
    writeFile(passFile, std::string(4096, 'x') + "\r\n");
    ASSERT_EQ(run(DOCSEAL_BIN, {doc, "/encrypt"}, "DOCSEAL_PASSPHRASE_FILE='" + passFile + "' ").status, 0);
    EXPECT_EQ(run(DOCSEAL_BIN, {doc + ".enc", "/decrypt", std::string(4096, 'x')}).status, 0);
    // Ctrl-C at the prompt ends the program as the signal would, with the
    // terminal echoing again.
    const Session s = onTerminal({doc, "/encrypt"}, "DOCSEAL_PASSPHRASE_FD=0 ", {"\x03"});
    EXPECT_EQ(s.status, 128 + SIGINT);
    EXPECT_TRUE(s.bEchoAfter);
    // Ctrl-Z at the prompt stops it with the terminal echoing as before; on
    // fg (a shell with job control) echo goes off again and the prompt shows
    // anew, so the passphrase typed then is not shown.
    const Session z = onTerminal({doc, "/encrypt"}, "DOCSEAL_PASSPHRASE_FD=0 ", {"\x1a", pass, pass},
                                 "sh -m -c \"@; stty -a | grep -o -- ' -*echo '; fg\"");
    EXPECT_EQ(z.status, 0);
    EXPECT_NE(z.terminal.find("Passphrase:  echo \r\n"), std::string::npos) << z.terminal;
    EXPECT_EQ(countOf(z.terminal, "Passphrase"), 3u);
    EXPECT_EQ(z.terminal.find("ss phrase"), std::string::npos) << z.terminal;
    EXPECT_EQ(readFile(doc + ".enc"), expected);
}

// A failure or usage error tells why in one line, the last, on a terminal, and
// nothing at all otherwise; the folder stays as it was.
TEST_F(Terminal, FailuresTellWhyOnATerminalOnly)
{
    writeFile(dir.file("bad.xml"), "<a>\n<b></a>");
    writeFile(dir.file("long"), std::string(4097, 'x') + "\n");
    writeFile(dir.file("cr"), std::string(4096, 'x') + "\rx\n");
    ASSERT_EQ(onTerminal({doc, "/encrypt", pass}).status, 0);
    writeFile(dir.file("mode9.xml.enc"), "\x09" + readFile(doc + ".enc").substr(1)); // key mode 9
    // At the check's limits: nesting, namespaces in scope, entity expansions
    // and the front a pass that may start again holds.
    std::string declarations;
    for (int i = 0; i < 257; ++i)
        declarations += " xmlns:p" + std::to_string(i) + "=\"u\"";
    writeFile(dir.file("deep.xml"), "<d>" + repeat("<a>", 512) + repeat("</a>", 512) + "</d>");
    writeFile(dir.file("ns.xml"), "<d" + declarations + "/>");
    writeFile(dir.file("ent.xml"), "<!DOCTYPE d [<!ENTITY e \"" + std::string(100000, 'x') + "\">]><d>" + repeat("&e;", 2000) + "</d>");
    writeFile(dir.file("prolog.xml"), "<!--" + std::string(9 << 20, 'c') + "--><d/>");
    writeFile(dir.file("value.xml"), "<d a='" + std::string(20000000, 'v') + "'/>");
    const std::string limit = ", docseal's limit";
    // Sealed by the outside tools, as no docseal would: refused when opened.
    ASSERT_EQ(run("/bin/sh", {TOOL_TESTS_DIR "/openssl_container.sh", "seal", "pw", dir.file("deep.xml"),
                              dir.file("deep.xml.enc")}).status, 0);
    const std::string file = "DOCSEAL_PASSPHRASE_FILE=", fd = "DOCSEAL_PASSPHRASE_FD=";
    const std::vector<std::string> seal = {"report.xml", "/encrypt"};
    const struct {
        std::vector<std::string> args;
        std::string prefix;
        int status;
        std::string reason;
        std::vector<std::string> answers{};
    } cases[] = {
        {{"bad.xml", "/encrypt", "pw"}, "", 1, "bad.xml is not well-formed XML: line 2, column "},
        {{"report.xml.enc", "/decrypt", "wrong"}, "", 1, "cannot open report.xml.enc: wrong passphrase or damaged container"},
        {{"report.xml.enc", "/decrypt"}, "", 1, "cannot open report.xml.enc: it was sealed with a passphrase, and none was given"},
        {{"report.xml.enc", "/encrypt", "pw"}, "", 1,
         "cannot seal report.xml.enc: it is a container sealed with a passphrase; open it first"},
        {{"mode9.xml.enc", "/decrypt", "pw"}, "", 1, "mode9.xml.enc is not a docseal container (unknown key mode)"},
        {{"deep.xml", "/encrypt", "pw"}, "", 1, "cannot seal deep.xml: line 1, column 1540: more than 512 nested elements" + limit},
        {{"ns.xml", "/encrypt", "pw"}, "", 1,
         "cannot seal ns.xml: line 1, column 3750: more than 256 namespace declarations in scope" + limit},
        {{"ent.xml", "/encrypt", "pw"}, "", 1, "cannot seal ent.xml: line 1, column 100090: more than 18 entity expansions" + limit},
        {{"prolog.xml", "/encrypt", "pw"}, "", 1, "cannot seal prolog.xml: a prolog longer than 8 MiB" + limit},
        {{"value.xml", "/encrypt", "pw"}, "", 1, "cannot seal value.xml: an attribute value longer than 10000000 bytes" + limit},
        {{"deep.xml.enc", "/decrypt", "pw"}, "", 1, "cannot open deep.xml.enc: line 1, column 1540: more than 512 nested elements" + limit},
        {{"report.xml", "/encrypt", ""}, "", 1, "the passphrase is empty"},
        // The passphrase given both ways, unreadable, empty or mistyped.
        {{"report.xml", "/encrypt", "pw"}, file + "pass ", 2,
         "a passphrase was given both on the command line and in the environment"},
        {seal, file + "pass " + fd + "3 ", 2, "both DOCSEAL_PASSPHRASE_FILE and DOCSEAL_PASSPHRASE_FD are set"},
        {seal, fd + "x3 ", 2, "DOCSEAL_PASSPHRASE_FD is not a descriptor number: 'x3'"},
        {seal, file + "none ", 1, "cannot open the passphrase file 'none': No such file or directory"},
        {seal, file + ". ", 1, "cannot read the passphrase from '.': Is a directory"},
        {seal, fd + "7 ", 1, "cannot read the passphrase from descriptor 7: Bad file descriptor"},
        {seal, file + "/dev/null ", 1, "the passphrase from '/dev/null' is empty"},
        {seal, file + "long ", 1, "the passphrase from 'long' is longer than 4096 bytes"},
        {seal, file + "cr ", 1, "the passphrase from 'cr' is longer than 4096 bytes"},
        {seal, fd + "0 ", 1, "the two passphrases differ", {pass, pass + "x"}},
        {{"-o", "r.enc", "-", "/encrypt"}, fd + "0 ", 2, "the passphrase cannot be read from standard input, which"},
    };
    const auto before = namesIn(dir.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const Session shown = onTerminal(c.args, in + c.prefix, c.answers);
        EXPECT_EQ(shown.status, c.status);
        const size_t at = shown.terminal.find("docseal: " + c.reason);
        EXPECT_TRUE(at != std::string::npos && shown.terminal.find('\n', at) + 1 == shown.terminal.size()) << shown.terminal;
        const RunResult piped = run(DOCSEAL_BIN, c.args, in + "exec 2>&1 </dev/null; " + c.prefix);
        EXPECT_EQ(piped.status, c.status);
        EXPECT_EQ(piped.out.find("docseal: "), std::string::npos) << piped.out;
        EXPECT_EQ(namesIn(dir.path()), before);
    }
    // A container is never shown on a terminal, nor typed there.
    for (const auto& args : {std::vector<std::string>{"-o", "-", "report.xml", "/encrypt"}, {"-", "/decrypt"}}) {
        const Session shown = onTerminal(args, in);
        EXPECT_EQ(shown.status, 2);
        EXPECT_NE(shown.terminal.find("docseal: a container is not"), std::string::npos) << shown.terminal;
    }
}

// A large document shows its progress on a terminal, never through a pipe.
TEST_F(Terminal, ProgressOfALargeDocument)
{
    writeFile(doc, "<r>" + repeat("<e>some text that fills the document &amp; more</e>\n", 1500000) + "</r>");
    EXPECT_NE(onTerminal({doc, "/encrypt", "pw"}).terminal.find("docseal: sealing "), std::string::npos);
    EXPECT_EQ(run(DOCSEAL_BIN, {doc + ".enc", "/decrypt", "pw"}, "exec 2>&1 >/dev/null; ").out, "");
}
