// bench_check: the XML check that sealing and opening run over a document,
// alone. The file's bytes are read in the road's pieces and handed to the
// check as docseal hands them; nothing is enciphered, deciphered or written.
// Its time is the floor that docseal can reach with this parser.
//
//   bench_check [--unwiped] FILE    exit status 0 for a well-formed document,
//                                   1 if not
//
// --unwiped releases the parser's memory without wiping it first, so that
// the bench can tell what the wiping costs; docseal itself always wipes.
#include "nxr_guard.h"
#include "nxr_xerces_memory.h"
#include "nxr_xmlcrypt_files.h"
#include "nxr_xmlcrypt_road.h"

#include <cstdio>
#include <string_view>

using namespace nxr;

int main(int argc, char** argv)
{
    const bool bUnwiped = argc == 3 && std::string_view(argv[1]) == "--unwiped";
    if (argc != 2 && !bUnwiped) {
        std::fputs("usage: bench_check [--unwiped] FILE\n", stderr);
        return 2;
    }
    if (bUnwiped)
        CNXRParserMemory::setWiping(false);
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
