// bench_check: the XML check that sealing and opening run over a document,
// alone. The file's bytes are read in the road's pieces and handed to the
// check as docseal hands them; nothing is enciphered, deciphered or written.
// Its time is the floor that docseal can reach with this parser.
//
//   bench_check FILE    exit status 0 for a well-formed document, 1 if not
#include "nxr_guard.h"
#include "nxr_xmlcrypt_files.h"
#include "nxr_xmlcrypt_road.h"

#include <cstdio>

using namespace nxr;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: bench_check FILE\n", stderr);
        return 2;
    }
    NXR_TRACE(u"bench_check", u"main");
    const bool bPassed = nxrGuard(nxrTrace, false, [&] {
        CNXRInputFile input{CNXRWCharString(argv[1])};
        CNXRDocumentReader reader(input);
        CNXRRoadCheck check(reader.length());
        for (std::span<const NXR_BYTE> piece = reader.next(); !piece.empty(); piece = reader.next())
            if (!check.feed(piece))
                break;
        return check.verdict();
    });
    return bPassed ? 0 : 1;
}
