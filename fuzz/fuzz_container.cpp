// Container decryption: the input is a whole ".enc" file (key mode byte,
// three reserved bytes, recorded length, ciphertext). The seeds are real
// containers in the three key modes under the passphrase "fuzz", so the
// mutations reach the length check, the padding check and the XML check
// behind the cipher.
//
// Properties: decryptXMLFile writes the restored document exactly when it
// returns true, and then it is the loaded document, of the recorded length;
// a failure leaves no output and no temporary file behind.
#include "fuzz_common.h"
#include "nxr_securebuffer.h"
#include "nxr_xmlcrypt.h"
#include "xmlxercesvm.h"

#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

using namespace nxr;
using docseal_fuzz::scratchDir;

namespace {

std::optional<std::string> readWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t entriesInScratch()
{
    size_t n = 0;
    if (DIR* d = ::opendir(scratchDir().c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    docseal_fuzz::quietLogging();
    // One library reference for the whole run instead of an initialisation
    // per input.
    static CXercesLibraryRef* s_library = new CXercesLibraryRef;
    (void)s_library;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string container = scratchDir() + "/doc.xml.enc";
    const std::string output = scratchDir() + "/doc.xml";
    docseal_fuzz::writeInput(container, data, size);
    ::unlink(output.c_str());

    static const char16_t kPass[] = u"fuzz";
    const CNXRSecureBuffer<NXR_USHORT> passphrase(reinterpret_cast<const NXR_USHORT*>(kPass), 5, 0);
    CNXRXmlCrypt service;
    const CNXRWCharString name(container.c_str());

    CNXRBuffer<NXR_BYTE> loaded;
    const bool bLoaded = service.loadXMLBufferFromEncryptedFile(name, &loaded, &passphrase);
    if (bLoaded) {
        FUZZ_REQUIRE(size > 8);
        const uint32_t ulRecorded = uint32_t(data[4]) | uint32_t(data[5]) << 8 | uint32_t(data[6]) << 16 |
                                    uint32_t(data[7]) << 24;
        FUZZ_REQUIRE(loaded.getNumElems() == ulRecorded);
    }

    const bool bDone = service.decryptXMLFile(name, &passphrase);
    const std::optional<std::string> written = readWhole(output);
    if (bDone) {
        FUZZ_REQUIRE(bLoaded);
        FUZZ_REQUIRE(written.has_value());
        FUZZ_REQUIRE(written->size() == loaded.getNumElems());
        FUZZ_REQUIRE(std::memcmp(written->data(), loaded.getBuffer(), written->size()) == 0);
        CXmlXercesVM vm;
        FUZZ_REQUIRE(vm.checkXMLInMem(loaded));
        FUZZ_REQUIRE(entriesInScratch() == 2);
    } else {
        FUZZ_REQUIRE(!written.has_value());
        FUZZ_REQUIRE(entriesInScratch() == 1);
    }
    return 0;
}
