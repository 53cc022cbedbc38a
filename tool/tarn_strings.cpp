// The message library of docseal: the texts the program shows, looked up by
// number. It is a shared library of its own beside the program, so the
// texts can be replaced (translated, say) without rebuilding docseal.
#include <cstdint>

namespace {

struct StringEntry {
    uint32_t ulId;
    const char16_t* pszText;
};

const StringEntry g_strings[] = {
    {9001, u"docseal: the document was sealed; the container was written beside it with \".enc\" added "
           u"to its name.\n"},
    {9002, u"docseal: the container was opened; the document was written beside it without \".enc\".\n"},
    {9003, u"Usage: docseal [-o OUTPUT] FILE /encrypt [PASSPHRASE]\n"
           u"       docseal [-o OUTPUT] FILE.enc /decrypt [PASSPHRASE]\n"
           u"       docseal --help | --version\n"
           u"\n"
           u"  /encrypt   check that FILE is well-formed XML, seal it as FILE.enc\n"
           u"  /decrypt   open the container FILE.enc, check its document, write FILE\n"
           u"  -o, --output=OUTPUT  write OUTPUT instead (\"-\": standard output)\n"
           u"  --         ends the options (for a FILE beginning with \"-\")\n"
           u"\n"
           u"FILE \"-\" is standard input, sent to standard output without -o; standard\n"
           u"output gets nothing unless the whole document passed the check.\n"
           u"\n"
           u"Without PASSPHRASE, the passphrase is the first line of the file named by\n"
           u"DOCSEAL_PASSPHRASE_FILE or of the descriptor numbered by DOCSEAL_PASSPHRASE_FD\n"
           u"(a terminal there is asked, without echo). Without any, the document\n"
           u"is only obscured with a built-in key: anyone with docseal can open it.\n"
           u"The command words are exact and case-sensitive.\n"
           u"Exit status: 0 done, 1 failed, 2 usage error; a failure is explained in\n"
           u"one line on standard error if that is a terminal.\n"},
    {9004, u"docseal: the document was sealed; the container was written to the output.\n"},
    {9005, u"docseal: the container was opened; the document was written to the output.\n"},
};

} // namespace

// Copies string ulId into pBuffer, which holds iBufferUnits UTF-16 units,
// cut to fit and always ending in a zero unit. Returns the number of units
// copied without the zero; 0 when there is no such string or no room.
extern "C" __attribute__((visibility("default"))) int tarn_load_string(uint32_t ulId, char16_t* pBuffer,
                                                                       int iBufferUnits)
{
    if (pBuffer == nullptr || iBufferUnits <= 0)
        return 0;
    for (const StringEntry& entry : g_strings) {
        if (entry.ulId != ulId)
            continue;
        int n = 0;
        while (entry.pszText[n] != u'\0' && n < iBufferUnits - 1) {
            pBuffer[n] = entry.pszText[n];
            ++n;
        }
        pBuffer[n] = u'\0';
        return n;
    }
    pBuffer[0] = u'\0';
    return 0;
}
