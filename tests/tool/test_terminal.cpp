// docseal as a person at a terminal meets it: reasons on standard error,
// prompts without echo, passphrases from files and descriptors, --help and
// --version. The program runs on a pseudo-terminal.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
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

// A passphrase from a file (a line of the longest length taken), a
// descriptor or the prompt (typed twice, not echoed, each answer ending its
// line) seals exactly what the same passphrase as an argument seals, and
// opens it again. Whatever ends a prompt, the terminal echoes again after it.
TEST_F(Terminal, PassphraseOffTheCommandLine)
{
    const std::string longest(4096, 'l');
    writeFile(dir.file("longest"), longest + "\r\n"); // the limit counts no line end
    for (const auto& [prefix, answers, given] : std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>{
             {"DOCSEAL_PASSPHRASE_FILE='" + passFile + "' ", {}, pass},
             {"DOCSEAL_PASSPHRASE_FILE='" + dir.file("longest") + "' ", {}, longest},
             {"DOCSEAL_PASSPHRASE_FD=3 3<'" + passFile + "' ", {}, pass},
             {"DOCSEAL_PASSPHRASE_FD=0 ", {pass, pass}, pass}}) {
        SCOPED_TRACE(prefix);
        ASSERT_EQ(onTerminal({doc, "/encrypt", given}).status, 0);
        const std::string expected = readFile(doc + ".enc");
        const Session s = onTerminal({doc, "/encrypt"}, prefix, answers);
        EXPECT_EQ(s.status, 0);
        EXPECT_TRUE(s.bEchoAfter);
        EXPECT_EQ(countOf(s.terminal, "Passphrase"), answers.size()) << s.terminal;
        EXPECT_EQ(s.terminal.find("ss phrase"), std::string::npos) << "echoed: " << s.terminal;
        EXPECT_EQ(s.terminal.find("Passphrase: \r\nPassphrase again: \r\n"), answers.empty() ? std::string::npos : 0);
        EXPECT_EQ(readFile(doc + ".enc"), expected);
        ::unlink(doc.c_str());
        EXPECT_EQ(onTerminal({doc + ".enc", "/decrypt"}, prefix, {given}).status, 0);
        EXPECT_EQ(readFile(doc), text);
    }
    // Ctrl-C and Ctrl-\ at the prompt end the program as the signal would;
    // Ctrl-D gives an empty passphrase, refused without a second prompt.
    for (const auto& [key, status] : {std::pair{"\x03", 128 + SIGINT}, {"\x1c", 128 + SIGQUIT}, {"\x04", 1}}) {
        const Session s = onTerminal({doc, "/encrypt"}, "DOCSEAL_PASSPHRASE_FD=0 ", {key, key});
        EXPECT_EQ(s.status, status) << s.terminal;
        EXPECT_EQ(countOf(s.terminal, "Passphrase"), 1u) << s.terminal;
        EXPECT_TRUE(s.bEchoAfter) << status;
    }
    // Ctrl-Z at the prompt stops it with the terminal echoing as before; on
    // fg (a shell with job control) echo goes off again and the prompt shows
    // anew, so the passphrase typed then is not shown.
    const Session z = onTerminal({doc, "/encrypt"}, "DOCSEAL_PASSPHRASE_FD=0 ", {"\x1a", pass, pass},
                                 "sh -m -c \"@; stty -a | grep -o -- ' -*echo '; fg\"");
    EXPECT_EQ(z.status, 0);
    EXPECT_NE(z.terminal.find("Passphrase:  echo \r\n"), std::string::npos) << z.terminal;
    EXPECT_EQ(countOf(z.terminal, "Passphrase"), 3u);
    EXPECT_EQ(z.terminal.find("ss phrase"), std::string::npos) << z.terminal;
    EXPECT_EQ(onTerminal({doc + ".enc", "/decrypt", pass}).status, 0);
    // The document on standard input, the passphrase asked on /dev/tty.
    const std::string tty = in + "export DOCSEAL_PASSPHRASE_FILE=/dev/tty; exec <report.xml; ";
    EXPECT_EQ(onTerminal({"-o", "piped.enc", "-", "/encrypt"}, tty, {pass, pass}).status, 0);
    EXPECT_EQ(readFile(dir.file("piped.enc")), readFile(doc + ".enc"));
}

// A failure writes nothing, a usage error only the usage text; both leave
// the folder as it was (no output, no temporary file), and a failure of the
// command's work leaves one record. Either tells why in one line, the last,
// on a terminal (standard error, whatever standard output is), with control
// characters (C0, DEL, C1) shown as '?', and nothing at all otherwise. Names
// are bytes, a passphrase is UTF-8.
TEST_F(Terminal, FailuresTellWhyOnATerminalOnly)
{
    const std::string masked = "x\x1f \x7e\x7f\xC2\x9f\xC2\xA0.xml";
    writeFile(dir.file(masked), "<a");
    writeFile(dir.file("bad.xml"), std::string(11, '\n') + "<a><b>xxxxxxxx</a>");
    // Broken at once and larger than the check's window: the check's early
    // end stops the road.
    writeFile(dir.file("early.xml"), "<a></b>" + std::string(9 << 20, ' '));
    writeFile(dir.file("big.xml"), "<a>" + std::string(3000, 'x') + "</a>");
    writeFile(dir.file("long"), std::string(4097, 'x') + "\n");
    writeFile(dir.file("cr"), std::string(4096, 'x') + "\rx\n");
    ASSERT_EQ(onTerminal({doc, "/encrypt", pass}).status, 0);
    const std::string sealed = readFile(doc + ".enc");
    const auto variant = [&](const std::string& name, size_t at, char value, size_t size = std::string::npos) {
        std::string bytes = sealed.substr(0, size);
        bytes[at] = value;
        writeFile(dir.file(name), bytes);
        return name;
    };
    // Sparse files at the format's edges (refused before anything is read),
    // FIFOs and a dangling link.
    ASSERT_EQ(run("/bin/sh", {"-c", "truncate -s 4294967280 edge.xml && truncate -s 5G huge.xml huge.xml.enc && "
                                    "mkfifo fifo fifo.xml && ln -s nowhere.xml dangling.xml"}, in).status, 0);
    const std::string file = "DOCSEAL_PASSPHRASE_FILE=", fd = "DOCSEAL_PASSPHRASE_FD=", opened = "cannot open ",
                      damaged = ": not a docseal container, or a damaged one",
                      unnamed = ": the name of a container ends in \".enc\"",
                      large = " is too large for the container format (under 4 GiB)";
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
    std::string names = "<d>";
    for (int i = 0; i < 600000; ++i)
        names += "<e" + std::to_string(i) + "/>";
    writeFile(dir.file("names.xml"), names + "</d>");
    const std::string limit = ", docseal's limit";
    // Sealed by the outside tools, as no docseal would: refused when opened.
    ASSERT_EQ(run("/bin/sh", {TOOL_TESTS_DIR "/openssl_container.sh", "seal", "pw", dir.file("deep.xml"),
                              dir.file("deep.xml.enc")}).status, 0);
    const std::vector<std::string> seal = {"report.xml", "/encrypt"};
    const struct {
        std::vector<std::string> args;
        std::string prefix;
        int status;
        std::string reason;
        std::vector<std::string> answers{};
    } cases[] = {
        {{"bad.xml", "/encrypt", "pw"}, "", 1, "bad.xml is not well-formed XML: line 12, column 17: expected end of tag 'b'"},
        {{"early.xml", "/encrypt", "pw"}, "", 1, "early.xml is not well-formed XML: line 1, column 6: expected end of tag 'a'"},
        {{masked, "/encrypt", "pw"}, "", 1, "x? ~??\xC2\xA0.xml is not well-formed XML: line 1, column 3: unexpected end of input"},
        {{"report.xml.enc", "/decrypt", "wrong"}, "", 1, "cannot open report.xml.enc: wrong passphrase or damaged container"},
        {{variant("damaged.xml.enc", sealed.size() - 20, ~sealed[sealed.size() - 20]), "/decrypt", pass}, "", 1,
         "cannot open damaged.xml.enc: wrong passphrase or damaged container"},
        {{"report.xml.enc", "/decrypt"}, "", 1, "cannot open report.xml.enc: it was sealed with a passphrase, and none was given"},
        {{"report.xml.enc", "/encrypt", "pw"}, "", 1,
         "cannot seal report.xml.enc: it is a container sealed with a passphrase; open it first"},
        {{variant("mode9.xml.enc", 0, 9), "/decrypt", "pw"}, "", 1, "mode9.xml.enc is not a docseal container (unknown key mode)"},
        {{variant("long.xml.enc", 4, char(sealed[4] + 1)), "/decrypt", pass}, "", 1, opened + "long.xml.enc" + damaged},
        {{variant("zero.xml.enc", 4, 0, 8), "/decrypt", pass}, "", 1, opened + "zero.xml.enc" + damaged},
        {{variant("short.xml.enc", 0, 2, 5), "/decrypt", pass}, "", 1, opened + "short.xml.enc" + damaged},
        {{"report.xml", "/decrypt", "pw"}, "", 1, opened + "report.xml" + unnamed},
        {{variant("UPPER.XML.ENC", 9, sealed[9]), "/decrypt", pass}, "", 1, opened + "UPPER.XML.ENC" + unnamed},
        {{variant(".enc", 9, sealed[9]), "/decrypt", pass}, "", 1, opened + ".enc" + unnamed}, // no name is left
        // Outputs and inputs that are not plain files: refused, never waited on.
        {{variant("fifo.xml.enc", 9, sealed[9]), "/decrypt", pass}, "", 1, "fifo.xml: No such device or address"},
        {{variant("dangling.xml.enc", 9, sealed[9]), "/decrypt", pass}, "", 1, "dangling.xml: No such file or directory"},
        {{"fifo.xml", "/encrypt", "pw"}, "", 1, "fifo.xml: not a regular file"},
        {{"big.xml", "/encrypt", "pw"}, "ulimit -f 1; ", 1, "cannot write big.xml.enc: File too large"},
        {{"edge.xml", "/encrypt", "pw"}, "", 1, "edge.xml" + large},
        {{"huge.xml", "/encrypt", "pw"}, "", 1, "huge.xml" + large},
        {{"huge.xml.enc", "/decrypt", "pw"}, "", 1, "huge.xml.enc" + large},
        {{"deep.xml", "/encrypt", "pw"}, "", 1, "cannot seal deep.xml: line 1, column 1540: more than 512 nested elements" + limit},
        {{"ns.xml", "/encrypt", "pw"}, "", 1,
         "cannot seal ns.xml: line 1, column 3750: more than 256 namespace declarations in scope" + limit},
        {{"ent.xml", "/encrypt", "pw"}, "", 1, "cannot seal ent.xml: line 1, column 100090: more than 18 entity expansions" + limit},
        {{"prolog.xml", "/encrypt", "pw"}, "", 1, "cannot seal prolog.xml: a prolog longer than 8 MiB" + limit},
        {{"value.xml", "/encrypt", "pw"}, "", 1, "cannot seal value.xml: an attribute value longer than 10000000 bytes" + limit},
        // The parser leaks the name it could not keep; the process ends.
        {{"names.xml", "/encrypt", "pw"}, "export ASAN_OPTIONS=detect_leaks=0; ", 1,
         "cannot seal names.xml: a document that needs more than 64 MiB of parser memory" + limit},
        {{"deep.xml.enc", "/decrypt", "pw"}, "", 1, "cannot open deep.xml.enc: line 1, column 1540: more than 512 nested elements" + limit},
        {{"report.xml", "/encrypt", ""}, "", 1, "the passphrase is empty"},
        {{}, "", 2, ""}, {{"report.xml"}, "", 2, ""}, {{"report.xml", "/encrypt", "a", "b"}, "", 2, ""},
        {{"missing.xml", "/encrypt"}, "", 2, "no such file: missing.xml"},
        {{"\xFF\xFE.xml", "/encrypt"}, "", 2, "no such file: \xEF\xBF\xBD\xEF\xBF\xBD.xml"},
        {{"report.xml", "/ENCRYPT"}, "", 2, "unknown command word: /ENCRYPT"},
        {{"report.xml", "/encrypt "}, "", 2, "unknown command word: /encrypt "},
        {{"report.xml", "-encrypt"}, "", 2, "unknown command word: -encrypt"},
        {{"report.xml", "/encrypt", "pass\xE9"}, "", 2, "the passphrase is not UTF-8 text"},
        {{"-o"}, "", 2, "the option needs an output name: -o"}, {{"-o", "a", "report.xml"}, "", 2, ""},
        {{"--output", "report.xml", "/encrypt"}, "", 2, ""}, {{"-o", "", "report.xml", "/encrypt"}, "", 2, "the output name is empty"},
        {{"-o", "a", "-o", "b", "report.xml", "/encrypt"}, "", 2, "more than one output was given"},
        {{"-q", "report.xml", "/encrypt"}, "", 2, "unknown option: -q"},
        {{"--outpt=a", "report.xml", "/encrypt"}, "", 2, "unknown option: --outpt=a"},
        // The passphrase given both ways, unreadable, empty, too long or
        // mistyped; a FIFO without a writer is empty, not waited on.
        {{"report.xml", "/encrypt", "pw"}, file + "pass ", 2,
         "a passphrase was given both on the command line and in the environment"},
        {seal, file + "pass " + fd + "3 ", 2, "both DOCSEAL_PASSPHRASE_FILE and DOCSEAL_PASSPHRASE_FD are set"},
        {seal, fd + "x3 ", 2, "DOCSEAL_PASSPHRASE_FD is not a descriptor number: 'x3'"},
        {seal, file + "none ", 1, "cannot open the passphrase file 'none': No such file or directory"},
        {seal, file + ". ", 1, "cannot read the passphrase from '.': Is a directory"},
        {seal, fd + "7 ", 1, "cannot read the passphrase from descriptor 7: Bad file descriptor"},
        {seal, file + "/dev/null ", 1, "the passphrase from '/dev/null' is empty"},
        {seal, file + "fifo ", 1, "the passphrase from 'fifo' is empty"},
        {seal, file + "long ", 1, "the passphrase from 'long' is longer than 4096 bytes"},
        {seal, file + "cr ", 1, "the passphrase from 'cr' is longer than 4096 bytes"},
        {seal, fd + "0 ", 1, "the two passphrases differ", {pass, pass + "x"}},
        {{"-o", "r.enc", "-", "/encrypt"}, fd + "0 ", 2, "the passphrase cannot be read from standard input, which carries the document"},
        {{"-o", "r.enc", "-", "/encrypt", "pw"}, "exec </dev/null; ", 1,
         "standard input is not well-formed XML: line 1, column 1: invalid document structure"},
    };
    ScopedRegistry reg;
    reg.enableLogging(0x1B);
    const auto before = namesIn(dir.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const Session shown = onTerminal(c.args, in + "exec >/dev/null; " + c.prefix, c.answers);
        EXPECT_EQ(shown.status, c.status);
        EXPECT_TRUE(shown.bEchoAfter);
        EXPECT_EQ(countOf(shown.terminal, "docseal: "), c.reason.empty() ? 0u : 1u) << shown.terminal;
        EXPECT_TRUE(shown.terminal.ends_with(c.reason.empty() ? "" : "docseal: " + c.reason + "\r\n")) << shown.terminal;
        std::filesystem::remove(reg.logPath());
        const RunResult piped = docseal(c.args, in + "exec 2>&1 </dev/null; " + c.prefix);
        EXPECT_EQ(piped.status, c.status);
        EXPECT_TRUE(c.status == 1 ? piped.out.empty() : piped.out.starts_with("Usage: docseal [-o OUTPUT] FILE /encrypt [PASS")) << piped.out;
        EXPECT_EQ(piped.out.find("docseal: "), std::string::npos);
        const bool bWorkBegan = c.reason.find("the passphrase") == c.reason.find("passphrases"); // both absent
        EXPECT_EQ(readLogLines(reg.logPath()).size(), c.status == 1 && bWorkBegan);
        EXPECT_EQ(namesIn(dir.path()), before);
    }
    // A container is never shown on a terminal, nor typed there.
    for (const auto& args : {std::vector<std::string>{"-o", "-", "report.xml", "/encrypt"}, {"-", "/decrypt"}}) {
        const Session shown = onTerminal(args, in);
        EXPECT_EQ(shown.status, 2);
        EXPECT_NE(shown.terminal.find("docseal: a container is not"), std::string::npos) << shown.terminal;
    }
}

// A large document shows its progress on standard error when that is a
// terminal, redrawn at most ten times a second and erased before the final
// message; with standard error elsewhere, nowhere.
TEST_F(Terminal, ProgressOfALargeDocument)
{
    writeFile(doc, "<r>" + repeat("<e>some text that fills the document &amp; more</e>\n", 1500000) + "</r>");
    const auto start = std::chrono::steady_clock::now();
    const std::string shown = onTerminal({doc, "/encrypt", "pw"}).terminal;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const size_t drawn = countOf(shown, "\r\033[Kdocseal: sealing ");
    EXPECT_TRUE(drawn >= 1 && drawn <= 2 + size_t(seconds * 10)) << drawn << " in " << seconds << " s";
    EXPECT_EQ(shown.rfind("\r\033[K"), shown.find("\r\033[Kdocseal: the document was sealed")) << shown;
    const Session opened = onTerminal({doc + ".enc", "/decrypt", "pw"}, "exec 2>'" + dir.file("err") + "'; ");
    EXPECT_EQ(opened.status, 0);
    EXPECT_EQ(opened.terminal.find("opening"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("err")), "");
}
