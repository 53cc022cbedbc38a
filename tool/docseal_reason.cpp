#include "docseal_reason.h"

#include "nxr_firstfailure.h"
#include "nxr_os_text.h"
#include "nxr_xerces_check.h"

#include <cstring>
#include <unistd.h>

namespace docseal {

namespace {

enum Commands : unsigned { ENCRYPT = 1, DECRYPT = 2, OTHER = 4, ANY = ENCRYPT | DECRYPT | OTHER };

// How a recorded failure reads to the user. A row applies when the command
// is one of its commands, the record's message starts with its prefix and
// ends with its suffix, and (when a folder is named) the record was raised by
// code whose source path holds it ("/xml/": the XML layer). The first row that applies gives the text, in which
// {file} is the file the user named, {rest} the message between prefix and
// suffix (for the file records, the file's name), and {error} ": " and the
// system's words for the record's value when that is a system error code,
// else the row's words for a record without one.
struct ReasonRow {
    unsigned ulCommands;
    std::u16string_view prefix;
    std::u16string_view suffix;
    std::string_view source;
    std::string_view text;
    std::string_view noError;
};

constexpr ReasonRow kReasons[] = {
    // Refusals of the service, by their own words.
    {DECRYPT, u"A bad argument was provided ( pPassphrase ). no passphrase was given", u"", "",
     "cannot open {file}: it was sealed with a passphrase, and none was given", ""},
    {ENCRYPT, u"A bad argument was provided ( pPassphrase ). no passphrase was given", u"", "",
     "cannot seal {file}: it is a container sealed with a passphrase; open it first", ""},
    {ANY, u"A bad argument was provided ( lKeyMode ). ", u"", "",
     "{file} is not a docseal container (unknown key mode)", ""},
    {ANY, u"A bad argument was provided ( ulSize ). value is too large for the container format", u"", "",
     "{file} is too large for the container format (under 4 GiB)", ""},
    {ANY, u"A bad argument was provided ( ulSize ). the file changed while it was read", u"", "",
     "{file} changed while it was read", ""},
    // The service's check of the container's name (it has no message of its
    // own, so it is told by where it was raised).
    {DECRYPT, u"The specified file, ", u", is invalid.", "/xmlcrypt/nxr_xmlcrypt.cpp",
     "cannot open {file}: the name of a container ends in \".enc\"", ""},
    // Opening, creating, reading and writing files.
    {ANY, u"CreateFile call failed for file:", u"", "", "{rest}{error}", ": cannot be opened or created"},
    {ANY, u"WriteFile call failed for file:", u"", "", "cannot write {rest}{error}", ""},
    {ANY, u"The specified file, ", u", is invalid.", "", "{rest}{error}", ": not a regular file"},
    {ANY, u"Unable to allocate memory", u"", "", "not enough memory for {file}", ""},
    // The check's own limits, and the parser library failing in itself.
    {ENCRYPT, u"", nxr::NXR_XML_LIMIT_SUFFIX, "/xml/", "cannot seal {file}: {rest}, docseal's limit", ""},
    {DECRYPT, u"", nxr::NXR_XML_LIMIT_SUFFIX, "/xml/", "cannot open {file}: {rest}, docseal's limit", ""},
    {ENCRYPT, nxr::NXR_XML_LIBRARY_FAILED, u"", "", "cannot seal {file}: the XML parser library failed: {rest}", ""},
    {DECRYPT, nxr::NXR_XML_LIBRARY_FAILED, u"", "", "cannot open {file}: the XML parser library failed: {rest}", ""},
    // The check of the document: the parser's words, with line and column.
    {ENCRYPT, u"", u"", "/xml/", "{file} is not well-formed XML: {rest}", ""},
    // What was deciphered is not the document: its padding or its text is
    // wrong, which a wrong key or damaged bytes both give.
    {DECRYPT, u"", u"", "/xml/", "cannot open {file}: wrong passphrase or damaged container", ""},
    {DECRYPT, u"Bsafe error", u"", "", "cannot open {file}: wrong passphrase or damaged container", ""},
    {DECRYPT, u"", u"", "/xmlcrypt/", "cannot open {file}: not a docseal container, or a damaged one", ""},
    // Anything else: the record's own words.
    {ENCRYPT, u"", u"", "", "cannot seal {file}: {rest}", ""},
    {DECRYPT, u"", u"", "", "cannot open {file}: {rest}", ""},
    {OTHER, u"", u"", "", "the command failed: {rest}", ""},
};

// Whether the record was raised in code whose path holds source.
bool raisedIn(const char* pszSourceFile, std::string_view source)
{
    return source.empty() || (pszSourceFile != nullptr && ("/" + std::string(pszSourceFile)).find(source) !=
                                                               std::string::npos);
}

// ": " and the system's words for a system error code; noError for another
// value (a cipher status, "no code").
std::string systemError(uint32_t ulValue, std::string_view noError)
{
    if (ulValue == 0 || ulValue > 4095 || ::strerrorname_np(static_cast<int>(ulValue)) == nullptr)
        return std::string(noError);
    return std::string(": ") + std::strerror(static_cast<int>(ulValue));
}

std::string expand(const ReasonRow& row, const nxr::CNXRFirstFailure& failure, std::string_view fileName)
{
    std::string text;
    for (std::string_view rest = row.text; !rest.empty();) {
        const size_t open = rest.find('{');
        const size_t close = rest.find('}', open);
        if (open == std::string_view::npos || close == std::string_view::npos) {
            text += rest;
            break;
        }
        text += rest.substr(0, open);
        const std::string_view name = rest.substr(open + 1, close - open - 1);
        if (name == "file")
            text += fileName;
        else if (name == "rest")
            text += nxr::os::toUtf8Lossy(
                failure.message.substr(row.prefix.size(), failure.message.size() - row.prefix.size() - row.suffix.size()));
        else if (name == "error")
            text += systemError(failure.ulResultValue, row.noError);
        rest.remove_prefix(close + 1);
    }
    return text;
}

} // namespace

void tellReason(std::string_view reason)
{
    if (::isatty(STDERR_FILENO) != 1)
        return;
    // Names and messages may hold anything: control characters (C0, DEL and
    // C1) would act on the terminal, so they show as '?'.
    std::u16string wide = nxr::os::toUtf16Lossy(reason);
    for (char16_t& c : wide)
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            c = u'?';
    const std::string line = "docseal: " + nxr::os::toUtf8Lossy(wide) + "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string failureReason(Command command, std::string_view fileName)
{
    const unsigned ulCommand = command == Command::Encrypt ? ENCRYPT : command == Command::Decrypt ? DECRYPT : OTHER;
    nxr::CNXRFirstFailure failure;
    if (!nxr::nxrFirstFailure(failure))
        return ulCommand == ENCRYPT   ? "cannot seal " + std::string(fileName)
               : ulCommand == DECRYPT ? "cannot open " + std::string(fileName)
                                      : std::string("the command failed");
    for (const ReasonRow& row : kReasons) {
        if ((row.ulCommands & ulCommand) != 0 && failure.message.starts_with(row.prefix) &&
            failure.message.size() >= row.prefix.size() + row.suffix.size() && failure.message.ends_with(row.suffix) &&
            raisedIn(failure.pszSourceFile, row.source))
            return expand(row, failure, fileName);
    }
    return {}; // not reached: the last rows take any record
}

} // namespace docseal
