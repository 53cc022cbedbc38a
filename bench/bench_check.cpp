// bench_check: the XML check that sealing and opening run over a document,
// alone. The file's bytes are read in the road's pieces and handed to the
// check as docseal hands them; nothing is enciphered, deciphered or written.
// Its time is the floor that docseal can reach with this parser. With --full
// every pass runs on the parser's full scanner, as before the light one took
// the documents it fits. With --unwiped the parser's memory is released
// without its wipe, so that the bench can tell what the wiping costs; docseal
// itself always wipes.
//
//   bench_check [--full] [--unwiped] FILE    exit status 0 for a well-formed
//                                            document, 1 if not
#include "nxr_guard.h"
#include "nxr_xerces_check.h"
#include "nxr_xerces_memory.h"
#include "nxr_xmlcrypt_files.h"
#include "nxr_xmlcrypt_road.h"

#include <cstdio>
#include <string_view>

using namespace nxr;

int main(int argc, char** argv)
{
    bool bFull = false, bUnwiped = false, bUsage = argc < 2;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string_view option(argv[i]);
        bFull |= option == "--full";
        bUnwiped |= option == "--unwiped";
        bUsage |= option != "--full" && option != "--unwiped";
    }
    if (bUsage) {
        std::fputs("usage: bench_check [--full] [--unwiped] FILE\n", stderr);
        return 2;
    }
    nxrChooseScanners(bFull ? NxrScanners::Full : NxrScanners::LightWhereItFits);
    CNXRParserMemory::setWiping(!bUnwiped);
    NXR_TRACE(u"bench_check", u"main");
    const bool bPassed = nxrGuard(nxrTrace, false, [&] {
        CNXRInputFile input{CNXRWCharString(argv[argc - 1])};
        CNXRDocumentReader reader(input);
        CNXRRoadCheck check(reader.length(), NxrMarkupLimits::Apply);
        for (std::span<const NXR_BYTE> piece = reader.next(); !piece.empty(); piece = reader.next())
            if (!check.feed(piece))
                break;
        return check.verdict();
    });
    return bPassed ? 0 : 1;
}
