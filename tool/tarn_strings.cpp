// The message library of docseal: the three texts the program shows, looked
// up by number. It is a shared library of its own beside the program, so the
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
    {9003, u"Usage: docseal FILE /encrypt [PASSPHRASE]\n"
           u"       docseal FILE.enc /decrypt [PASSPHRASE]\n"
           u"       docseal --help | --version\n"
           u"\n"
           u"  /encrypt   check that FILE is well-formed XML and seal it into FILE.enc,\n"
           u"             written beside it; FILE itself is not changed\n"
           u"  /decrypt   open the container FILE.enc, check that the document inside is\n"
           u"             well-formed XML and write it back as FILE\n"
           u"\n"
           u"Without PASSPHRASE, the passphrase is the first line of the file named by\n"
           u"DOCSEAL_PASSPHRASE_FILE or of the open descriptor numbered by\n"
           u"DOCSEAL_PASSPHRASE_FD (a terminal there is asked, without echo). With none\n"
           u"of these the document is only obscured with a key built into the program,\n"
           u"not protected: anyone with docseal can open it.\n"
           u"The command words are exact and case-sensitive.\n"
           u"\n"
           u"Exit status: 0 done, 1 failed, 2 usage error. When standard error is a\n"
           u"terminal, a failure is explained there in one line.\n"},
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
