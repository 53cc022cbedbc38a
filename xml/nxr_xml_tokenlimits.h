// The token limits of the XML check. The parser holds each name, attribute
// value, comment, processing instruction, CDATA section and markup
// declaration whole (widened to UTF-16 and copied) before anyone sees it, so
// their sizes are measured on the document's raw bytes as they pass to the
// parser, and a document is refused as soon as one of them passes its limit:
// the parser never holds more than the limit and one read of bytes.
//
// CNXRTokenLimits is a lexer over the raw bytes in the document's own
// encoding: ASCII-compatible sets (UTF-8, ISO-8859-x, windows-125x, EUC and
// the double-byte sets whose bytes below 0x40 are always ASCII), UTF-16 and
// UCS-4 in either byte order, and EBCDIC. It follows the markup only as far
// as the limits need (which byte ends which token) and leaves every other
// rule to the parser: on a document that is not well-formed it may refuse
// with a limit where the parser would give its own reason. In an encoding
// whose markup it cannot follow (ISO-2022, UTF-7 and the like, as the XML
// declaration names them) no token can be longer than the document, so the
// document itself is held to the token limit.
#pragma once
#include "nxr_buffer.h"
#include "nxr_xerces_check.h"

#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/BinInputStream.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace nxr {

class CNXRTokenLimits {
public:
    CNXRTokenLimits();
    CNXRTokenLimits(const CNXRTokenLimits&) = delete;
    CNXRTokenLimits& operator=(const CNXRTokenLimits&) = delete;

    // Measures the next bytes of the document; throws a SAXException naming
    // the limit when a token passes it.
    void feed(const uint8_t* pBytes, size_t ulCount);

private:
    enum class State : uint8_t {
        Start,     // the first bytes, until the encoding is known
        Text,      // character data
        Reference, // a name after '&' (or '%' in the internal subset)
        Open,      // after '<'
        Bang,      // after "<!"
        BangDash,  // after "<!-"
        CDataKey,  // matching "[CDATA[" after "<!"
        Tag,       // a start or end tag, or a declaration
        Literal,   // a quoted value within a tag or declaration
        Comment,
        Pi,
        CData,
        Subset,    // the internal subset of the document type declaration
    };
    enum class Mode : uint8_t { Ascii, Ebcdic, Wide, Document };

    // The bytes of a byte-order mark that starts the document.
    uint32_t start();
    void step(uint8_t c);
    // Fast paths over ASCII-compatible bytes; each returns the bytes used.
    size_t skipText(const uint8_t* p, size_t n);
    size_t fastPart(const uint8_t* p, size_t n);
    size_t exactPart(const uint8_t* p, size_t n, bool bMayLeave);
    size_t replay();
    size_t skipTag(const uint8_t* p, size_t n);
    size_t skipUntil(const uint8_t* p, size_t n, uint8_t cEnd);
    void closer(uint8_t c, uint8_t cCloser, uint32_t ulClosers, NxrXmlLimit limit);
    void openTag(bool bDoctype, bool bDeclaration);
    void grow(uint64_t& ullLength, uint64_t ullUnits, uint64_t ullLimit, NxrXmlLimit limit);
    void growTag(uint64_t ullUnits);
    [[noreturn]] static void refuse(NxrXmlLimit limit, uint64_t ullAmount);
    void endPi();

    // ASCII-compatible bytes go in pieces of this size at most.
    static constexpr size_t kPiece = 32 * 1024;

    Mode m_mode = Mode::Ascii;
    State m_state = State::Start;
    State m_after = State::Text; // where a tag, comment or PI returns to
    uint32_t m_ulUnit = 1;       // bytes per character unit
    uint32_t m_ulAt = 0;         // the byte of a wide unit that holds ASCII
    uint8_t m_partial[8] = {};   // a unit, or the first bytes, split by a read
    uint32_t m_ulPartial = 0;
    uint64_t m_ullTotal = 0;     // bytes measured so far

    bool m_bExact = false;       // the exact lexer runs, not fastPart
    bool m_bLastOpen = false;    // fastPart's bytes ended in '<'
    CNXRBuffer<NXR_BYTE> m_segment; // fastPart's bytes since the last '<'
    NXR_BYTE* m_pSegment = nullptr; // its storage, taken once
    size_t m_ulSegment = 0;

    // Lengths in units.
    uint64_t m_ullRun = 0;       // the name being read
    uint64_t m_ullToken = 0;     // the comment, PI, CDATA section or literal
    uint64_t m_ullTag = 0;       // the tag or declaration
    uint64_t m_ullAttributes = 0; // of the start tag
    uint8_t m_cQuote = 0;
    uint32_t m_ulMatched = 0;    // of a keyword, or of the closing characters
    bool m_bInSubset = false;    // within the internal subset
    bool m_bDoctype = false;     // the tag is the document type declaration
    bool m_bDeclaration = false; // the tag is a declaration of the subset
    bool m_bPiTarget = false;    // still within the PI's target
    bool m_bMarkupSeen = false;  // any markup before: the XML declaration is first
    bool m_bCaptureDecl = false; // the PI is the XML declaration
    std::string m_declaration;   // its text, for the encoding it names
};

// A stream that hands on the bytes of another after CNXRTokenLimits measured
// them; and the source of such streams.
class CNXRTokenLimitStream : public xercesc::BinInputStream {
public:
    explicit CNXRTokenLimitStream(xercesc::BinInputStream* pInner) : m_inner(pInner) {}
    XMLFilePos curPos() const override { return m_inner->curPos(); }
    XMLSize_t readBytes(XMLByte* const pToFill, const XMLSize_t ulMax) override;
    const XMLCh* getContentType() const override { return m_inner->getContentType(); }

private:
    std::unique_ptr<xercesc::BinInputStream> m_inner;
    CNXRTokenLimits m_limits;
};

class CNXRTokenLimitSource : public xercesc::InputSource {
public:
    explicit CNXRTokenLimitSource(const xercesc::InputSource& inner)
        : xercesc::InputSource(inner.getSystemId()), m_inner(inner)
    {
    }
    xercesc::BinInputStream* makeStream() const override;

private:
    const xercesc::InputSource& m_inner;
};

} // namespace nxr
