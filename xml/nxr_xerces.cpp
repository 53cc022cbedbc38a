#include "nxr_xerces.h"

#include "nxr_xerces_check.h"
#include "nxr_xerces_memory.h"

#include <xercesc/dom/DOMConfiguration.hpp>
#include <xercesc/dom/DOMError.hpp>
#include <xercesc/dom/DOMErrorHandler.hpp>
#include <xercesc/dom/DOMImplementation.hpp>
#include <xercesc/dom/DOMImplementationLS.hpp>
#include <xercesc/dom/DOMImplementationRegistry.hpp>
#include <xercesc/dom/DOMLSParser.hpp>
#include <xercesc/dom/DOMLocator.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/util/PanicHandler.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

using namespace xercesc;

namespace nxr {

// ---------------------------------------------------------------------------
// The library's initialisation count

namespace {

std::mutex& libraryMutex()
{
    static std::mutex mutex;
    return mutex;
}

uint32_t g_ulLibraryRefs = 0;

// Why the library could not start, once it failed: a start that failed half
// way leaves the library unusable, so it is never tried again (nor
// terminated) in the process. Guarded by the library's mutex.
enum class StartFailure { None, Panic, Memory };
StartFailure g_failure = StartFailure::None;
int g_panicReason = PanicHandler::Panic_SystemInit;

// The library's default panic handler ends the process with status 255 and a
// line on standard error, from whichever thread it is on. This one turns the
// panic into an exception that unwinds to the call into the library.
class CPanicToException : public PanicHandler {
public:
    void panic(const PanicHandler::PanicReasons reason) override { throw CXercesPanic{reason}; }
};

std::u16string panicMessage(int reason)
{
    const char* pszWhy = PanicHandler::getPanicReasonString(static_cast<PanicHandler::PanicReasons>(reason));
    const std::string_view why = pszWhy ? pszWhy : "";
    return std::u16string(NXR_XML_LIBRARY_FAILED) + std::u16string(why.begin(), why.end());
}

// Initialises the library on the first reference; false (with the cause in
// g_failure) when it cannot start. Called under the library's mutex.
bool takeReference()
{
    if (g_failure != StartFailure::None)
        return false;
    if (g_ulLibraryRefs == 0) {
        static CPanicToException s_panicHandler;
        try {
            XMLPlatformUtils::Initialize(XMLUni::fgXercescDefaultLocale, nullptr, &s_panicHandler,
                                         &CNXRParserMemory::instance());
        } catch (const CXercesPanic& panic) {
            g_failure = StartFailure::Panic;
            g_panicReason = panic.reason;
            return false;
        } catch (...) {
            // Out of memory (the library's OutOfMemoryException, or
            // std::bad_alloc), or anything else the start threw.
            g_failure = StartFailure::Memory;
            return false;
        }
    }
    ++g_ulLibraryRefs;
    return true;
}

} // namespace

CXercesLibraryRef::CXercesLibraryRef()
{
    StartFailure failure = StartFailure::None;
    int panicReason = PanicHandler::Panic_SystemInit;
    {
        std::lock_guard<std::mutex> lock(libraryMutex());
        m_bHeld = takeReference();
        failure = g_failure;
        panicReason = g_panicReason;
    }
    if (m_bHeld)
        return;
    if (failure == StartFailure::Memory)
        NXR_THROW(CMemAllocException, u"XMLPlatformUtils::Initialize");
    NXR_THROW(CXercesException, panicMessage(panicReason));
}

CXercesLibraryRef::CXercesLibraryRef(std::nothrow_t)
{
    std::lock_guard<std::mutex> lock(libraryMutex());
    m_bHeld = takeReference();
}

CXercesLibraryRef::~CXercesLibraryRef()
{
    if (!m_bHeld)
        return;
    std::lock_guard<std::mutex> lock(libraryMutex());
    if (--g_ulLibraryRefs == 0)
        XMLPlatformUtils::Terminate();
}

uint32_t CXercesLibraryRef::count()
{
    std::lock_guard<std::mutex> lock(libraryMutex());
    return g_ulLibraryRefs;
}

// ---------------------------------------------------------------------------
// Exceptions of the library

namespace {

std::u16string_view textOf(const XMLCh* psz)
{
    return psz ? std::u16string_view(psz) : std::u16string_view();
}

void appendNumber(std::u16string& out, uint64_t ullValue)
{
    char16_t digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + ullValue % 10);
        ullValue /= 10;
    } while (ullValue != 0);
    while (n != 0)
        out += digits[--n];
}

// "line L, column C: message", the way a parse error is reported.
std::u16string locatedMessage(uint64_t ullLine, uint64_t ullColumn, std::u16string_view message)
{
    std::u16string text;
    if (ullLine != 0) {
        text = u"line ";
        appendNumber(text, ullLine);
        text += u", column ";
        appendNumber(text, ullColumn);
        text += u": ";
    }
    text += message.empty() ? std::u16string_view(u"XML parse error") : message;
    return text;
}

} // namespace

void nxrThrowXercesException(const XMLException& e, const std::source_location& where)
{
    const std::u16string_view message = textOf(e.getMessage());
    throw CXercesException(message.empty() ? std::u16string_view(u"XMLException") : message, where.file_name(),
                           where.line());
}

void nxrThrowXercesException(const DOMException& e, const std::source_location& where)
{
    // The library's message for the code; when the exception carries none,
    // the message table is asked directly.
    std::u16string message(textOf(e.getMessage()));
    if (message.empty()) {
        XMLCh text[2048] = {};
        if (DOMImplementation::loadDOMExceptionMsg(e.code, text, 2047))
            message = textOf(text);
    }
    if (message.empty())
        message = u"DOMException";
    throw CXercesException(message, where.file_name(), where.line(), static_cast<uint32_t>(e.code));
}

void nxrThrowXercesException(const SAXParseException& e, const std::source_location& where)
{
    throw CXercesException(locatedMessage(e.getLineNumber(), e.getColumnNumber(), textOf(e.getMessage())),
                           where.file_name(), where.line());
}

void nxrThrowXercesException(const SAXException& e, const std::source_location& where)
{
    const std::u16string_view message = textOf(e.getMessage());
    throw CXercesException(message.empty() ? std::u16string_view(u"SAXException") : message, where.file_name(),
                           where.line());
}

void nxrThrowParserOutOfMemory(const std::source_location& where)
{
    // The cap a check sets is a limit of docseal's, and told as one.
    if (CNXRParserMemory::takeCapRefusal())
        throw CXercesException(nxrXmlLimitText(NxrXmlLimit::ParserMemory, NXR_XML_MAX_PARSER_MEMORY),
                               where.file_name(), where.line());
    throw CMemAllocException(u"the XML parser's memory", where.file_name(), where.line());
}

void nxrThrowXercesPanic(const CXercesPanic& panic, const std::source_location& where)
{
    throw CXercesException(panicMessage(panic.reason), where.file_name(), where.line());
}

// ---------------------------------------------------------------------------
// Starting the library early

CXercesLibraryRef* CXercesLibraryWarmUp::s_pUntilExit = nullptr;

CXercesLibraryWarmUp::CXercesLibraryWarmUp(bool bUntilExit)
{
    // A failure is left for the wrapper that needs the library to report;
    // without a thread for it, the library starts when it is first needed.
    try {
        m_thread = std::thread([this, bUntilExit] {
        try {
            if (bUntilExit) {
                // Not call_once: an exception must not unwind through it.
                static std::mutex s_mutex;
                const std::lock_guard<std::mutex> lock(s_mutex);
                if (s_pUntilExit == nullptr)
                    s_pUntilExit = new (std::nothrow) CXercesLibraryRef(std::nothrow);
            } else {
                m_ref.emplace(std::nothrow);
            }
        } catch (...) {
        }
        });
    } catch (const std::system_error&) {
    }
}

CXercesLibraryWarmUp::~CXercesLibraryWarmUp()
{
    if (m_thread.joinable())
        m_thread.join();
}

// ---------------------------------------------------------------------------
// The DOM builder

namespace {

// Keeps the first fatal error and stops the parse there; warnings and
// errors of validity (none are checked) let it go on.
class CDomErrorCatcher : public DOMErrorHandler {
public:
    bool handleError(const DOMError& error) override
    {
        if (error.getSeverity() != DOMError::DOM_SEVERITY_FATAL_ERROR)
            return true;
        if (!m_bFailed) {
            m_bFailed = true;
            const DOMLocator* pLocation = error.getLocation();
            m_message = locatedMessage(pLocation ? pLocation->getLineNumber() : 0,
                                       pLocation ? pLocation->getColumnNumber() : 0, textOf(error.getMessage()));
        }
        return false;
    }

    bool failed() const { return m_bFailed; }
    const std::u16string& message() const { return m_message; }

private:
    bool m_bFailed = false;
    std::u16string m_message;
};

struct CReleaser {
    template <class T>
    void operator()(T* p) const
    {
        p->release();
    }
};

} // namespace

DOMDocument* nxrParseDOM(const XMLByte* pBytes, XMLSize_t ulCount, const XMLCh* pszSystemId)
{
    static const XMLByte kNothing[1] = {0};
    if (pBytes == nullptr)
        pBytes = kNothing, ulCount = 0;

    CDomErrorCatcher errors;
    std::unique_ptr<DOMDocument, CReleaser> document;
    nxrXercesCall([&] {
        static const XMLCh kFeatures[] = {u'L', u'S', 0};
        DOMImplementation* pImplementation = DOMImplementationRegistry::getDOMImplementation(kFeatures);
        if (pImplementation == nullptr)
            NXR_THROW(CXercesException, u"no DOM implementation with load and save");
        SecurityManager security;
        security.setEntityExpansionLimit(NXR_XML_MAX_ENTITY_EXPANSIONS);
        std::unique_ptr<DOMLSParser, CReleaser> parser(static_cast<DOMImplementationLS*>(pImplementation)->createLSParser(
            DOMImplementationLS::MODE_SYNCHRONOUS, nullptr));

        DOMConfiguration* pConfig = parser->getDomConfig();
        pConfig->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(&errors));
        pConfig->setParameter(XMLUni::fgDOMNamespaces, true);
        pConfig->setParameter(XMLUni::fgDOMValidate, false);
        pConfig->setParameter(XMLUni::fgDOMValidateIfSchema, false);
        pConfig->setParameter(XMLUni::fgXercesSchema, false);
        pConfig->setParameter(XMLUni::fgXercesLoadSchema, false);
        pConfig->setParameter(XMLUni::fgXercesLoadExternalDTD, false);
        pConfig->setParameter(XMLUni::fgXercesDisableDefaultEntityResolution, true);
        pConfig->setParameter(XMLUni::fgXercesSecurityManager, static_cast<void*>(&security));
        // The document outlives the parser.
        pConfig->setParameter(XMLUni::fgXercesUserAdoptsDOMDocument, true);

        MemBufInputSource* pSource = new MemBufInputSource(pBytes, ulCount, pszSystemId, false);
        pSource->setCopyBufToStream(false);
        Wrapper4InputSource input(pSource, true);
        document.reset(parser->parse(&input));
    });
    if (errors.failed())
        NXR_THROW(CXercesException, errors.message());
    if (!document || document->getDocumentElement() == nullptr)
        NXR_THROW(CXercesException, u"the document has no root element");
    return document.release();
}

} // namespace nxr
