// What the XML document classes share about the parser library:
//
// - CXercesLibraryRef: the library stays initialised while anyone holds a
//   reference; the first reference initialises it, the last one to go
//   terminates it. Thread-safe. The library runs on CNXRParserMemory, which
//   wipes every block it releases, and never ends the process itself: a
//   failure of its start is a CXercesException, and the library is not
//   tried again in the process.
// - nxrXercesCall: runs a piece of work and turns the library's exceptions
//   into CXercesException carrying the library's own message.
// - nxrParseDOM: the DOM builder. It opens nothing outside the document (no
//   external DTD, no external entity, no schema), fails at the first fatal
//   error and when there is no root element, and bounds entity expansion
//   with the library's SecurityManager. It is not linear (long text nodes
//   make it quadratic), so callers that build a DOM check the document first
//   with nxrScanXML (nxr_xerces_check.h), which is configured alike.
#pragma once
#include <optional>
#include <thread>
#include "nxr_buffer.h"
#include "nxr_exceptions.h"

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/XMLException.hpp>

#include <cstdint>
#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>

namespace nxr {

static_assert(std::is_same_v<XMLCh, char16_t>, "XMLCh and the system's wide characters must be one type");

// The most entity expansions a document may cause (the library's own default).
inline constexpr uint32_t NXR_XML_MAX_ENTITY_EXPANSIONS = 50000;

// One reference on the parser library. Constructing it may throw
// CXercesException when the library cannot be initialised ("The XML parser
// library failed: " and why), or CMemAllocException when its memory
// ran out while it started.
class CXercesLibraryRef {
public:
    CXercesLibraryRef();
    // The same without a record or exception: held() tells whether the
    // library is held.
    explicit CXercesLibraryRef(std::nothrow_t);
    ~CXercesLibraryRef();
    bool held() const { return m_bHeld; }
    CXercesLibraryRef(const CXercesLibraryRef&) = delete;
    CXercesLibraryRef& operator=(const CXercesLibraryRef&) = delete;

    // References held in the whole process (for tests).
    static uint32_t count();

private:
    bool m_bHeld = false;
};

// The start of the message that tells that the library failed in itself (it
// could not start, or met a fault it calls a panic), followed by its reason.
inline constexpr std::u16string_view NXR_XML_LIBRARY_FAILED = u"The XML parser library failed: ";

// What the library's panic handler throws in place of ending the process;
// nxrXercesCall turns it into a CXercesException.
struct CXercesPanic {
    int reason; // a xercesc::PanicHandler::PanicReasons
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
[[noreturn]] void nxrThrowParserOutOfMemory(const std::source_location& where);
[[noreturn]] void nxrThrowXercesPanic(const CXercesPanic& panic, const std::source_location& where);

// Runs body and returns its result. An XMLException, DOMException or
// SAXException leaving it becomes a CXercesException (logged as it is built,
// with the caller's file and line): the library's message, with the line and
// column for a parse error; the result value is the DOM exception code, or
// none. The library running out of memory (its OutOfMemoryException, or
// std::bad_alloc from code it calls) becomes CMemAllocException, and a panic
// of the library a CXercesException. Anything else passes unchanged.
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
    } catch (const xercesc::OutOfMemoryException&) {
        nxrThrowParserOutOfMemory(where);
    } catch (const std::bad_alloc&) {
        nxrThrowParserOutOfMemory(where);
    } catch (const CXercesPanic& panic) {
        nxrThrowXercesPanic(panic, where);
    }
}

// Parses the bytes into a new document that the caller owns and releases.
// Fails (CXercesException) at the first fatal error and when the result has
// no root element; a partial document is released. The library must be
// initialised. No limits beyond the expansion count: scan first.
xercesc::DOMDocument* nxrParseDOM(const XMLByte* pBytes, XMLSize_t ulCount, const XMLCh* pszSystemId);

} // namespace nxr
