// docseal: seals an XML document into a container beside it, or opens one.
//
//   docseal [-o OUTPUT] FILE /encrypt [PASSPHRASE]
//   docseal [-o OUTPUT] FILE.enc /decrypt [PASSPHRASE]
//   docseal --help | --version
//
// FILE "-" is standard input, OUTPUT "-" standard output; standard input
// without -o goes to standard output.
//
// The three texts the program shows come from its message library,
// tarn_strings.so, which the program finds by its run path. A finished
// command prints its message; a usage error prints the usage text; a failure
// prints nothing on standard output and is told by the exit status, and by
// one line of reason on standard error when that is a terminal.
#include "docseal_passphrase.h"
#include "docseal_progress.h"
#include "docseal_reason.h"
#include "nxr_buffer.h"
#include "nxr_file.h"
#include "nxr_firstfailure.h"
#include "nxr_os_file.h"
#include "nxr_os_text.h"
#include "nxr_securebuffer.h"
#include "nxr_wchar_string.h"
#include "nxr_xerces.h"
#include "nxr_xmlcrypt.h"

#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <getopt.h>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

using namespace nxr;
using namespace docseal;

namespace {

enum ExitStatus : int { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

// 9004 and 9005: the command's work went to the output -o named.
enum : uint32_t {
    MSG_ENCRYPTED = 9001,
    MSG_DECRYPTED = 9002,
    MSG_USAGE = 9003,
    MSG_ENCRYPTED_TO = 9004,
    MSG_DECRYPTED_TO = 9005
};

constexpr uint32_t MESSAGE_UNITS = 1024;

using LoadStringFn = int (*)(uint32_t, char16_t*, int);

// The message library, loaded for the whole run and released on every path.
class CMessageLibrary {
public:
    CMessageLibrary() : m_hModule(::dlopen("tarn_strings.so", RTLD_NOW | RTLD_LOCAL)) {}
    ~CMessageLibrary()
    {
        if (m_hModule != nullptr)
            ::dlclose(m_hModule);
    }
    CMessageLibrary(const CMessageLibrary&) = delete;
    CMessageLibrary& operator=(const CMessageLibrary&) = delete;

    bool isLoaded() const { return m_hModule != nullptr; }

    // Fills buffer with string ulId; a missing string leaves it all zero.
    void loadString(uint32_t ulId, CNXRBuffer<NXR_USHORT>& buffer) const
    {
        auto pfn = reinterpret_cast<LoadStringFn>(::dlsym(m_hModule, "tarn_load_string"));
        if (pfn != nullptr && buffer.isValid())
            pfn(ulId, buffer.getBuffer(), static_cast<int>(buffer.getNumElems()));
    }

private:
    void* m_hModule;
};

// Writes a loaded text to standard output as it stands (never as a format),
// up to its terminating zero, as UTF-8.
void printMessage(const CNXRBuffer<NXR_USHORT>& message)
{
    const char16_t* p = message.getBuffer();
    if (p == nullptr)
        return;
    size_t n = 0;
    while (n < message.getNumElems() && p[n] != u'\0')
        ++n;
    const std::string text = os::toUtf8Lossy(std::u16string_view(p, n));
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (w <= 0)
            break;
        done += static_cast<size_t>(w);
    }
}

// Builds a string from a word or passphrase argument (UTF-8). False when the
// argument is not valid UTF-8, which the conversion refuses, leaving the
// string empty. The file name is bytes and takes CNXRWCharString::fromFileName.
bool fromArgument(const char* psz, CNXRWCharString& out)
{
    out = CNXRWCharString(psz);
    return psz[0] == '\0' || out.getLength() != 0;
}

// Which of standard input and output were closed when the program started.
// Each closed one is held by /dev/null from then on, so that no file the
// program opens takes its number: a scratch file opened as descriptor 1
// would otherwise receive what is meant for standard output.
struct ClosedStreams {
    bool bInput = false;
    bool bOutput = false;
};

ClosedStreams holdClosedStreams()
{
    ClosedStreams closed;
    for (int iFd = STDIN_FILENO; iFd <= STDERR_FILENO; ++iFd) {
        if (::fcntl(iFd, F_GETFD) >= 0)
            continue;
        closed.bInput |= iFd == STDIN_FILENO;
        closed.bOutput |= iFd == STDOUT_FILENO;
        const int iNull = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (iNull >= 0 && iNull != iFd) {
            ::dup2(iNull, iFd);
            ::close(iNull);
        }
    }
    return closed;
}

bool isOneOf(const char* pszArg, const char* pszLong, const char* pszShort)
{
    return std::strcmp(pszArg, pszLong) == 0 || std::strcmp(pszArg, pszShort) == 0;
}

void printVersion()
{
    const std::string text = "docseal " DOCSEAL_VERSION "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDOUT_FILENO, text.data(), text.size());
}

int usageError(const CNXRBuffer<NXR_USHORT>& usageMessage, std::string_view reason = {})
{
    printMessage(usageMessage);
    if (!reason.empty())
        tellReason(reason);
    return EXIT_USAGE;
}

// Clears an argument when it goes out of scope, on every path, so that
// /proc/PID/cmdline no longer shows it.
class CArgumentWipe {
public:
    explicit CArgumentWipe(char* psz) : m_psz(psz) {}
    ~CArgumentWipe() { ::explicit_bzero(m_psz, std::strlen(m_psz)); }
    CArgumentWipe(const CArgumentWipe&) = delete;
    CArgumentWipe& operator=(const CArgumentWipe&) = delete;

private:
    char* m_psz;
};

// The passphrase argument into passphrase, after which the argument is
// cleared. EXIT_DONE when it is held.
int passphraseFromArgument(char* pszArg, CNXRSecureBuffer<NXR_USHORT>& passphrase, std::string& reason)
{
    const CArgumentWipe wipe(pszArg);
    CNXRWCharString given;
    if (!fromArgument(pszArg, given)) {
        reason = "the passphrase is not UTF-8 text";
        return EXIT_USAGE;
    }
    if (!holdPassphrase(given, passphrase)) {
        reason = pszArg[0] == '\0' ? "the passphrase is empty" : "the passphrase cannot be held in locked memory";
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

// The command's passphrase and the key mode it gives: the argument (mode 2),
// else the file or descriptor the environment names (mode 2), else none
// (mode 1). Nothing is read from the environment for a refused command word;
// bStdin: standard input carries the document, so the passphrase may not
// come from there. EXIT_DONE when the command can go on.
int takePassphrase(char* pszArg, bool bCommand, bool bEncrypt, bool bStdin,
                   CNXRSecureBuffer<NXR_USHORT>& passphrase, int32_t& lKeyMode, std::string& reason)
{
    if (pszArg != nullptr) {
        const int status = passphraseFromArgument(pszArg, passphrase, reason);
        if (passphraseVariableSet()) {
            reason = "a passphrase was given both on the command line and in the environment";
            return EXIT_USAGE;
        }
        if (status == EXIT_DONE)
            lKeyMode = 2;
        return status;
    }
    if (!bCommand)
        return EXIT_DONE;
    switch (passphraseFromEnvironment(bEncrypt, bStdin ? STDIN_FILENO : -1, passphrase, reason)) {
    case PassphraseSource::None: return EXIT_DONE;
    case PassphraseSource::Held: lKeyMode = 2; return EXIT_DONE;
    case PassphraseSource::Usage: return EXIT_USAGE;
    default: return EXIT_FAILED;
    }
}

// The options before the file: the output that -o names (null without it)
// and the first argument after them. EXIT_DONE when they are sound.
int readOptions(int argc, char** argv, const char*& pszOutput, int& iFirst, std::string& reason)
{
    static const option kLongOptions[] = {{"output", required_argument, nullptr, 'o'}, {nullptr, 0, nullptr, 0}};
    // '+': the options end at the file, so a command word or passphrase
    // that begins with '-' stays an argument; ':': a missing value is told
    // apart. getopt says nothing itself.
    ::opterr = 0;
    for (int c; (c = ::getopt_long(argc, argv, "+:o:", kLongOptions, nullptr)) != -1;) {
        if (c == 'o' && pszOutput != nullptr)
            reason = "more than one output was given";
        else if (c == 'o' && ::optarg[0] == '\0')
            reason = "the output name is empty";
        else if (c == 'o')
            pszOutput = ::optarg;
        else if (c == ':')
            reason = std::string("the option needs an output name: ") + argv[::optind - 1];
        else
            reason = ::optopt != 0 ? std::string("unknown option: -") + char(::optopt)
                                   : std::string("unknown option: ") + argv[::optind - 1];
        if (!reason.empty())
            return EXIT_USAGE;
    }
    iFirst = ::optind;
    return EXIT_DONE;
}

int run(int argc, char** argv, const ClosedStreams& closed)
{
    // The parser library starts on the side first thing when a command word
    // that checks a document is among the arguments, while the message
    // library loads and the passphrase and the key are prepared. It stays
    // initialised until the process ends.
    std::optional<CXercesLibraryWarmUp> parserStart;
    for (int i = 2; i < argc && !parserStart; ++i)
        if (std::strcmp(argv[i], "/encrypt") == 0 || std::strcmp(argv[i], "/decrypt") == 0)
            parserStart.emplace(true);
    if (argc == 2 && isOneOf(argv[1], "--version", "-V")) {
        printVersion();
        return EXIT_DONE;
    }
    CNXRBuffer<NXR_USHORT> encryptedMessage(MESSAGE_UNITS);
    CNXRBuffer<NXR_USHORT> decryptedMessage(MESSAGE_UNITS);
    CNXRBuffer<NXR_USHORT> usageMessage(MESSAGE_UNITS);

    CMessageLibrary library;
    if (!library.isLoaded()) {
        tellReason("cannot load the message library tarn_strings.so");
        return EXIT_FAILED;
    }
    library.loadString(MSG_DECRYPTED, decryptedMessage);
    library.loadString(MSG_ENCRYPTED, encryptedMessage);
    library.loadString(MSG_USAGE, usageMessage);

    if (argc == 2 && isOneOf(argv[1], "--help", "-h")) {
        printMessage(usageMessage);
        return EXIT_DONE;
    }
    const char* pszOutput = nullptr;
    int iFirst = 1;
    std::string optionReason;
    if (readOptions(argc, argv, pszOutput, iFirst, optionReason) != EXIT_DONE)
        return usageError(usageMessage, optionReason);
    const int iArgs = argc - iFirst;
    if (iArgs != 2 && iArgs != 3)
        return usageError(usageMessage);
    const char* pszFile = argv[iFirst];
    const bool bStdin = std::strcmp(pszFile, "-") == 0;
    const bool bStdout = pszOutput != nullptr ? std::strcmp(pszOutput, "-") == 0 : bStdin;
    // Without -o and with a named file, the output is beside the input.
    const bool bBeside = pszOutput == nullptr && !bStdin;

    const CNXRWCharString fileName = bStdin ? CNXRWCharString() : CNXRWCharString::fromFileName(pszFile);
    const CNXRWCharString outFileName =
        pszOutput == nullptr || bStdout ? CNXRWCharString() : CNXRWCharString::fromFileName(pszOutput);
    CNXRWCharString command;
    if (!fromArgument(argv[iFirst + 1], command))
        return usageError(usageMessage, "the command word is not UTF-8 text");
    if (!bStdin && !CNXRFile(fileName).isValidFile())
        return usageError(usageMessage, std::string("no such file: ") + pszFile);
    const bool bDecrypt = command == CNXRWCharString(u"/decrypt");
    const bool bEncrypt = !bDecrypt && command == CNXRWCharString(u"/encrypt");
    if ((bStdin && closed.bInput) || (bStdout && closed.bOutput)) {
        tellReason(bStdin && closed.bInput ? "standard input is closed" : "standard output is closed");
        return EXIT_FAILED;
    }
    // A container is bytes no terminal shows or types.
    if (bEncrypt && bStdout && ::isatty(STDOUT_FILENO) == 1)
        return usageError(usageMessage, "a container is not written to a terminal: name an output with -o, or redirect");
    if (bDecrypt && bStdin && ::isatty(STDIN_FILENO) == 1)
        return usageError(usageMessage, "a container is not read from a terminal: redirect standard input");
    if (pszOutput != nullptr && !bStdout) {
        library.loadString(MSG_DECRYPTED_TO, decryptedMessage);
        library.loadString(MSG_ENCRYPTED_TO, encryptedMessage);
    }

    bool bDone = false;
    {
        CNXRXmlCrypt service;
        CNXRSecureBuffer<NXR_USHORT> passphrase;
        int32_t lKeyMode = 1;
        std::string reason;
        const int status = takePassphrase(iArgs == 3 ? argv[iFirst + 2] : nullptr, bDecrypt || bEncrypt, bEncrypt,
                                          bStdin, passphrase, lKeyMode, reason);
        if (status == EXIT_USAGE)
            return usageError(usageMessage, reason);
        if (status != EXIT_DONE) {
            tellReason(reason);
            return status;
        }
        CTerminalProgress progress(bDecrypt ? "opening" : "sealing");
        service.setProgress(&progress);
        // What the command's own work records, and nothing before it, tells
        // why it failed.
        nxrForgetFailure();
        if (bDecrypt) {
            bDone = bBeside ? service.decryptXMLFile(fileName, &passphrase)
                            : service.decryptXMLFileTo(fileName, outFileName, &passphrase);
            progress.clear();
            if (bDone && !bStdout)
                printMessage(decryptedMessage);
        } else if (bEncrypt) {
            bDone = bBeside ? service.encryptXMLFile(fileName, lKeyMode, &passphrase)
                            : service.encryptXMLFileTo(fileName, outFileName, lKeyMode, &passphrase);
            progress.clear();
            if (bDone && !bStdout)
                printMessage(encryptedMessage);
        }
        if ((bDecrypt || bEncrypt) && !bDone)
            tellReason(failureReason(bEncrypt ? Command::Encrypt : Command::Decrypt,
                                     bStdin ? "standard input" : pszFile));
    }
    if (!bDecrypt && !bEncrypt)
        return usageError(usageMessage, std::string("unknown command word: ") + argv[iFirst + 1]);
    return bDone ? EXIT_DONE : EXIT_FAILED;
}

} // namespace

int main(int argc, char** argv)
{
    // A core dump would hold the passphrase and the document in the clear.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // A file-size limit reached by any write, the log's included, is a failed
    // write rather than the end of the process.
    os::ignoreFileSizeSignal();
    // A reader that went away (a closed pipe) only loses the message: the
    // exit status still tells whether the work was done.
    ::signal(SIGPIPE, SIG_IGN);
    const ClosedStreams closed = holdClosedStreams();
    try {
        return run(argc, argv, closed);
    } catch (...) {
        // Whatever escaped has been written to the log where it was raised.
        tellReason(failureReason(Command::Other, {}));
        return EXIT_FAILED;
    }
}
