// The XML check: the streaming well-formedness scan that the encryption
// service runs on every document, held against the DOM load.
//
// Properties: the DOM load accepts exactly what the scan accepts, and a
// document the DOM holds, once written out, passes the scan. (The writer may
// refuse a document: Xerces cannot write the C0 and C1 controls that XML 1.1
// admits only as character references, and says so.)
#include "fuzz_common.h"
#include "xmlxercesvm.h"

#include <cstdint>

using namespace nxr;

namespace {

// The DOM builder is quadratic in long text: compare on small inputs only
// (libFuzzer's inputs stay far below this unless asked for more).
constexpr size_t kMaxDomInput = 64 * 1024;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    docseal_fuzz::quietLogging();
    static CXercesLibraryRef* s_library = new CXercesLibraryRef;
    (void)s_library;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const CNXRBuffer<NXR_BYTE> document =
        size == 0 ? CNXRBuffer<NXR_BYTE>() : CNXRBuffer<NXR_BYTE>(data, static_cast<uint32_t>(size), 0);

    CXmlXercesVM checker;
    const bool bScanned = checker.checkXMLInMem(document);
    if (size > kMaxDomInput)
        return 0;

    CXmlXercesVM dom;
    const bool bLoaded = dom.loadXMLFromMem(document);
    FUZZ_REQUIRE(bLoaded == bScanned);
    if (bLoaded) {
        CNXRBuffer<NXR_BYTE> written;
        if (dom.flushToMemBuffer(written)) {
            CXmlXercesVM again;
            FUZZ_REQUIRE(again.checkXMLInMem(written));
        }
    }
    return 0;
}
