// bench_check: the XML check that sealing and opening run over a document,
// alone. The file's bytes are read in the road's pieces and handed to the
// check as docseal hands them; nothing is enciphered, deciphered or written.
// Its time is the floor that docseal can reach with this parser. With --full
// every pass runs on the parser's full scanner, as before the light one took
// the documents it fits.
//
//   bench_check [--full] FILE    exit status 0 for a well-formed document, 1 if not
#include "nxr_guard.h"
#include "nxr_xerces_check.h"
#include "nxr_xmlcrypt_files.h"
#include "nxr_xmlcrypt_road.h"

#include <cstdio>
#include <cstring>

using namespace nxr;

int main(int argc, char** argv)
{
    const bool bFull = argc == 3 && std::strcmp(argv[1], "--full") == 0;
    if (argc != 2 && !bFull) {
        std::fputs("usage: bench_check [--full] FILE\n", stderr);
        return 2;
    }
    nxrChooseScanners(bFull ? NxrScanners::Full : NxrScanners::LightWhereItFits);
    NXR_TRACE(u"bench_check", u"main");
    const bool bPassed = nxrGuard(nxrTrace, false, [&] {
        CNXRInputFile input{CNXRWCharString(argv[argc - 1])};
        CNXRDocumentReader reader(input);
        CNXRRoadCheck check(reader.length());
        for (std::span<const NXR_BYTE> piece = reader.next(); !piece.empty(); piece = reader.next())
            if (!check.feed(piece))
                break;
        return check.verdict();
    });
    return bPassed ? 0 : 1;
}
