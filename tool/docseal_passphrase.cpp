#include "docseal_passphrase.h"

#include "nxr_os_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string_view>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace nxr;

namespace docseal {

namespace {

constexpr const char* kFileVariable = "DOCSEAL_PASSPHRASE_FILE";
constexpr const char* kFdVariable = "DOCSEAL_PASSPHRASE_FD";

// The longest first line taken as a passphrase, in bytes.
constexpr uint32_t kMaxLineBytes = 4096;
constexpr uint32_t kLineBufferBytes = kMaxLineBytes + 2;

enum class LineRead { Line, Unreadable, TooLong, ZeroByte };

// An open descriptor, closed at the end of its scope when it was opened here.
class CDescriptor {
public:
    CDescriptor() = default;
    ~CDescriptor() { release(); }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;

    void adopt(int iFd) { release(), m_iFd = iFd, m_bOwned = true; }
    void borrow(int iFd) { release(), m_iFd = iFd, m_bOwned = false; }
    int get() const { return m_iFd; }

private:
    void release()
    {
        if (m_bOwned && m_iFd >= 0)
            ::close(m_iFd);
        m_iFd = -1;
    }
    int m_iFd = -1;
    bool m_bOwned = false;
};

// One byte from fd: 1, 0 at the end, -1 on an error (errno set). Waits on a
// descriptor that was left non-blocking instead of failing.
ssize_t readOne(int iFd, char* pc)
{
    for (;;) {
        const ssize_t r = ::read(iFd, pc, 1);
        if (r >= 0)
            return r;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd wait{iFd, POLLIN, 0};
            ::poll(&wait, 1, -1);
        } else if (errno != EINTR) {
            return -1;
        }
    }
}

// The first line of fd without its line end (LF or CR LF) into line, which
// holds kLineBufferBytes zero bytes: room for the longest line, the CR of its
// line end, and a zero that always ends the text. One byte at a time, so
// nothing after the line is taken from a shared descriptor. Every byte goes
// straight into line, which wipes itself.
LineRead readLine(int iFd, CNXRBuffer<NXR_CHAR>& line, int& iError)
{
    char* p = line.getBuffer();
    uint32_t n = 0;
    char c = 0;
    LineRead result = LineRead::Line;
    for (;;) {
        const ssize_t r = readOne(iFd, &c);
        if (r < 0) {
            iError = errno;
            result = LineRead::Unreadable;
            break;
        }
        if (r == 0 || c == '\n')
            break;
        // The limit counts the passphrase without its line end: a CR may
        // follow the longest line.
        if (c == '\0' || n > kMaxLineBytes || (n == kMaxLineBytes && c != '\r')) {
            result = c == '\0' ? LineRead::ZeroByte : LineRead::TooLong;
            break;
        }
        p[n++] = c;
    }
    ::explicit_bzero(&c, sizeof(c));
    if (n > 0 && p[n - 1] == '\r')
        p[--n] = '\0';
    return result;
}

// The terminal whose echo is off, its settings from before and without echo,
// and the prompt shown there, for the handlers below: a signal that ends the
// program at the prompt puts the settings back; job control puts them back
// while the program is stopped, and turns echo off again and shows the prompt
// anew when it continues, so what is typed is never shown.
volatile sig_atomic_t g_iQuietFd = -1;
termios g_savedTerminal{};
termios g_quietTerminal{};
const char* volatile g_pszPrompt = "";
volatile size_t g_ulPromptBytes = 0;
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// Safe in a signal handler: nothing but write(2).
bool writeText(int iFd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t w = ::write(iFd, text.data(), text.size());
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(w));
    }
    return true;
}

// The prompt on the terminal, or on standard error when the terminal is open
// only for reading.
void showPrompt(int iFd, std::string_view prompt)
{
    if (!writeText(iFd, prompt))
        writeText(STDERR_FILENO, prompt);
}

extern "C" void restoreTerminalAndDie(int iSignal)
{
    if (g_iQuietFd >= 0)
        ::tcsetattr(g_iQuietFd, TCSANOW, &g_savedTerminal);
    ::signal(iSignal, SIG_DFL);
    ::raise(iSignal);
}

// Echo off again, and the prompt shown again when asked.
void quietAgain(bool bPrompt)
{
    if (g_iQuietFd < 0)
        return;
    ::tcsetattr(g_iQuietFd, TCSANOW, &g_quietTerminal);
    if (bPrompt)
        showPrompt(g_iQuietFd, std::string_view(g_pszPrompt, g_ulPromptBytes));
}

extern "C" void quietOnContinue(int)
{
    const int iSavedErrno = errno;
    quietAgain(true);
    errno = iSavedErrno;
}

// Runs with the stop signals and SIGCONT blocked, so the terminal may be set
// from the background too. Stops with the terminal as it was; SIGCONT, held
// until this handler returns, then quiets it again. A stop the kernel
// discards (an orphaned process group) brings no SIGCONT: the terminal is
// quieted here.
extern "C" void restoreTerminalAndStop(int iSignal)
{
    const int iSavedErrno = errno;
    if (g_iQuietFd >= 0)
        ::tcsetattr(g_iQuietFd, TCSANOW, &g_savedTerminal);
    struct sigaction self {};
    ::sigaction(iSignal, nullptr, &self);
    ::signal(iSignal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, iSignal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(iSignal);
    ::pthread_sigmask(SIG_BLOCK, &only, nullptr);
    ::sigaction(iSignal, &self, nullptr);
    sigset_t pending;
    if (::sigpending(&pending) == 0 && !sigismember(&pending, SIGCONT))
        quietAgain(false);
    errno = iSavedErrno;
}

// Echo off on a terminal for its lifetime (the line end still shows); the
// settings come back when it ends, while job control stops the program, or
// when a signal ends the program.
class CEchoOff {
public:
    explicit CEchoOff(int iFd) : m_iFd(iFd)
    {
        g_ulPromptBytes = 0;
        if (::tcgetattr(iFd, &g_savedTerminal) != 0)
            return;
        g_quietTerminal = g_savedTerminal;
        g_quietTerminal.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK);
        g_quietTerminal.c_lflag |= ECHONL;
        os::forEachEndingSignal([&](int iSignal) { take(iSignal, restoreTerminalAndDie); });
        for (const int iSignal : kStopSignals)
            take(iSignal, restoreTerminalAndStop);
        take(SIGCONT, quietOnContinue);
        g_iQuietFd = iFd;
        m_bActive = ::tcsetattr(iFd, TCSAFLUSH, &g_quietTerminal) == 0;
    }
    ~CEchoOff()
    {
        if (g_iQuietFd < 0)
            return;
        if (m_bActive)
            ::tcsetattr(m_iFd, TCSANOW, &g_savedTerminal);
        g_iQuietFd = -1;
        for (int iSignal = 1; iSignal < NSIG; ++iSignal)
            if (m_bTaken[iSignal])
                ::sigaction(iSignal, &m_previous[iSignal], nullptr);
    }
    CEchoOff(const CEchoOff&) = delete;
    CEchoOff& operator=(const CEchoOff&) = delete;

    // Shows the prompt, which continuing after a stop from now on shows
    // again (a stop before, a process started in the background, say, shows
    // it only once).
    void prompt(std::string_view text) const
    {
        g_pszPrompt = text.data();
        g_ulPromptBytes = text.size();
        showPrompt(m_iFd, text);
    }

private:
    // Handles iSignal with handler until the end, unless it is ignored: an
    // ignored signal stays ignored.
    void take(int iSignal, void (*handler)(int))
    {
        struct sigaction action = {};
        action.sa_handler = handler;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (const int iStop : kStopSignals)
            sigaddset(&action.sa_mask, iStop);
        sigaddset(&action.sa_mask, SIGCONT);
        if (::sigaction(iSignal, nullptr, &m_previous[iSignal]) == 0 && m_previous[iSignal].sa_handler != SIG_IGN)
            m_bTaken[iSignal] = ::sigaction(iSignal, &action, nullptr) == 0;
    }

    int m_iFd;
    bool m_bActive = false;
    struct sigaction m_previous[NSIG] = {};
    bool m_bTaken[NSIG] = {};
};


// Echo goes off before the prompt shows, so nothing typed after it is seen
// or thrown away by the change.
LineRead promptLine(int iFd, std::string_view prompt, CNXRBuffer<NXR_CHAR>& line, int& iError)
{
    const CEchoOff quiet(iFd);
    quiet.prompt(prompt);
    return readLine(iFd, line, iError);
}

PassphraseSource refuse(std::string& reason, std::string text, PassphraseSource source = PassphraseSource::Failed)
{
    reason = std::move(text);
    return source;
}

PassphraseSource refuseLine(LineRead read, int iError, const std::string& from, std::string& reason)
{
    switch (read) {
    case LineRead::Unreadable:
        return refuse(reason, "cannot read the passphrase from " + from + ": " + std::strerror(iError));
    case LineRead::TooLong:
        return refuse(reason, "the passphrase from " + from + " is longer than " + std::to_string(kMaxLineBytes) +
                                  " bytes");
    default:
        return refuse(reason, "the passphrase from " + from + " holds a zero byte");
    }
}

// The text of line (UTF-8, as an argument is) into passphrase.
PassphraseSource holdLine(const CNXRBuffer<NXR_CHAR>& line, const std::string& from,
                          CNXRSecureBuffer<NXR_USHORT>& passphrase, std::string& reason)
{
    if (line.getBuffer()[0] == '\0')
        return refuse(reason, "the passphrase from " + from + " is empty");
    const CNXRWCharString given(line); // stays empty when the line is not UTF-8
    if (given.getLength() == 0)
        return refuse(reason, "the passphrase from " + from + " is not UTF-8 text");
    if (!holdPassphrase(given, passphrase))
        return refuse(reason, "the passphrase cannot be held in locked memory");
    return PassphraseSource::Held;
}

// The first line of fd, or on a terminal what is typed at the prompt (twice
// when bConfirm is set, and the two must agree).
PassphraseSource readPassphrase(int iFd, const std::string& from, bool bConfirm,
                                CNXRSecureBuffer<NXR_USHORT>& passphrase, std::string& reason)
{
    const bool bTerminal = ::isatty(iFd) == 1;
    int iError = 0;
    CNXRBuffer<NXR_CHAR> line(kLineBufferBytes);
    const LineRead read = bTerminal ? promptLine(iFd, "Passphrase: ", line, iError) : readLine(iFd, line, iError);
    if (read != LineRead::Line)
        return refuseLine(read, iError, from, reason);
    // An empty answer is refused as it is, without asking for it again.
    if (bTerminal && bConfirm && line.getBuffer()[0] != '\0') {
        CNXRBuffer<NXR_CHAR> again(kLineBufferBytes);
        const LineRead readAgain = promptLine(iFd, "Passphrase again: ", again, iError);
        if (readAgain != LineRead::Line)
            return refuseLine(readAgain, iError, from, reason);
        if (std::memcmp(line.getBuffer(), again.getBuffer(), kLineBufferBytes) != 0)
            return refuse(reason, "the two passphrases differ");
    }
    return holdLine(line, from, passphrase, reason);
}

// Whether two descriptors reach the same file (a pipe, a terminal, a file).
bool sameOpenFile(int iFd, int iOther)
{
    struct stat a {}, b {};
    return ::fstat(iFd, &a) == 0 && ::fstat(iOther, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A descriptor number as the variable gives it: decimal digits only.
bool parseDescriptor(const char* psz, int& iFd)
{
    if (psz[0] == '\0' || std::strlen(psz) > 9 || std::strspn(psz, "0123456789") != std::strlen(psz))
        return false;
    iFd = std::atoi(psz);
    return true;
}

} // namespace

bool passphraseVariableSet() { return std::getenv(kFileVariable) != nullptr || std::getenv(kFdVariable) != nullptr; }

bool holdPassphrase(const CNXRWCharString& given, CNXRSecureBuffer<NXR_USHORT>& passphrase)
{
    if (given.getLength() == 0)
        return false;
    const CNXRSecureBuffer<NXR_USHORT> secure(given.getBuffer(), given.getLength() + 1, 0);
    passphrase = secure;
    return passphrase.isValid();
}

PassphraseSource passphraseFromEnvironment(bool bConfirm, int iDocumentFd, CNXRSecureBuffer<NXR_USHORT>& passphrase,
                                           std::string& reason)
{
    const char* pszFile = std::getenv(kFileVariable);
    const char* pszFd = std::getenv(kFdVariable);
    if (pszFile == nullptr && pszFd == nullptr)
        return PassphraseSource::None;
    if (pszFile != nullptr && pszFd != nullptr)
        return refuse(reason, std::string("both ") + kFileVariable + " and " + kFdVariable + " are set",
                      PassphraseSource::Usage);
    CDescriptor source;
    std::string from;
    if (pszFile != nullptr) {
        from = std::string("'") + pszFile + "'";
        // Not blocking in the open itself: a FIFO that has no writer reads
        // as empty at once; one whose writer is there is waited on for the
        // rest of its line.
        source.adopt(::open(pszFile, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (source.get() < 0)
            return refuse(reason, "cannot open the passphrase file " + from + ": " + std::strerror(errno));
        ::fcntl(source.get(), F_SETFL, ::fcntl(source.get(), F_GETFL) & ~O_NONBLOCK);
        // A terminal (/dev/tty, say) is asked on, so it is opened for the
        // prompt too where it may be.
        if (::isatty(source.get()) == 1) {
            const int iBoth = ::open(pszFile, O_RDWR | O_CLOEXEC | O_NOCTTY);
            if (iBoth >= 0)
                source.adopt(iBoth);
        }
    } else {
        int iFd = -1;
        if (!parseDescriptor(pszFd, iFd))
            return refuse(reason, std::string(kFdVariable) + " is not a descriptor number: '" + pszFd + "'",
                          PassphraseSource::Usage);
        from = "descriptor " + std::to_string(iFd);
        if (::fcntl(iFd, F_GETFD) < 0)
            return refuse(reason, "cannot read the passphrase from " + from + ": " + std::strerror(errno));
        source.borrow(iFd);
    }
    if (iDocumentFd >= 0 && sameOpenFile(source.get(), iDocumentFd))
        return refuse(reason, "the passphrase cannot be read from standard input, which carries the document",
                      PassphraseSource::Usage);
    return readPassphrase(source.get(), from, bConfirm, passphrase, reason);
}

} // namespace docseal
