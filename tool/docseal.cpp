// docseal: seals an XML document into a container beside it, or opens one.
//
//   docseal FILE /encrypt [PASSPHRASE]
//   docseal FILE.enc /decrypt [PASSPHRASE]
//   docseal --help | --version
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
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

using namespace nxr;
using namespace docseal;

namespace {

enum ExitStatus : int { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

enum : uint32_t { MSG_ENCRYPTED = 9001, MSG_DECRYPTED = 9002, MSG_USAGE = 9003 };

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
// (mode 1). Nothing is read from the environment for a refused command word.
// EXIT_DONE when the command can go on.
int takePassphrase(int argc, char** argv, bool bCommand, bool bEncrypt, CNXRSecureBuffer<NXR_USHORT>& passphrase,
                   int32_t& lKeyMode, std::string& reason)
{
    if (argc == 4) {
        const int status = passphraseFromArgument(argv[3], passphrase, reason);
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
    switch (passphraseFromEnvironment(bEncrypt, passphrase, reason)) {
    case PassphraseSource::None: return EXIT_DONE;
    case PassphraseSource::Held: lKeyMode = 2; return EXIT_DONE;
    case PassphraseSource::Usage: return EXIT_USAGE;
    default: return EXIT_FAILED;
    }
}

int run(int argc, char** argv)
{
    // The parser library starts on the side first thing, for a command word
    // that will check a document, while the message library loads and the
    // passphrase and the key are prepared. It stays initialised until the
    // process ends.
    std::optional<CXercesLibraryWarmUp> parserStart;
    if ((argc == 3 || argc == 4) && (std::strcmp(argv[2], "/encrypt") == 0 || std::strcmp(argv[2], "/decrypt") == 0))
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
    if (argc != 3 && argc != 4)
        return usageError(usageMessage);

    const CNXRWCharString fileName = CNXRWCharString::fromFileName(argv[1]);
    CNXRWCharString command;
    if (!fromArgument(argv[2], command))
        return usageError(usageMessage, "the command word is not UTF-8 text");
    if (!CNXRFile(fileName).isValidFile())
        return usageError(usageMessage, std::string("no such file: ") + argv[1]);
    const bool bDecrypt = command == CNXRWCharString(u"/decrypt");
    const bool bEncrypt = !bDecrypt && command == CNXRWCharString(u"/encrypt");
    bool bDone = false;
    {
        CNXRXmlCrypt service;
        CNXRSecureBuffer<NXR_USHORT> passphrase;
        int32_t lKeyMode = 1;
        std::string reason;
        const int status = takePassphrase(argc, argv, bDecrypt || bEncrypt, bEncrypt, passphrase, lKeyMode, reason);
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
            bDone = service.decryptXMLFile(fileName, &passphrase);
            progress.clear();
            if (bDone)
                printMessage(decryptedMessage);
        } else if (bEncrypt) {
            bDone = service.encryptXMLFile(fileName, lKeyMode, &passphrase);
            progress.clear();
            if (bDone)
                printMessage(encryptedMessage);
        }
        if ((bDecrypt || bEncrypt) && !bDone)
            tellReason(failureReason(bEncrypt ? Command::Encrypt : Command::Decrypt, argv[1]));
    }
    if (!bDecrypt && !bEncrypt)
        return usageError(usageMessage, std::string("unknown command word: ") + argv[2]);
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
    try {
        return run(argc, argv);
    } catch (...) {
        // Whatever escaped has been written to the log where it was raised.
        tellReason(failureReason(Command::Other, {}));
        return EXIT_FAILED;
    }
}
