// The well-formedness check: a streaming SAX2 pass over a document, linear
// in its size, that bounds the work a document can cause beyond reading its
// own bytes (see nxrScanXML), over bytes held in memory or arriving while
// they are read or deciphered (CNXRArrivingBytes).
#pragma once
#include <condition_variable>
#include <mutex>
#include "nxr_xerces.h"

#include <string>
#include <string_view>

namespace nxr {

// Limits of the scan.
// Elements nested deeper than this are refused: resolving names against the
// namespace scopes walks every open element, so each level deepens the cost
// of every element below it.
inline constexpr uint32_t NXR_XML_MAX_ELEMENT_DEPTH = 512;
// Namespace declarations in scope at any element. The library checks an
// element's attributes for duplicates in a table keyed on the local name
// alone, so attributes that share a local name under many prefixes cost the
// square of their number: bounding the declarations in scope bounds that.
inline constexpr uint32_t NXR_XML_MAX_NAMESPACES_IN_SCOPE = 256;
// Units of text a document may produce beyond its own bytes, through entity
// replacement text and attribute values: this many per byte of the document,
// plus the allowance.
inline constexpr uint64_t NXR_XML_EXPANSION_PER_BYTE = 8;
inline constexpr uint64_t NXR_XML_EXPANSION_ALLOWANCE = 1u << 20;

// The most bytes of one piece of markup, in the document's own encoding:
// the parser holds each such piece whole (widened to UTF-16 and copied), so
// these bound its memory whatever the document. Refused as the bytes arrive,
// before the parser has read them.
inline constexpr uint64_t NXR_XML_MAX_NAME_BYTES = 50000;
inline constexpr uint64_t NXR_XML_MAX_TOKEN_BYTES = 10000000;
// A start tag is held whole with all its attributes (each costing the parser
// about 500 bytes besides its text): a tag may hold one value at the limit
// above and its names, and at most so many attributes, which keeps a tag of
// small attributes under 1 MiB within the memory of an ordinary document.
inline constexpr uint64_t NXR_XML_MAX_TAG_BYTES = NXR_XML_MAX_TOKEN_BYTES + 2 * NXR_XML_MAX_NAME_BYTES;
inline constexpr uint64_t NXR_XML_MAX_ATTRIBUTES = 30000;

// The check's limits, as a refusal names them.
enum class NxrXmlLimit {
    Depth,          // nested elements
    Namespaces,     // namespace declarations in scope
    Expansions,     // entity expansions
    AttributeText,  // attribute value text after expansion
    Prolog,         // what a pass that may start again holds of the front
    Name,           // an element, attribute, entity or target name
    AttributeValue, // an attribute value as written
    Literal,        // an entity value or other quoted literal of the DTD
    Comment,
    ProcessingInstruction,
    CData,
    Tag,            // a whole tag with its attributes
    Attributes,     // attributes of one element
    Declaration,    // a markup declaration of the internal subset
    Document,       // a document in an encoding whose markup is not measured
    ParserMemory,   // the parser's memory for one document
};

// The parser memory one document may take beyond what the library held
// before its check: bounds what the markup limits do not, such as a great
// many distinct names, each of which the parser keeps.
inline constexpr uint64_t NXR_XML_MAX_PARSER_MEMORY = uint64_t(64) << 20;

// Whether the limits on single pieces of markup and on the parser's memory
// apply. They bound what sealing a document may cost; a container opens
// whatever they say (Waive), since a document sealed before they existed
// must still open.
enum class NxrMarkupLimits { Apply, Waive };

// How a document spells its markup, told by its first bytes: UCS-4 and
// UTF-16 (with or without a byte-order mark, either byte order) and EBCDIC
// begin as nxrSenseMarkup knows; everything else has ASCII markup. An ASCII
// character is one unit of ulLength bytes whose byte at ulAt holds it and
// whose others are zero; ulMark bytes of byte-order mark come first.
struct NxrMarkupUnit {
    enum Spelling { Ascii, Utf16, Ucs4, Ebcdic } spelling;
    uint32_t ulLength;
    uint32_t ulAt;
    uint32_t ulMark;
};
NxrMarkupUnit nxrSenseMarkup(std::string_view first);

// The words of a refusal at a limit, the same on every path of the check:
// "more than 512 nested elements, docseal's limit". ullAmount is the limit's
// value. Every such refusal ends in NXR_XML_LIMIT_SUFFIX.
std::u16string nxrXmlLimitText(NxrXmlLimit limit, uint64_t ullAmount);
inline constexpr std::u16string_view NXR_XML_LIMIT_SUFFIX = u", docseal's limit";

// Checks that the bytes hold one well-formed XML document within the limits
// above; throws CXercesException with the reason when they do not. The
// library must be initialised. pszSystemId names the document in messages.
//
// Work is bounded by the document's size n: entity replacement text is
// bounded by B = n * NXR_XML_EXPANSION_PER_BYTE + NXR_XML_EXPANSION_ALLOWANCE
// units (the expansion limit is lowered to B divided by the longest
// replacement text, which a first pass over the prolog finds), attribute
// values by 2B units (more than that can only come from defaulted attributes
// repeated on many elements), nesting by NXR_XML_MAX_ELEMENT_DEPTH, and the
// namespace declarations in scope by NXR_XML_MAX_NAMESPACES_IN_SCOPE (checked
// by a pass without namespaces, run before the namespace-aware pass reaches
// more declarations than that, or first when the document's encoding may
// spell "xmlns" in bytes this check does not look for).
void nxrScanXML(const XMLByte* pBytes, XMLSize_t ulCount, const XMLCh* pszSystemId);

// The bytes of a document that is checked while it is still being read or
// deciphered. A producer appends them in pieces; the check reads behind it.
// Only a window of the document is held, in one block that is wiped when it
// is released: bytes are dropped once the check has read past them, except
// while the front is kept for a pass that may start again from the
// beginning. A document that fits the window is held whole.
// Free room the producer waits for before it appends more: the reader wakes
// it only once that much (or all it still has) is free.
inline constexpr uint64_t NXR_ARRIVING_HANDOFF = 1u << 20;

// A total of NXR_ARRIVING_UNKNOWN_TOTAL: the document ends where the producer
// calls finish().
inline constexpr uint64_t NXR_ARRIVING_UNKNOWN_TOTAL = UINT64_MAX;

class CNXRArrivingBytes {
public:
    // ullBudgetSize: the size the check's size-bound limits (the expansion
    // and attribute budgets) are computed from, at most the total; 0 for the
    // total itself. A smaller one (a lower bound, where the total is not
    // known) can only refuse more.
    CNXRArrivingBytes(uint64_t ullTotal, uint32_t ulWindow, uint64_t ullBudgetSize = 0);
    CNXRArrivingBytes(const CNXRArrivingBytes&) = delete;
    CNXRArrivingBytes& operator=(const CNXRArrivingBytes&) = delete;

    // Producer: appends bytes, waiting while the window has less room than
    // NXR_ARRIVING_HANDOFF (or than the bytes left to append). False when
    // the check no longer reads them (it has ended); the producer stops.
    bool append(const uint8_t* pBytes, size_t ulCount);
    // Producer: nothing more will come; the check sees the end of the
    // document where the appended bytes end. Also called when the producer
    // failed, so that the check is never left waiting.
    void finish();

    // Reader: copies up to ulMax bytes from ullPos, waiting until some are
    // there; 0 at the end. Throws CXercesException when ullPos was dropped
    // or the front it keeps fills the window.
    size_t read(uint64_t ullPos, uint8_t* pOut, size_t ulMax);
    // Reader: nothing before ullPos will be read again (unless the front is
    // kept).
    void release(uint64_t ullPos);
    // Reader: whether the front stays held until keepFront(false).
    void keepFront(bool bKeep);
    // Whether the whole document is held, so a pass can start at its front
    // at any time.
    bool heldWhole() const { return m_ullTotal <= m_ulWindow; }
    // Reader: the check has ended; the producer's appends return false.
    void close();

    uint64_t total() const { return m_ullTotal; }
    uint64_t budgetSize() const { return m_ullBudgetSize; }
    // Whether the check refused the bytes at a size-bound limit. Set by the
    // check's thread; read once it has ended.
    bool overBudget() const { return m_bOverBudget; }
    void markOverBudget() { m_bOverBudget = true; }

private:
    const uint64_t m_ullTotal;
    const uint64_t m_ullBudgetSize;
    bool m_bOverBudget = false;
    const uint32_t m_ulWindow;
    CNXRBuffer<NXR_BYTE> m_ring;
    // The ring's storage and size, taken once: the buffer's accessors leave
    // trace records, and the check's records are held until its verdict, so
    // records made on every read would grow with the document.
    NXR_BYTE* m_pRing = nullptr;
    uint64_t m_ullCapacity = 0;
    std::mutex m_mutex;
    std::condition_variable m_arrived; // bytes came, or the producer finished
    std::condition_variable m_room;    // the wanted room is free, or the check ended
    uint64_t m_ullRoomWanted = 0;      // free bytes the waiting producer needs; 0 when none waits
    uint64_t m_ullStart = 0; // first byte still held
    uint64_t m_ullEnd = 0;   // one past the last byte appended
    bool m_bKeepFront = true;
    bool m_bFinished = false;
    bool m_bClosed = false;
};

// nxrScanXML over arriving bytes; the limits are those of a document of their
// budget size; a refusal at a limit that grows with it marks them overBudget. A document larger than the window is checked in one pass
// behind the producer (see nxr_xerces.cpp for what that changes).
void nxrScanXML(CNXRArrivingBytes& bytes, const XMLCh* pszSystemId,
                NxrMarkupLimits limits = NxrMarkupLimits::Apply);

// The scanners the check runs on. The pass over the whole document runs on
// the parser library's lighter scanner (DGXMLScanner) where that gives the
// same verdicts as its full one: documents without a DOCTYPE in UTF-8,
// US-ASCII or ISO-8859-1. The light scanner tells some errors inside a start
// tag (a '<' in an attribute value, a wrong namespace binding) at another
// column or in other words; where the document can be read again (it is in
// memory, or held whole), the full scanner then reads it again and tells the
// refusal as it always has. Process-wide; LightWhereItFits at start.
enum class NxrScanners {
    LightWhereItFits,
    LightAlone, // refusals told as the light scanner tells them, whatever the document
    Full,       // every pass on the full scanner, as for all other documents
};
void nxrChooseScanners(NxrScanners scanners);

} // namespace nxr
