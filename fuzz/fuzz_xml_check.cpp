// The XML check: the streaming well-formedness scan that the encryption
// service runs on every document, held against the DOM load.
//
// Properties: the scan gives the same verdict on the parser's light scanner
// as on its full one, and the same reason where the full one retells the
// light one's refusals; the DOM load accepts exactly what the scan accepts,
// and a document the DOM holds, once written out, passes the scan. (The writer may
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
    // The light scanner alone gives the full one's verdict, and with the full
    // one retelling its refusals, the same reason.
    const auto reason = [&](NxrScanners scanners) {
        nxrChooseScanners(scanners);
        try {
            nxrScanXML(data, size, u"fuzz");
            return std::u16string();
        } catch (const CXercesException& e) {
            return std::u16string(e.getMessage());
        }
    };
    const std::u16string full = reason(NxrScanners::Full);
    FUZZ_REQUIRE(reason(NxrScanners::LightAlone).empty() == full.empty());
    FUZZ_REQUIRE(reason(NxrScanners::LightWhereItFits) == full);
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
