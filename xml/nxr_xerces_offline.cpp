// The parser library's network accessor, for builds that link the library
// from its static archive.
//
// docseal never reads anything over the network: external DTDs and entities
// are never fetched, and every document comes from a file or memory. The
// library as packaged fetches http and ftp URLs through an HTTP client
// library, which brings some thirty shared libraries into every process and
// starts their TLS stacks in XMLPlatformUtils::Initialize. Defining the
// accessor's members here keeps the packaged accessor, and with it the HTTP
// client, out of the link; this accessor refuses every URL, as a library built
// without network support does.
//
// The build passes the constructor's name to the linker as an undefined
// symbol, so this object is taken from our archive before the parser's
// archive is searched.

#include <xercesc/util/NetAccessors/Curl/CurlNetAccessor.hpp>
#include <xercesc/util/XMLExceptMsgs.hpp>
#include <xercesc/util/XMLURL.hpp>
#include <xercesc/util/XMLUniDefs.hpp>

XERCES_CPP_NAMESPACE_BEGIN

int CurlNetAccessor::fgCurlInitCount = 0;

const XMLCh CurlNetAccessor::fgMyName[] = {chLatin_O, chLatin_f, chLatin_f, chLatin_l, chLatin_i, chLatin_n, chLatin_e,
                                           chNull};

CurlNetAccessor::CurlNetAccessor() = default;

CurlNetAccessor::~CurlNetAccessor() = default;

void CurlNetAccessor::initCurl() {}

void CurlNetAccessor::cleanupCurl() {}

BinInputStream* CurlNetAccessor::makeNew(const XMLURL& urlSource, const XMLNetHTTPInfo*)
{
    ThrowXMLwithMemMgr1(MalformedURLException, XMLExcepts::URL_UnsupportedProto1, urlSource.getProtocolName(),
                        urlSource.getMemoryManager());
}

XERCES_CPP_NAMESPACE_END
