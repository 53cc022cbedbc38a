#include "nxr_xerces_check.h"

#include "nxr_xerces_memory.h"
#include "nxr_xml_tokenlimits.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using namespace xercesc;

namespace nxr {

namespace {

std::u16string_view textOf(const XMLCh* psz)
{
    return psz ? std::u16string_view(psz) : std::u16string_view();
}

} // namespace

NxrMarkupUnit nxrSenseMarkup(std::string_view first)
{
    using S = NxrMarkupUnit;
    static constexpr struct {
        std::string_view start;
        NxrMarkupUnit unit;
    } kStarts[] = {{std::string_view("\xFF\xFE\0\0", 4), {S::Ucs4, 4, 0, 4}}, {std::string_view("<\0\0\0", 4), {S::Ucs4, 4, 0, 0}},
                   {std::string_view("\0\0\xFE\xFF", 4), {S::Ucs4, 4, 3, 4}}, {std::string_view("\0\0\0<", 4), {S::Ucs4, 4, 3, 0}},
                   {std::string_view("\xFF\xFE", 2), {S::Utf16, 2, 0, 2}},       {std::string_view("<\0", 2), {S::Utf16, 2, 0, 0}},
                   {std::string_view("\xFE\xFF", 2), {S::Utf16, 2, 1, 2}},       {std::string_view("\0<", 2), {S::Utf16, 2, 1, 0}},
                   {std::string_view("\x4C\x6F", 2), {S::Ebcdic, 1, 0, 0}}};
    for (const auto& candidate : kStarts)
        if (first.starts_with(candidate.start))
            return candidate.unit;
    return {S::Ascii, 1, 0, 0};
}

std::u16string nxrXmlLimitText(NxrXmlLimit limit, uint64_t ullAmount)
{
    // Amounts of whole mebibytes read as such.
    std::string amount = std::to_string(ullAmount);
    if (ullAmount >= (1u << 20) && ullAmount % (1u << 20) == 0)
        amount = std::to_string(ullAmount >> 20) + " MiB";
    std::string text;
    switch (limit) {
    case NxrXmlLimit::Depth: text = "more than " + amount + " nested elements"; break;
    case NxrXmlLimit::Namespaces: text = "more than " + amount + " namespace declarations in scope"; break;
    case NxrXmlLimit::Expansions: text = "more than " + amount + " entity expansions"; break;
    case NxrXmlLimit::AttributeText: text = "attribute values expanding to more than " + amount + " characters"; break;
    case NxrXmlLimit::Prolog: text = "a prolog longer than " + amount; break;
    case NxrXmlLimit::Name: text = "a name longer than " + amount + " bytes"; break;
    case NxrXmlLimit::AttributeValue: text = "an attribute value longer than " + amount + " bytes"; break;
    case NxrXmlLimit::Literal: text = "an entity value or literal longer than " + amount + " bytes"; break;
    case NxrXmlLimit::Comment: text = "a comment longer than " + amount + " bytes"; break;
    case NxrXmlLimit::ProcessingInstruction: text = "a processing instruction longer than " + amount + " bytes"; break;
    case NxrXmlLimit::CData: text = "a CDATA section longer than " + amount + " bytes"; break;
    case NxrXmlLimit::Tag: text = "a tag longer than " + amount + " bytes"; break;
    case NxrXmlLimit::Attributes: text = "more than " + amount + " attributes on one element"; break;
    case NxrXmlLimit::Declaration: text = "a markup declaration longer than " + amount + " bytes"; break;
    case NxrXmlLimit::Document:
        text = "a document longer than " + amount + " bytes in an encoding whose markup docseal cannot measure";
        break;
    case NxrXmlLimit::ParserMemory: text = "a document that needs more than " + amount + " of parser memory"; break;
    }
    return std::u16string(text.begin(), text.end()) + std::u16string(NXR_XML_LIMIT_SUFFIX);
}

// ---------------------------------------------------------------------------
// The scan

namespace {

// Units of text a document may produce beyond its own bytes.
uint64_t expansionBudget(XMLSize_t ulCount)
{
    return uint64_t(ulCount) * NXR_XML_EXPANSION_PER_BYTE + NXR_XML_EXPANSION_ALLOWANCE;
}

// The scan's own limits over the elements of a pass, whichever scanner
// reads it: the nesting depth, the units of attribute values and the
// namespace declarations in scope. A refusal ends the scan with a parse error
// at the locator's position.
class CScanLimits {
public:
    CScanLimits(uint64_t ullAttributeBudget, bool& bOverBudget)
        : m_ullAttributeBudget(ullAttributeBudget), m_bOverBudget(bOverBudget)
    {
    }

    void setLocator(const Locator* pLocator) { m_pLocator = pLocator; }

    // Each pass counts afresh.
    void reset()
    {
        m_ullAttributeUnits = 0;
        m_ulDepth = 0;
        m_ulInScope = 0;
        m_declared.clear();
    }

    // An element opens whose attribute values hold ullUnits units.
    void open(uint64_t ullUnits)
    {
        if (++m_ulDepth > NXR_XML_MAX_ELEMENT_DEPTH)
            refuse(NxrXmlLimit::Depth, NXR_XML_MAX_ELEMENT_DEPTH);
        m_ullAttributeUnits += ullUnits;
        if (m_ullAttributeUnits > m_ullAttributeBudget) {
            m_bOverBudget = true;
            refuse(NxrXmlLimit::AttributeText, m_ullAttributeBudget);
        }
    }
    void close() { --m_ulDepth; }

    // One namespace declaration comes into scope, or leaves it.
    void declare()
    {
        if (++m_ulInScope > NXR_XML_MAX_NAMESPACES_IN_SCOPE)
            refuse(NxrXmlLimit::Namespaces, NXR_XML_MAX_NAMESPACES_IN_SCOPE);
    }
    void undeclare() { --m_ulInScope; }

    // The declarations an element makes, counted from its attributes, come
    // into scope; they leave it with the element (leaveScope).
    void enterScope(uint32_t ulDeclared)
    {
        m_declared.push_back(ulDeclared);
        for (uint32_t i = 0; i < ulDeclared; ++i)
            declare();
    }
    void leaveScope()
    {
        if (m_declared.empty())
            return;
        m_ulInScope -= m_declared.back();
        m_declared.pop_back();
    }

    // The expansion limit, which the budget sets, was passed.
    void overBudget() { m_bOverBudget = true; }

    [[noreturn]] void refuse(NxrXmlLimit limit, uint64_t ullAmount) const
    {
        refuse(nxrXmlLimitText(limit, ullAmount).c_str());
    }
    [[noreturn]] void refuse(const XMLCh* pszWhy) const
    {
        if (m_pLocator)
            throw SAXParseException(pszWhy, *m_pLocator);
        throw SAXException(pszWhy);
    }

private:
    const Locator* m_pLocator = nullptr;
    const uint64_t m_ullAttributeBudget;
    bool& m_bOverBudget; // a refusal at a limit the budget sets
    uint64_t m_ullAttributeUnits = 0;
    uint32_t m_ulDepth = 0;
    uint32_t m_ulInScope = 0;
    std::vector<uint32_t> m_declared; // per open element
};

// Receives the SAX2 events of the prolog pass and of the full scanner's
// passes. Besides the limits, it keeps the longest internal entity
// replacement text and whether the prolog has a DOCTYPE. A fatal error ends
// the scan by throwing it.
class CScanHandler : public DefaultHandler {
public:
    explicit CScanHandler(CScanLimits& limits) : m_limits(limits) {}

    XMLSize_t longestEntity() const { return m_ulLongestEntity; }
    bool sawDoctype() const { return m_bDoctype; }

    void setDocumentLocator(const Locator* const pLocator) override { m_limits.setLocator(pLocator); }

    // In a pass without namespaces, where declarations are plain
    // attributes, also count the declarations in scope.
    void countNamespaceDeclarations() { m_bCountNamespaces = true; }

    // Each pass counts afresh; the entity lengths are kept.
    void startDocument() override { m_limits.reset(); }

    void startDTD(const XMLCh* const, const XMLCh* const, const XMLCh* const) override { m_bDoctype = true; }

    void internalEntityDecl(const XMLCh* const, const XMLCh* const pszValue) override
    {
        m_ulLongestEntity = std::max(m_ulLongestEntity, XMLString::stringLen(pszValue));
    }

    void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const,
                      const Attributes& attributes) override
    {
        const XMLSize_t ulAttributes = attributes.getLength();
        uint64_t ullUnits = 0;
        for (XMLSize_t i = 0; i < ulAttributes; ++i)
            ullUnits += XMLString::stringLen(attributes.getValue(i));
        m_limits.open(ullUnits);
        if (m_bCountNamespaces) {
            uint32_t ulDeclared = 0;
            for (XMLSize_t i = 0; i < ulAttributes; ++i) {
                const std::u16string_view name = textOf(attributes.getQName(i));
                ulDeclared += name == u"xmlns" || name.substr(0, 6) == u"xmlns:";
            }
            m_limits.enterScope(ulDeclared);
        }
    }

    void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override
    {
        m_limits.close();
        if (m_bCountNamespaces)
            m_limits.leaveScope();
    }

    // The namespace-aware pass learns the declarations of each start tag
    // from these, before the tag's startElement.
    void startPrefixMapping(const XMLCh* const, const XMLCh* const) override { m_limits.declare(); }
    void endPrefixMapping(const XMLCh* const) override { m_limits.undeclare(); }

    // The library words its refusal at the expansion limit as a limit the
    // application imposed; it is told as the check's other limits are.
    void fatalError(const SAXParseException& e) override
    {
        if (m_pSecurity != nullptr && textOf(e.getMessage()).find(u"entity expansions") != std::u16string_view::npos) {
            m_limits.overBudget();
            const std::u16string why = nxrXmlLimitText(NxrXmlLimit::Expansions, m_pSecurity->getEntityExpansionLimit());
            throw SAXParseException(why.c_str(), e.getPublicId(), e.getSystemId(), e.getLineNumber(),
                                    e.getColumnNumber());
        }
        throw e;
    }

    // The security manager whose expansion limit the scan runs under.
    void expansionsUnder(const SecurityManager& security) { m_pSecurity = &security; }

    [[noreturn]] void refuse(const XMLCh* pszWhy) const { m_limits.refuse(pszWhy); }

private:
    CScanLimits& m_limits;
    const SecurityManager* m_pSecurity = nullptr;
    XMLSize_t m_ulLongestEntity = 0;
    bool m_bDoctype = false;
    bool m_bCountNamespaces = false;
};

// A low-level document handler that ignores every event; the handlers
// below take the ones they need.
class CQuietDocumentHandler : public XMLDocumentHandler {
public:
    void docCharacters(const XMLCh* const, const XMLSize_t, const bool) override {}
    void docComment(const XMLCh* const) override {}
    void docPI(const XMLCh* const, const XMLCh* const) override {}
    void endDocument() override {}
    void endElement(const XMLElementDecl&, const unsigned int, const bool, const XMLCh* const) override {}
    void endEntityReference(const XMLEntityDecl&) override {}
    void ignorableWhitespace(const XMLCh* const, const XMLSize_t, const bool) override {}
    void resetDocument() override {}
    void startDocument() override {}
    void startElement(const XMLElementDecl&, const unsigned int, const XMLCh* const, const RefVectorOf<XMLAttr>&,
                      const XMLSize_t, const bool, const bool) override
    {
    }
    void startEntityReference(const XMLEntityDecl&) override {}
    void XMLDecl(const XMLCh* const, const XMLCh* const, const XMLCh* const, const XMLCh* const) override {}
};

// Sees the XML declaration, which the SAX2 events do not carry. The scanner
// lets any version "1.x" through with a warning, but the DOM holds only 1.0
// and 1.1 (and "1." or "1.0a" are no version at all), so the scan refuses the
// others as well.
class CDeclarationCheck : public CQuietDocumentHandler {
public:
    explicit CDeclarationCheck(CScanHandler& handler) : m_handler(handler) {}

    // The encoding the scanner reads the document in, when the document has
    // an XML declaration (without one it is UTF-8, UTF-16 or UCS-4).
    const std::optional<std::u16string>& encoding() const { return m_encoding; }

    void XMLDecl(const XMLCh* const pszVersion, const XMLCh* const, const XMLCh* const,
                 const XMLCh* const pszActualEncoding) override
    {
        m_encoding = std::u16string(textOf(pszActualEncoding));
        const std::u16string_view version = textOf(pszVersion);
        if (!version.empty() && version != u"1.0" && version != u"1.1") {
            const std::u16string message = u"unsupported XML version '" + std::u16string(version) + u"'";
            m_handler.refuse(message.c_str());
        }
    }

private:
    CScanHandler& m_handler;
    std::optional<std::u16string> m_encoding;
};

// The limits over the light scanner's low-level events, in the order the
// SAX2 layer gives them to CScanHandler: an element's namespace declarations
// (attributes named xmlns or prefixed xmlns:, which are not counted as
// attribute values), then its depth and attribute values. An empty
// element's end has no event of its own.
class CLimitsDocumentHandler : public CQuietDocumentHandler {
public:
    explicit CLimitsDocumentHandler(CScanLimits& limits) : m_limits(limits) {}

    void startDocument() override { m_limits.reset(); }

    void startElement(const XMLElementDecl&, const unsigned int, const XMLCh* const,
                      const RefVectorOf<XMLAttr>& attributes, const XMLSize_t ulAttributes, const bool bEmpty,
                      const bool) override
    {
        uint32_t ulDeclared = 0;
        uint64_t ullUnits = 0;
        for (XMLSize_t i = 0; i < ulAttributes; ++i) {
            const XMLAttr* pAttribute = attributes.elementAt(i);
            const XMLCh* pszPrefix = pAttribute->getPrefix();
            if (pszPrefix && *pszPrefix ? XMLString::equals(pszPrefix, XMLUni::fgXMLNSString)
                                        : XMLString::equals(pAttribute->getName(), XMLUni::fgXMLNSString))
                ++ulDeclared;
            else
                ullUnits += XMLString::stringLen(pAttribute->getValue());
        }
        m_limits.enterScope(ulDeclared);
        m_limits.open(ullUnits);
        if (bEmpty)
            endElement();
    }

    void endElement(const XMLElementDecl&, const unsigned int, const bool, const XMLCh* const) override
    {
        endElement();
    }

private:
    void endElement()
    {
        m_limits.close();
        m_limits.leaveScope();
    }

    CScanLimits& m_limits;
};

// The light scanner's parser, configured as the full one's readers but for
// the scanner; the limits handler sees its elements.
class CLightParser : public SAXParser {
public:
    CLightParser(SecurityManager& security, CScanHandler& errors, CLimitsDocumentHandler& limitsHandler)
    {
        // The scanner first: a new scanner takes only some of the settings
        // made before it.
        useScanner(XMLUni::fgDGXMLScanner);
        setDoNamespaces(true);
        setValidationScheme(Val_Never);
        setDoSchema(false);
        setLoadExternalDTD(false);
        setDisableDefaultEntityResolution(true);
        setSecurityManager(&security);
        setErrorHandler(&errors);
        installAdvDocHandler(&limitsHandler);
    }

    // Where the scanner is in the document.
    const Locator* locator() const { return getScanner().getLocator(); }
};

struct CReaderDeleter {
    void operator()(SAX2XMLReader* p) const { delete p; }
};

} // namespace

namespace {

// A stream over arriving bytes: reads what has come, waits for more, and
// lets go of what it has read.
class CArrivingStream : public BinInputStream {
public:
    explicit CArrivingStream(CNXRArrivingBytes& bytes) : m_bytes(bytes) {}
    XMLFilePos curPos() const override { return m_ullPos; }
    XMLSize_t readBytes(XMLByte* const pToFill, const XMLSize_t ulMax) override
    {
        const size_t ulCount = m_bytes.read(m_ullPos, pToFill, ulMax);
        m_ullPos += ulCount;
        m_bytes.release(m_ullPos);
        return ulCount;
    }
    const XMLCh* getContentType() const override { return nullptr; }

private:
    CNXRArrivingBytes& m_bytes;
    uint64_t m_ullPos = 0;
};

// Each stream made from this source starts at the front of the document.
class CArrivingSource : public InputSource {
public:
    CArrivingSource(CNXRArrivingBytes& bytes, const XMLCh* pszSystemId) : InputSource(pszSystemId), m_bytes(bytes)
    {
    }
    BinInputStream* makeStream() const override { return new CArrivingStream(m_bytes); }

private:
    CNXRArrivingBytes& m_bytes;
};

// The byte patterns of "xmlns" that CNamespaceGuardStream counts, one per
// family of encodings: ASCII-compatible single- and multi-byte sets, UTF-16,
// UCS-4 and EBCDIC (whose small letters are the same in every code page).
enum XmlnsSpelling : size_t { SPELLING_ASCII, SPELLING_UTF16, SPELLING_UCS4, SPELLING_EBCDIC, SPELLING_COUNT };
constexpr std::string_view kXmlnsPatterns[SPELLING_COUNT] = {
    std::string_view("xmlns", 5), std::string_view("x\0m\0l\0n\0s", 9),
    std::string_view("x\0\0\0m\0\0\0l\0\0\0n\0\0\0s", 17), std::string_view("\xA7\x94\x93\x95\xA2", 5)};

// The family of a declared encoding, by its name; none for encodings (UTF-7,
// BOCU-1, ...) that may spell "xmlns" otherwise, whose declarations cannot
// be counted.
std::optional<XmlnsSpelling> spellingOf(std::u16string_view encoding)
{
    std::u16string upper(encoding);
    for (auto& c : upper)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 32);
    static constexpr struct {
        std::u16string_view prefix;
        XmlnsSpelling spelling;
    } kFamilies[] = {{u"UTF-8", SPELLING_ASCII},       {u"UTF8", SPELLING_ASCII},
                     {u"US-ASCII", SPELLING_ASCII},    {u"ASCII", SPELLING_ASCII},
                     {u"ISO-8859-", SPELLING_ASCII},   {u"ISO8859", SPELLING_ASCII},
                     {u"ISO_8859", SPELLING_ASCII},    {u"LATIN", SPELLING_ASCII},
                     {u"WINDOWS-125", SPELLING_ASCII}, {u"CP125", SPELLING_ASCII},
                     {u"UTF-16", SPELLING_UTF16},      {u"UTF16", SPELLING_UTF16},
                     {u"UCS-2", SPELLING_UTF16},       {u"ISO-10646-UCS-2", SPELLING_UTF16},
                     {u"UTF-32", SPELLING_UCS4},       {u"UCS-4", SPELLING_UCS4},
                     {u"ISO-10646-UCS-4", SPELLING_UCS4}, {u"EBCDIC-CP-", SPELLING_EBCDIC},
                     {u"IBM037", SPELLING_EBCDIC},     {u"IBM1047", SPELLING_EBCDIC},
                     {u"IBM1140", SPELLING_EBCDIC},    {u"CP037", SPELLING_EBCDIC}};
    for (const auto& family : kFamilies)
        if (upper.starts_with(family.prefix))
            return family.spelling;
    return std::nullopt;
}

// A stream that counts, in the bytes it hands on, the byte pattern of
// "xmlns" in the document's encoding, or those of every family when that is
// not certain (an overcount only costs a pass). Before
// it hands on the bytes that take the count past the limit on declarations
// in scope, it has onCrowded check the whole document, which throws when the
// document is refused; the scanner thus never holds a start tag with more
// declarations than the limit unless that check passed. Only the patterns
// since the last '<' count (the code unit of '<' in the document's encoding,
// told by its first bytes: no other character holds it, as no start tag
// does): they bound the declarations of the start tag being read, and the
// scan's handler counts those in scope from the tags it has seen.
//
// The first bytes are read and counted when the stream is made (prime()):
// the parser's reader takes its first bytes in its constructor, and a throw
// from there would leak the half-built reader.
class CNamespaceGuardStream : public BinInputStream {
public:
    // declared: the encoding the document declares, when it has an XML
    // declaration.
    CNamespaceGuardStream(BinInputStream* pInner, const std::function<void()>& onCrowded, uint64_t ullLimit,
                          const std::optional<std::u16string>& declared)
        : m_inner(pInner), m_onCrowded(onCrowded), m_ullLimit(ullLimit), m_declared(declared)
    {
    }
    // The document bytes kept between reads are wiped.
    ~CNamespaceGuardStream() override
    {
        ::explicit_bzero(m_tail, sizeof(m_tail));
        ::explicit_bzero(m_primed.data(), m_primed.size());
    }
    XMLFilePos curPos() const override { return m_inner->curPos() - (m_primed.size() - m_ulPrimedPos); }
    const XMLCh* getContentType() const override { return m_inner->getContentType(); }

    // Reads ahead more than the parser's first read and counts it.
    void prime()
    {
        m_primed.resize(kPrime);
        size_t ulHave = 0;
        for (XMLSize_t ulGot = 1; ulHave < kPrime && ulGot != 0; ulHave += ulGot)
            ulGot = m_inner->readBytes(m_primed.data() + ulHave, kPrime - ulHave);
        m_primed.resize(ulHave);
        // How '<' is spelled, from the first bytes.
        const NxrMarkupUnit unit =
            nxrSenseMarkup(std::string_view(reinterpret_cast<const char*>(m_primed.data()), ulHave));
        static constexpr XmlnsSpelling kSpellings[] = {SPELLING_ASCII, SPELLING_UTF16, SPELLING_UCS4, SPELLING_EBCDIC};
        const XmlnsSpelling sensed = kSpellings[unit.spelling];
        m_tag = {unit.ulLength, unit.ulAt, sensed == SPELLING_EBCDIC ? '\x4C' : '<'};
        // Only the spelling of the document's own encoding counts when the
        // first bytes and the declaration (or, without one, the parser's
        // sensing of UTF-8, UTF-16 and UCS-4) agree on it; otherwise every
        // spelling does.
        const std::optional<XmlnsSpelling> declared =
            m_declared ? spellingOf(*m_declared)
                       : (sensed == SPELLING_EBCDIC ? std::nullopt : std::optional<XmlnsSpelling>(sensed));
        if (declared == sensed)
            m_patterns = std::span<const std::string_view>(&kXmlnsPatterns[sensed], 1);
        count(m_primed.data(), ulHave);
    }

    XMLSize_t readBytes(XMLByte* const pToFill, const XMLSize_t ulMax) override
    {
        if (m_ulPrimedPos < m_primed.size()) {
            const XMLSize_t ulCount = std::min<XMLSize_t>(ulMax, m_primed.size() - m_ulPrimedPos);
            std::memcpy(pToFill, m_primed.data() + m_ulPrimedPos, ulCount);
            m_ulPrimedPos += ulCount;
            return ulCount;
        }
        const XMLSize_t ulCount = m_inner->readBytes(pToFill, ulMax);
        count(pToFill, ulCount);
        return ulCount;
    }

private:
    // The code unit of '<': its length, the place of its non-zero byte, and
    // that byte.
    struct CTagUnit {
        size_t ulLength;
        size_t ulAt;
        char cByte;
    };

    // Where the last whole '<' in bytes (which begin at ullAt in the
    // document) ends; npos when there is none.
    size_t lastTagEnd(std::string_view bytes, uint64_t ullAt) const
    {
        for (size_t ulEnd = bytes.size(); ulEnd != 0;) {
            const void* pHit = ::memrchr(bytes.data(), m_tag.cByte, ulEnd);
            if (pHit == nullptr)
                break;
            const size_t p = static_cast<size_t>(static_cast<const char*>(pHit) - bytes.data());
            ulEnd = p;
            if ((ullAt + p) % m_tag.ulLength != m_tag.ulAt || p < m_tag.ulAt)
                continue;
            const size_t ulStart = p - m_tag.ulAt;
            if (ulStart + m_tag.ulLength > bytes.size())
                continue;
            const std::string_view unit = bytes.substr(ulStart, m_tag.ulLength);
            if (std::count(unit.begin(), unit.end(), '\0') == static_cast<std::ptrdiff_t>(m_tag.ulLength - 1))
                return ulStart + m_tag.ulLength;
        }
        return std::string_view::npos;
    }

    // How often pattern occurs in bytes.
    static uint64_t occurrences(std::string_view bytes, std::string_view pattern)
    {
        uint64_t ullFound = 0;
        const char* p = bytes.data();
        const char* const pEnd = p + bytes.size();
        while (const void* pHit = ::memmem(p, static_cast<size_t>(pEnd - p), pattern.data(), pattern.size())) {
            ++ullFound;
            p = static_cast<const char*>(pHit) + 1;
        }
        return ullFound;
    }

    void count(const XMLByte* pBytes, XMLSize_t ulCount)
    {
        if (m_bCleared || ulCount == 0)
            return;
        std::string_view bytes(reinterpret_cast<const char*>(pBytes), ulCount);
        const uint64_t ullAt = m_ullPos;
        m_ullPos += ulCount;
        const size_t ulTagEnd = lastTagEnd(bytes, ullAt);
        if (ulTagEnd != std::string_view::npos) {
            m_ulSeen = 0;
            m_ulTail = 0;
            bytes.remove_prefix(ulTagEnd);
        }
        // Patterns within the new bytes, then those that a read split: the
        // kept end of the previous bytes joined to the start of these.
        char joint[2 * kTail];
        const size_t ulHead = std::min<size_t>(bytes.size(), kTail);
        std::memcpy(joint, m_tail, m_ulTail);
        std::memcpy(joint + m_ulTail, bytes.data(), ulHead);
        const std::string_view across(joint, m_ulTail + ulHead);
        for (const std::string_view pattern : m_patterns) {
            m_ulSeen += occurrences(bytes, pattern);
            for (size_t pos = across.find(pattern); pos != std::string_view::npos && pos < m_ulTail;
                 pos = across.find(pattern, pos + 1))
                m_ulSeen += pos + pattern.size() > m_ulTail;
        }
        // Keep the last kTail bytes seen, from the joint when these are few.
        const std::string_view last = bytes.size() >= kTail
                                          ? bytes.substr(bytes.size() - kTail)
                                          : across.substr(across.size() - std::min(across.size(), kTail));
        std::memcpy(m_tail, last.data(), last.size());
        m_ulTail = last.size();
        ::explicit_bzero(joint, sizeof(joint));
        if (m_ulSeen > m_ullLimit) {
            m_bCleared = true;
            m_onCrowded();
        }
    }

    static constexpr size_t kTail = 16;          // the longest pattern less one
    static constexpr size_t kPrime = 64 * 1024;  // the parser's first read is 48 KiB
    std::unique_ptr<BinInputStream> m_inner;
    std::function<void()> m_onCrowded;
    const uint64_t m_ullLimit;
    const std::optional<std::u16string> m_declared;
    std::span<const std::string_view> m_patterns{kXmlnsPatterns}; // the spellings counted
    std::vector<XMLByte> m_primed;
    size_t m_ulPrimedPos = 0;
    char m_tail[kTail] = {};
    size_t m_ulTail = 0;
    uint64_t m_ulSeen = 0;
    bool m_bCleared = false;
    CTagUnit m_tag{1, 0, '<'};
    uint64_t m_ullPos = 0; // where the next bytes begin in the document
};

class CNamespaceGuardSource : public InputSource {
public:
    CNamespaceGuardSource(const InputSource& inner, std::function<void()> onCrowded, uint64_t ullLimit,
                          const std::optional<std::u16string>& declared)
        : InputSource(inner.getSystemId()), m_inner(inner), m_onCrowded(std::move(onCrowded)), m_ullLimit(ullLimit),
          m_declared(declared)
    {
    }
    BinInputStream* makeStream() const override
    {
        BinInputStream* pStream = m_inner.makeStream();
        if (pStream == nullptr)
            return nullptr;
        auto guard = std::make_unique<CNamespaceGuardStream>(pStream, m_onCrowded, m_ullLimit, m_declared);
        guard->prime();
        return guard.release();
    }

private:
    const InputSource& m_inner;
    std::function<void()> m_onCrowded;
    const uint64_t m_ullLimit;
    const std::optional<std::u16string> m_declared;
};

// The readers of both passes, configured alike but for namespaces.
std::unique_ptr<SAX2XMLReader, CReaderDeleter> makeScanReader(bool bNamespaces, SecurityManager& security,
                                                              CScanHandler& handler)
{
    std::unique_ptr<SAX2XMLReader, CReaderDeleter> reader(XMLReaderFactory::createXMLReader());
    reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, bNamespaces);
    reader->setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, false);
    reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(XMLUni::fgXercesDynamic, false);
    reader->setFeature(XMLUni::fgXercesSchema, false);
    reader->setFeature(XMLUni::fgXercesLoadSchema, false);
    reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    reader->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader->setProperty(XMLUni::fgXercesSecurityManager, &security);
    reader->setContentHandler(&handler);
    reader->setErrorHandler(&handler);
    reader->setDeclarationHandler(&handler);
    return reader;
}

// The whole document without namespaces, where the scanner checks
// attributes for duplicates by their whole names (linear) and declarations
// are plain attributes that the handler counts. Throws the refusal.
void boundNamespaceDeclarations(const InputSource& source, XMLSize_t ulExpansionLimit, uint64_t ullAttributeBudget,
                                bool& bOverBudget)
{
    SecurityManager security;
    security.setEntityExpansionLimit(ulExpansionLimit);
    CScanLimits limits(ullAttributeBudget, bOverBudget);
    CScanHandler handler(limits);
    handler.expansionsUnder(security);
    handler.countNamespaceDeclarations();
    makeScanReader(false, security, handler)->parse(source);
}

std::atomic<NxrScanners> g_scanners{NxrScanners::LightWhereItFits};

// Whether the light scanner gives the full one's verdicts on the document:
// it has no DOCTYPE (with one, the light scanner ignores namespace
// declarations made by attribute defaults), and it is in UTF-8, US-ASCII or
// ISO-8859-1 (in UTF-16 and UCS-4 the light scanner lets a lone leading
// surrogate through at the end of an attribute value). Without a
// declaration the parser reads UTF-8 unless the first bytes are a byte-order
// mark of UTF-16 or UCS-4, or spell "<?xm" in those or in EBCDIC.
bool lightScannerFits(const InputSource& source, bool bDoctype, const std::optional<std::u16string>& declared)
{
    if (g_scanners.load(std::memory_order_relaxed) == NxrScanners::Full || bDoctype)
        return false;
    if (declared) {
        std::u16string upper(*declared);
        for (auto& c : upper)
            if (c >= u'a' && c <= u'z')
                c = static_cast<char16_t>(c - 32);
        if (upper != u"UTF-8" && upper != u"US-ASCII" && upper != u"ISO-8859-1")
            return false;
    }
    const std::unique_ptr<BinInputStream> stream(source.makeStream());
    XMLByte first[4] = {};
    size_t ulHave = 0;
    for (XMLSize_t ulGot = 1; stream && ulHave < sizeof(first) && ulGot != 0; ulHave += ulGot)
        ulGot = stream->readBytes(first + ulHave, sizeof(first) - ulHave);
    const bool bUtf8 = ulHave != 0 && first[0] != 0xFE && first[0] != 0xFF &&
                       std::find(first, first + ulHave, XMLByte(0)) == first + ulHave &&
                       std::memcmp(first, "\x4C\x6F\xA7\x94", 4) != 0;
    ::explicit_bzero(first, sizeof(first));
    return bUtf8;
}

// The scan over any source of the document's ulCount bytes. Arriving bytes
// that are not held whole are read from the front at most twice, both
// passes starting before the window moves: the prolog pass, then one pass
// over the whole document (the namespace-aware scan, on the light scanner
// where it fits, or, in an encoding whose declarations cannot be counted,
// the bounding pass alone, which then leaves the namespace rules unchecked).
// ulCount is the size the budget is computed from; a refusal at a limit the
// budget sets also sets bOverBudget.
void scanSource(InputSource& source, XMLSize_t ulCount, bool& bOverBudget, CNXRArrivingBytes* pArriving = nullptr)
{
    const uint64_t ullBudget = expansionBudget(ulCount);
    nxrXercesCall([&] {
        SecurityManager security;
        security.setEntityExpansionLimit(NXR_XML_MAX_ENTITY_EXPANSIONS);
        CScanLimits limits(2 * ullBudget, bOverBudget);
        CScanHandler handler(limits);
        handler.expansionsUnder(security);
        CDeclarationCheck declarationCheck(handler);
        const auto reader = makeScanReader(true, security, handler);
        reader->installAdvDocHandler(&declarationCheck);
        reader->setLexicalHandler(&handler);

        // First the prolog alone, for the entity declarations of the
        // internal subset: with the longest replacement text known, the
        // expansion limit keeps all replacement text within the budget. The
        // declaration check sees the prolog only: it is removed before the
        // whole document is scanned, as an advanced handler slows every
        // element down.
        XMLPScanToken token;
        if (reader->parseFirst(source, token))
            reader->parseReset(token);
        reader->removeAdvDocHandler(&declarationCheck);
        reader->setLexicalHandler(nullptr);
        const bool bLight = lightScannerFits(source, handler.sawDoctype(), declarationCheck.encoding());
        const uint64_t ullLongest = std::max<uint64_t>(handler.longestEntity(), 1);
        const uint64_t ullLimit = std::clamp<uint64_t>(ullBudget / ullLongest, 1, NXR_XML_MAX_ENTITY_EXPANSIONS);
        security.setEntityExpansionLimit(static_cast<XMLSize_t>(ullLimit));

        // Then the whole document, with the declarations in scope bounded
        // first where the bytes may hold more than the limit.
        const auto bound = [&] {
            boundNamespaceDeclarations(source, static_cast<XMLSize_t>(ullLimit), 2 * ullBudget, bOverBudget);
        };
        const bool bWhole = pArriving == nullptr || pArriving->heldWhole();
        if (!bWhole)
            pArriving->keepFront(false);
        // Where the front is gone, no exact pass can run: the patterns since
        // the last '<' may then reach sixteen times the limit (text may hold
        // the word; a start tag that holds that many declarations costs the
        // scanner at most the square of that bound before the handler
        // refuses it), and beyond that the document is refused.
        const auto crowded = [&] {
            if (!bWhole)
                throw SAXException(
                    nxrXmlLimitText(NxrXmlLimit::Namespaces, NXR_XML_MAX_NAMESPACES_IN_SCOPE).c_str());
            bound();
        };
        const uint64_t ullCrowded = bWhole ? NXR_XML_MAX_NAMESPACES_IN_SCOPE : 16 * NXR_XML_MAX_NAMESPACES_IN_SCOPE;
        // The light scanner tells some errors inside a start tag at another
        // column, or names a prefix otherwise; where the document can be read
        // again, the full scanner tells a refusal as it always has.
        const bool bRetell = bWhole && g_scanners.load(std::memory_order_relaxed) == NxrScanners::LightWhereItFits;
        const auto wholePass = [&](const InputSource& whole) {
            if (!bLight)
                return reader->parse(whole);
            try {
                CLimitsDocumentHandler limitsHandler(limits);
                CLightParser parser(security, handler, limitsHandler);
                limits.setLocator(parser.locator());
                parser.parse(whole);
            } catch (const SAXParseException&) {
                if (!bRetell)
                    throw;
                reader->parse(whole);
            }
        };
        if (declarationCheck.encoding() && !spellingOf(*declarationCheck.encoding())) {
            bound();
            if (bWhole)
                wholePass(source);
        } else {
            wholePass(CNamespaceGuardSource(source, crowded, ullCrowded, declarationCheck.encoding()));
        }
    });
}

} // namespace

void nxrScanXML(const XMLByte* pBytes, XMLSize_t ulCount, const XMLCh* pszSystemId)
{
    // A buffer without storage is the empty document, which the parser
    // refuses with its own message.
    static const XMLByte kNothing[1] = {0};
    if (pBytes == nullptr)
        pBytes = kNothing, ulCount = 0;
    // Making the source takes the library's memory, as the scan does.
    nxrXercesCall([&] {
        const CNXRParserMemory::CCap cap(NXR_XML_MAX_PARSER_MEMORY);
        MemBufInputSource source(pBytes, ulCount, pszSystemId, false);
        source.setCopyBufToStream(false);
        CNXRTokenLimitSource measured(source);
        bool bOverBudget = false;
        scanSource(measured, ulCount, bOverBudget);
    });
}

void nxrScanXML(CNXRArrivingBytes& bytes, const XMLCh* pszSystemId, NxrMarkupLimits limits)
{
    // A refusal at a budget is marked on the bytes as the scan leaves.
    struct CMark {
        CNXRArrivingBytes& bytes;
        bool bOverBudget = false;
        ~CMark()
        {
            if (bOverBudget)
                bytes.markOverBudget();
        }
    } mark{bytes};
    nxrXercesCall([&] {
        CArrivingSource source(bytes, pszSystemId);
        const XMLSize_t ulBudgetSize = static_cast<XMLSize_t>(bytes.budgetSize());
        if (limits == NxrMarkupLimits::Waive) {
            scanSource(source, ulBudgetSize, mark.bOverBudget, &bytes);
            return;
        }
        const CNXRParserMemory::CCap cap(NXR_XML_MAX_PARSER_MEMORY);
        CNXRTokenLimitSource measured(source);
        scanSource(measured, ulBudgetSize, mark.bOverBudget, &bytes);
    });
}

void nxrChooseScanners(NxrScanners scanners)
{
    g_scanners.store(scanners, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The arriving bytes

CNXRArrivingBytes::CNXRArrivingBytes(uint64_t ullTotal, uint32_t ulWindow, uint64_t ullBudgetSize)
    : m_ullTotal(ullTotal), m_ullBudgetSize(ullBudgetSize != 0 ? std::min(ullBudgetSize, ullTotal) : ullTotal),
      m_ulWindow(ulWindow),
      m_ring(static_cast<uint32_t>(std::clamp<uint64_t>(ullTotal, 1, ulWindow)))
{
    if (!m_ring.isValid())
        NXR_THROW(CMemAllocException, u"m_ring");
    m_pRing = m_ring.getBuffer();
    m_ullCapacity = m_ring.getNumElems();
}

bool CNXRArrivingBytes::append(const uint8_t* pBytes, size_t ulCount)
{
    const uint64_t ullCapacity = m_ullCapacity;
    while (ulCount != 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        // Wait for room for a hand-off's worth, or all that is left, so that
        // the reader wakes the producer once per hand-off, not per read.
        const uint64_t ullWanted = std::min<uint64_t>({ulCount, NXR_ARRIVING_HANDOFF, ullCapacity});
        if (ullCapacity - (m_ullEnd - m_ullStart) < ullWanted) {
            m_ullRoomWanted = ullWanted;
            m_room.wait(lock, [&] { return m_bClosed || ullCapacity - (m_ullEnd - m_ullStart) >= ullWanted; });
            m_ullRoomWanted = 0;
        }
        if (m_bClosed)
            return false;
        // Up to the free space, and up to the end of the block.
        const uint64_t ullAt = m_ullEnd % ullCapacity;
        const size_t ulPart = static_cast<size_t>(
            std::min<uint64_t>({ulCount, ullCapacity - (m_ullEnd - m_ullStart), ullCapacity - ullAt}));
        std::memcpy(m_pRing + ullAt, pBytes, ulPart);
        m_ullEnd += ulPart;
        pBytes += ulPart;
        ulCount -= ulPart;
        lock.unlock();
        m_arrived.notify_all();
    }
    return true;
}

void CNXRArrivingBytes::finish()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bFinished = true;
    }
    m_arrived.notify_all();
}

void CNXRArrivingBytes::close()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
    }
    m_room.notify_all();
}

size_t CNXRArrivingBytes::read(uint64_t ullPos, uint8_t* pOut, size_t ulMax)
{
    const uint64_t ullCapacity = m_ullCapacity;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (ullPos < m_ullStart)
            throw SAXException(u"the document's bytes are no longer held");
        // The document ends at its total size, whatever else arrives.
        if (ullPos < m_ullEnd || m_bFinished || ullPos >= m_ullTotal)
            break;
        // The kept front fills the window and the reader wants more: the
        // producer cannot go on until the front is let go.
        if (m_bKeepFront && m_ullEnd - m_ullStart >= ullCapacity)
            throw SAXException(nxrXmlLimitText(NxrXmlLimit::Prolog, ullCapacity).c_str());
        m_arrived.wait(lock);
    }
    const uint64_t ullAt = ullPos % ullCapacity;
    const size_t ulCount = static_cast<size_t>(
        std::min<uint64_t>({ulMax, std::min(m_ullEnd, m_ullTotal) - std::min(ullPos, m_ullTotal), ullCapacity - ullAt}));
    std::memcpy(pOut, m_pRing + ullAt, ulCount);
    return ulCount;
}

void CNXRArrivingBytes::release(uint64_t ullPos)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bKeepFront || ullPos <= m_ullStart)
            return;
        m_ullStart = std::min(ullPos, m_ullEnd);
        if (m_ullRoomWanted == 0 || m_ullCapacity - (m_ullEnd - m_ullStart) < m_ullRoomWanted)
            return;
    }
    m_room.notify_all();
}

void CNXRArrivingBytes::keepFront(bool bKeep)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bKeepFront = bKeep;
    }
    m_room.notify_all();
}

} // namespace nxr
