// docseal: seals an XML document into a container beside it, or opens one.
//
//   docseal FILE /encrypt [PASSPHRASE]
//   docseal FILE.enc /decrypt [PASSPHRASE]
//
// The three texts the program shows come from its message library,
// tarn_strings.so, found beside the program. A finished command prints its
// message; a usage error prints the usage text; a failure prints nothing and
// is told by the exit status.
#include "docseal_progress.h"
#include "nxr_buffer.h"
#include "nxr_file.h"
#include "nxr_os_text.h"
#include "nxr_securebuffer.h"
#include "nxr_wchar_string.h"
#include "nxr_xerces.h"
#include "nxr_xmlcrypt.h"

#include <cstring>
#include <dlfcn.h>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

using namespace nxr;

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

int run(int argc, char** argv)
{
    CNXRBuffer<NXR_USHORT> encryptedMessage(MESSAGE_UNITS);
    CNXRBuffer<NXR_USHORT> decryptedMessage(MESSAGE_UNITS);
    CNXRBuffer<NXR_USHORT> usageMessage(MESSAGE_UNITS);

    CMessageLibrary library;
    if (!library.isLoaded())
        return EXIT_FAILED;
    library.loadString(MSG_DECRYPTED, decryptedMessage);
    library.loadString(MSG_ENCRYPTED, encryptedMessage);
    library.loadString(MSG_USAGE, usageMessage);

    if (argc != 3 && argc != 4) {
        printMessage(usageMessage);
        return EXIT_USAGE;
    }

    const CNXRWCharString fileName = CNXRWCharString::fromFileName(argv[1]);
    CNXRWCharString command;
    if (!fromArgument(argv[2], command) || !CNXRFile(fileName).isValidFile()) {
        printMessage(usageMessage);
        return EXIT_USAGE;
    }
    const bool bDecrypt = command == CNXRWCharString(u"/decrypt");
    const bool bEncrypt = !bDecrypt && command == CNXRWCharString(u"/encrypt");
    // The parser library starts on the side while the passphrase and the key
    // are prepared; the check of the document needs it later.
    std::optional<CXercesLibraryWarmUp> parserStart;
    if (bDecrypt || bEncrypt)
        parserStart.emplace();

    bool bDone = false;
    {
        CNXRXmlCrypt service;
        CNXRSecureBuffer<NXR_USHORT> passphrase;
        int32_t lKeyMode = 1;
        if (argc == 4) {
            CNXRWCharString given;
            if (!fromArgument(argv[3], given)) {
                printMessage(usageMessage);
                return EXIT_USAGE;
            }
            // The characters and their terminating zero: the zero takes part
            // in the key derivation. An empty passphrase has no characters to
            // hold and is refused here (the constructor throws).
            CNXRSecureBuffer<NXR_USHORT> secure(given.getBuffer(), given.getLength() + 1, 0);
            passphrase = secure;
            lKeyMode = 2;
            // The passphrase now lives only in secure buffers: clear the
            // argument so that /proc/PID/cmdline no longer shows it.
            ::explicit_bzero(argv[3], std::strlen(argv[3]));
            if (!passphrase.isValid())
                return EXIT_FAILED;
        }
        CTerminalProgress progress(bDecrypt ? "opening" : "sealing");
        service.setProgress(&progress);
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
    }
    if (!bDecrypt && !bEncrypt) {
        printMessage(usageMessage);
        return EXIT_USAGE;
    }
    return bDone ? EXIT_DONE : EXIT_FAILED;
}

} // namespace

int main(int argc, char** argv)
{
    // A core dump would hold the passphrase and the document in the clear.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    try {
        return run(argc, argv);
    } catch (...) {
        // Whatever escaped has been written to the log where it was raised.
        return EXIT_FAILED;
    }
}
