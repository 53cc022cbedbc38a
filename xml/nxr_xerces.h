// What the XML document classes share about the parser library:
//
// - CXercesLibraryRef: the library stays initialised while anyone holds a
//   reference; the first reference initialises it, the last one to go
//   terminates it. Thread-safe.
// - nxrXercesCall: runs a piece of work and turns the library's exceptions
//   into CXercesException carrying the library's own message.
// - nxrScanXML and nxrParseDOM: the two ways this layer reads a document,
//   configured alike. Neither opens anything outside the document (no
//   external DTD, no external entity, no schema), both fail at the first
//   fatal error and when there is no root element, and both bound entity
//   expansion with the library's SecurityManager.
//
// The scan is a streaming SAX2 pass, linear in the size of the document:
// beyond the expansion count it bounds the work a document can cause beyond
// reading its own bytes (see nxrScanXML). The DOM builder is not linear (long
// text nodes make it quadratic), so callers that build a DOM scan first.
#pragma once
#include <condition_variable>
#include <optional>
#include <thread>
#include <mutex>
#include "nxr_buffer.h"
#include "nxr_exceptions.h"

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/XMLException.hpp>

#include <cstdint>
#include <source_location>
#include <string>
#include <type_traits>

namespace nxr {

static_assert(std::is_same_v<XMLCh, char16_t>, "XMLCh and the system's wide characters must be one type");

// Limits of the scan.
// Elements nested deeper than this are refused: resolving names against the
// namespace scopes walks every open element, so each level deepens the cost
// of every element below it.
inline constexpr uint32_t NXR_XML_MAX_ELEMENT_DEPTH = 512;
// The most entity expansions a document may cause (the library's own default).
inline constexpr uint32_t NXR_XML_MAX_ENTITY_EXPANSIONS = 50000;
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

// One reference on the parser library. Constructing it may throw
// CXercesException when the library cannot be initialised.
class CXercesLibraryRef {
public:
    CXercesLibraryRef();
    ~CXercesLibraryRef();
    CXercesLibraryRef(const CXercesLibraryRef&) = delete;
    CXercesLibraryRef& operator=(const CXercesLibraryRef&) = delete;

    // References held in the whole process (for tests).
    static uint32_t count();
};

// Initialises the parser library on a thread of its own and holds it while
// it lives, so that a program that will soon parse does not wait for the
// library's start then. A failure here is silent: the wrapper that needs the
// library reports it. With bUntilExit the reference is never released and
// the library stays initialised until the process ends: a program that exits
// after its parse is spared the library's termination, which only frees
// what the exit frees anyway.
class CXercesLibraryWarmUp {
public:
    explicit CXercesLibraryWarmUp(bool bUntilExit = false);
    ~CXercesLibraryWarmUp();
    CXercesLibraryWarmUp(const CXercesLibraryWarmUp&) = delete;
    CXercesLibraryWarmUp& operator=(const CXercesLibraryWarmUp&) = delete;

private:
    static CXercesLibraryRef* s_pUntilExit; // taken once, never released
    std::optional<CXercesLibraryRef> m_ref;
    std::thread m_thread;
};

[[noreturn]] void nxrThrowXercesException(const xercesc::XMLException& e, const std::source_location& where);
[[noreturn]] void nxrThrowXercesException(const xercesc::DOMException& e, const std::source_location& where);
[[noreturn]] void nxrThrowXercesException(const xercesc::SAXParseException& e, const std::source_location& where);
[[noreturn]] void nxrThrowXercesException(const xercesc::SAXException& e, const std::source_location& where);

// Runs body and returns its result. An XMLException, DOMException or
// SAXException leaving it becomes a CXercesException (logged as it is built,
// with the caller's file and line): the library's message, with the line and
// column for a parse error; the result value is the DOM exception code, or
// none. Anything else passes unchanged.
template <class Body>
decltype(auto) nxrXercesCall(Body&& body, std::source_location where = std::source_location::current())
{
    try {
        return body();
    } catch (const xercesc::XMLException& e) {
        nxrThrowXercesException(e, where);
    } catch (const xercesc::DOMException& e) {
        nxrThrowXercesException(e, where);
    } catch (const xercesc::SAXParseException& e) {
        nxrThrowXercesException(e, where);
    } catch (const xercesc::SAXException& e) {
        nxrThrowXercesException(e, where);
    }
}

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
class CNXRArrivingBytes {
public:
    CNXRArrivingBytes(uint64_t ullTotal, uint32_t ulWindow);
    CNXRArrivingBytes(const CNXRArrivingBytes&) = delete;
    CNXRArrivingBytes& operator=(const CNXRArrivingBytes&) = delete;

    // Producer: appends bytes, waiting while the window is full. False when
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

private:
    const uint64_t m_ullTotal;
    const uint32_t m_ulWindow;
    CNXRBuffer<NXR_BYTE> m_ring;
    // The ring's storage and size, taken once: the buffer's accessors leave
    // trace records, and the check's records are held until its verdict, so
    // records made on every read would grow with the document.
    NXR_BYTE* m_pRing = nullptr;
    uint64_t m_ullCapacity = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_ullStart = 0; // first byte still held
    uint64_t m_ullEnd = 0;   // one past the last byte appended
    bool m_bKeepFront = true;
    bool m_bFinished = false;
    bool m_bClosed = false;
};

// nxrScanXML over arriving bytes; the limits are those of a document of their
// total size. A document larger than the window is checked in one pass
// behind the producer (see nxr_xerces.cpp for what that changes).
void nxrScanXML(CNXRArrivingBytes& bytes, const XMLCh* pszSystemId);

// Parses the bytes into a new document that the caller owns and releases.
// Fails (CXercesException) at the first fatal error and when the result has
// no root element; a partial document is released. The library must be
// initialised. No limits beyond the expansion count: scan first.
xercesc::DOMDocument* nxrParseDOM(const XMLByte* pBytes, XMLSize_t ulCount, const XMLCh* pszSystemId);

} // namespace nxr
