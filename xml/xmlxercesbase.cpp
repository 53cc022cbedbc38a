#include "xmlxercesbase.h"

#include "nxr_guard.h"
#include "nxr_os_error.h"
#include "nxr_os_file.h"

#include <xercesc/dom/DOMImplementationRegistry.hpp>
#include <xercesc/dom/DOMLSOutput.hpp>
#include <xercesc/dom/DOMLSSerializer.hpp>
#include <xercesc/dom/DOMNamedNodeMap.hpp>
#include <xercesc/dom/DOMNodeList.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace xercesc;

namespace nxr {

namespace {

// The zero-terminated text of a string; the empty text for an empty string
// (which has no storage). A string's text is always followed by its zero.
const XMLCh* xmlText(const CNXRWCharString& s)
{
    const std::u16string_view text = s.view();
    return text.empty() ? u"" : text.data();
}

bool sameText(const XMLCh* pszText, const CNXRWCharString& s)
{
    return pszText != nullptr && std::u16string_view(pszText) == s.view();
}

// The value of the node's first child, or null when there is none (no child,
// or a child such as an element that holds no value of its own).
const XMLCh* firstChildText(const DOMNode* pNode)
{
    const DOMNode* pChild = pNode->getFirstChild();
    return pChild ? pChild->getNodeValue() : nullptr;
}

struct CReleaser {
    template <class T>
    void operator()(T* p) const
    {
        p->release();
    }
};

// Writes the bytes to path through a temporary file beside it that takes the
// name only once it is complete and on disk: a failure leaves the file that
// was there as it was. An existing file's permissions are kept.
void replaceFile(const CNXRWCharString& strPath, const CNXRBuffer<NXR_BYTE>& bytes)
{
    const std::string path = strPath.toFileName();
    uint32_t ulMode = 0644;
    os::FileInfo info;
    if (os::pathGetInfo(path, info) && info.bRegular)
        ulMode = info.ulMode;

    std::string temp;
    os::FileHandle hFile = os::kInvalidFile;
    for (int attempt = 0; attempt < 100 && hFile == os::kInvalidFile; ++attempt) {
        temp = path + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
        hFile = os::fileOpenWrite(temp, os::FileDisposition::CreateNew, ulMode);
        if (hFile == os::kInvalidFile && os::getLastError() != EEXIST)
            break;
    }
    if (hFile == os::kInvalidFile)
        NXR_THROW_CODE(CCreateFileException, os::getLastError(), strPath.view());

    bool bWritten = os::fileWriteAll(hFile, bytes.getBuffer(), bytes.getByteSize()) && os::fileSync(hFile);
    uint32_t ulError = os::getLastError();
    if (!os::fileClose(hFile) && bWritten) {
        bWritten = false;
        ulError = os::getLastError();
    }
    if (bWritten && !os::fileRename(temp, path)) {
        bWritten = false;
        ulError = os::getLastError();
    }
    if (!bWritten) {
        os::fileUnlink(temp);
        NXR_THROW_CODE(CWriteFileException, ulError, strPath.view());
    }
}

} // namespace

#define NXR_BASE_TRACE(method) NXR_TRACE(u"CXmlXercesBase", method)

CXmlXercesBase::CXmlXercesBase()
{
    NXR_BASE_TRACE(u"Default Constructor CXmlXercesBase");
    nxrTrace.setResult(true);
}

CXmlXercesBase::~CXmlXercesBase()
{
    NXR_BASE_TRACE(u"~CXmlXercesBase");
    nxrGuardDtor([&] { releaseDocument(); });
    // The library goes last, after everything that belongs to it.
    m_library.reset();
}

// ---------------------------------------------------------------------------
// Documents

void CXmlXercesBase::prepareLibrary()
{
    if (!m_library)
        m_library.emplace();
    m_strVersion = u"XML_VERSION";
    if (m_pImplementation == nullptr) {
        static const XMLCh kFeatures[] = {u'L', u'S', 0};
        m_pImplementation = nxrXercesCall([] { return DOMImplementationRegistry::getDOMImplementation(kFeatures); });
        if (m_pImplementation == nullptr)
            NXR_THROW(CXercesException, u"no DOM implementation with load and save");
    }
}

void CXmlXercesBase::adoptDocument(DOMDocument* pDocument)
{
    std::unique_ptr<DOMDocument, CReleaser> document(pDocument);
    if (!document || document->getDocumentElement() == nullptr)
        NXR_THROW(CXmlXercesBaseGeneralException);
    m_pRootElement = document->getDocumentElement();
    m_pDocument = document.release();
}

void CXmlXercesBase::releaseDocument()
{
    DOMDocument* pDocument = m_pDocument;
    m_pDocument = nullptr;
    m_pRootElement = nullptr;
    if (pDocument != nullptr)
        nxrXercesCall([&] { pDocument->release(); });
}

void CXmlXercesBase::createNewDocument()
{
    adoptDocument(nxrXercesCall([&] {
        return m_pImplementation->createDocument(NXR_XML_DOCUMENT_NAMESPACE, NXR_XML_ROOT_ELEMENT, nullptr);
    }));
}

void CXmlXercesBase::parseIntoDocument(const XMLByte* pBytes, XMLSize_t ulCount, const XMLCh* pszSystemId)
{
    // The scan bounds what the document may cost; only then is it built.
    nxrScanXML(pBytes, ulCount, pszSystemId);
    adoptDocument(nxrParseDOM(pBytes, ulCount, pszSystemId));
}

void CXmlXercesBase::requireValid() const
{
    if (m_pDocument == nullptr || m_pImplementation == nullptr || m_pRootElement == nullptr)
        NXR_THROW(CXmlXercesBaseGeneralException);
}

bool CXmlXercesBase::initXMLMemDoc()
{
    NXR_BASE_TRACE(u"initXMLMemDoc");
    return nxrGuard(nxrTrace, false, [&] {
        prepareLibrary();
        if (m_pDocument != nullptr)
            return false;
        createNewDocument();
        return true;
    });
}

bool CXmlXercesBase::setPath(const CNXRWCharString& strPath)
{
    NXR_BASE_TRACE(u"setPath");
    return nxrGuard(nxrTrace, false, [&] {
        prepareLibrary();
        if (m_pDocument != nullptr)
            return false;

        const std::string path = strPath.toFileName();
        os::FileInfo info;
        if (path.empty() || (!os::pathGetInfo(path, info) && os::getLastError() == ENOENT)) {
            createNewDocument();
        } else {
            std::vector<uint8_t> bytes;
            const os::FileHandle hFile = os::fileOpenRead(path);
            if (hFile == os::kInvalidFile)
                NXR_THROW_CODE(CCreateFileException, os::getLastError(), strPath.view());
            const bool bRead = os::fileReadAll(hFile, bytes, UINT32_MAX);
            const uint32_t ulError = os::getLastError();
            os::fileClose(hFile);
            if (!bRead)
                NXR_THROW_CODE(CInvalidFileException, ulError, strPath.view());
            parseIntoDocument(bytes.data(), bytes.size(), xmlText(strPath));
        }
        // The path changes only with the document: a refused call leaves it
        // naming the file of the content the wrapper holds, so that a later
        // flush cannot write that content over another file.
        if (!CDataBase::setPath(strPath)) {
            releaseDocument();
            return false;
        }
        return true;
    }, NxrErrorSource::LastError);
}

bool CXmlXercesBase::loadXMLFromMem(const CNXRBuffer<NXR_BYTE>& buffer)
{
    NXR_BASE_TRACE(u"loadXMLFromMem");
    return nxrGuard(nxrTrace, false, [&] {
        prepareLibrary();
        if (m_pDocument != nullptr)
            return false;
        parseIntoDocument(buffer.getBuffer(), buffer.getNumElems(), u"MemInputBuffer");
        return true;
    });
}

bool CXmlXercesBase::checkXMLInMem(const CNXRBuffer<NXR_BYTE>& buffer) const
{
    NXR_BASE_TRACE(u"checkXMLInMem");
    return nxrGuard(nxrTrace, false, [&] {
        CXercesLibraryRef library;
        nxrScanXML(buffer.getBuffer(), buffer.getNumElems(), u"MemInputBuffer");
        return true;
    });
}

bool CXmlXercesBase::checkXMLArriving(CNXRArrivingBytes& bytes, NxrMarkupLimits limits) const
{
    NXR_BASE_TRACE(u"checkXMLArriving");
    return nxrGuard(nxrTrace, false, [&] {
        CXercesLibraryRef library;
        nxrScanXML(bytes, u"MemInputBuffer", limits);
        return true;
    });
}

bool CXmlXercesBase::isObjectValid() const
{
    NXR_BASE_TRACE(u"isObjectValid");
    return nxrTrace.setLogicalResult(m_pDocument != nullptr && m_pImplementation != nullptr &&
                                     m_pRootElement != nullptr);
}

void CXmlXercesBase::serialize(CNXRBuffer<NXR_BYTE>& buffer)
{
    requireValid();
    nxrXercesCall([&] {
        MemBufFormatTarget target(1023);
        std::unique_ptr<DOMLSSerializer, CReleaser> writer(m_pImplementation->createLSSerializer());
        std::unique_ptr<DOMLSOutput, CReleaser> output(m_pImplementation->createLSOutput());
        output->setByteStream(&target);
        if (!writer->write(m_pDocument, output.get()))
            NXR_THROW(CXmlXercesBaseGeneralException);
        if (target.getLen() == 0 || target.getLen() > UINT32_MAX)
            NXR_THROW(CXmlXercesBaseGeneralException);
        // The writer can give bytes that do not read back: it writes the
        // entity declarations of an internal subset with their replacement
        // text, so a '%' or '&' that came from a character reference comes
        // out bare. What cannot be read again is never handed out, nor does
        // it replace a file.
        nxrScanXML(target.getRawBuffer(), target.getLen(), u"MemInputBuffer");
        const CNXRBuffer<NXR_BYTE> bytes(target.getRawBuffer(), static_cast<uint32_t>(target.getLen()), 0);
        buffer = bytes;
        if (buffer.getNumElems() != bytes.getNumElems())
            NXR_THROW(CXmlXercesBaseGeneralException);
    });
}

bool CXmlXercesBase::flush()
{
    NXR_BASE_TRACE(u"flush");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        if (m_strPath.getLength() == 0)
            NXR_THROW(CXmlXercesBaseGeneralException);
        CNXRBuffer<NXR_BYTE> bytes;
        serialize(bytes);
        replaceFile(m_strPath, bytes);
        return true;
    });
}

bool CXmlXercesBase::flushToMemBuffer(CNXRBuffer<NXR_BYTE>& buffer)
{
    NXR_BASE_TRACE(u"flushToMemBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        serialize(buffer);
        return true;
    });
}

// ---------------------------------------------------------------------------
// Elements

bool CXmlXercesBase::createElement(const CNXRWCharString& name, DOMElement*& pElement)
{
    NXR_BASE_TRACE(u"createElement");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        // In the root element's namespace (none for a document without one),
        // so that the element written under the root needs no declaration
        // of its own and reads back the same.
        pElement = nxrXercesCall([&] {
            return m_pDocument->createElementNS(m_pRootElement->getNamespaceURI(), xmlText(name));
        });
        return pElement != nullptr;
    });
}

bool CXmlXercesBase::createTextNode(const CNXRWCharString& text, DOMText*& pNode)
{
    NXR_BASE_TRACE(u"createTextNode");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        pNode = nxrXercesCall([&] { return m_pDocument->createTextNode(xmlText(text)); });
        return pNode != nullptr;
    });
}

bool CXmlXercesBase::attachToElement(DOMNode* pChild, DOMNode* pParent)
{
    NXR_BASE_TRACE(u"attachToElement");
    return nxrGuard(nxrTrace, false, [&] {
        if (pChild == nullptr || pParent == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        if (nxrXercesCall([&] { return pParent->appendChild(pChild); }) == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        return true;
    });
}

bool CXmlXercesBase::setAttribute(DOMElement* pElement, const CNXRWCharString& name, const CNXRWCharString& value)
{
    NXR_BASE_TRACE(u"setAttribute");
    return nxrGuard(nxrTrace, false, [&] {
        if (pElement == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        nxrXercesCall([&] { pElement->setAttribute(xmlText(name), xmlText(value)); });
        return true;
    });
}

bool CXmlXercesBase::readTextNode(DOMNode* pNode, CNXRWCharString& text)
{
    NXR_BASE_TRACE(u"readTextNode");
    return nxrGuard(nxrTrace, false, [&] {
        if (pNode == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        const XMLCh* pszText = firstChildText(pNode);
        if (pszText == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        text = pszText;
        return text.view() == std::u16string_view(pszText);
    });
}

bool CXmlXercesBase::getParentNode(DOMNode* pNode, DOMNode*& pParent)
{
    NXR_BASE_TRACE(u"getParentNode");
    return nxrGuard(nxrTrace, false, [&] {
        if (pNode == nullptr || pNode->getParentNode() == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        pParent = pNode->getParentNode();
        return true;
    });
}

bool CXmlXercesBase::deleteNode(DOMNode* pNode)
{
    NXR_BASE_TRACE(u"deleteNode");
    return nxrGuard(nxrTrace, false, [&] {
        // The root element stays: the wrapper is valid only with one.
        if (pNode == nullptr || pNode == m_pRootElement)
            NXR_THROW(CXmlXercesBaseGeneralException);
        DOMNode* pParent = pNode->getParentNode();
        if (pParent == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        DOMNode* pRemoved = nxrXercesCall([&] { return pParent->removeChild(pNode); });
        if (pRemoved == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        nxrXercesCall([&] { pRemoved->release(); });
        return true;
    });
}

bool CXmlXercesBase::getElementByLabel(const CNXRWCharString& tag, DOMElement*& pFound, uint32_t ulIndex)
{
    NXR_BASE_TRACE(u"getElementByLabel");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        const DOMNodeList* pList = nxrXercesCall([&] { return m_pDocument->getElementsByTagName(xmlText(tag)); });
        if (pList == nullptr || pList->getLength() == 0)
            NXR_THROW(CXmlXercesBaseGeneralException);
        pFound = static_cast<DOMElement*>(pList->item(ulIndex));
        return pFound != nullptr;
    });
}

bool CXmlXercesBase::getSubElementByLabel(const CNXRWCharString& tag, DOMElement* pElement, DOMElement*& pFound,
                                          uint32_t ulIndex)
{
    NXR_BASE_TRACE(u"getSubElementByLabel");
    return nxrGuard(nxrTrace, false, [&] {
        if (pElement == nullptr)
            NXR_THROW(CXmlXercesBaseGeneralException);
        const DOMNodeList* pList = nxrXercesCall([&] { return pElement->getElementsByTagName(xmlText(tag)); });
        if (pList == nullptr || pList->getLength() == 0)
            NXR_THROW(CXmlXercesBaseGeneralException);
        pFound = static_cast<DOMElement*>(pList->item(ulIndex));
        return pFound != nullptr;
    });
}

bool CXmlXercesBase::getElementByAttribute(const CNXRWCharString& tag, const CNXRWCharString& attrName,
                                           const CNXRWCharString& attrValue, DOMElement*& pFound)
{
    NXR_BASE_TRACE(u"getElementByAttribute");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        const DOMNodeList* pList = nxrXercesCall([&] { return m_pDocument->getElementsByTagName(xmlText(tag)); });
        if (pList == nullptr || pList->getLength() == 0)
            NXR_THROW(CXmlXercesBaseGeneralException);
        for (XMLSize_t i = 0; i < pList->getLength(); ++i) {
            DOMNode* pElement = pList->item(i);
            const DOMNamedNodeMap* pAttributes = pElement->getAttributes();
            const DOMNode* pAttribute = pAttributes ? pAttributes->getNamedItem(xmlText(attrName)) : nullptr;
            if (pAttribute != nullptr && sameText(pAttribute->getNodeValue(), attrValue)) {
                pFound = static_cast<DOMElement*>(pElement);
                return true;
            }
        }
        return false;
    });
}

bool CXmlXercesBase::getElementBySubElementValue(const CNXRWCharString& tag, const CNXRWCharString& value,
                                                 DOMNode*& pFound)
{
    NXR_BASE_TRACE(u"getElementBySubElementValue");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        const DOMNodeList* pList = nxrXercesCall([&] { return m_pDocument->getElementsByTagName(xmlText(tag)); });
        if (pList == nullptr || pList->getLength() == 0)
            NXR_THROW(CXmlXercesBaseGeneralException);
        // An element without text cannot match and is passed over.
        for (XMLSize_t i = 0; i < pList->getLength(); ++i) {
            DOMNode* pElement = pList->item(i);
            if (sameText(firstChildText(pElement), value))
                return getParentNode(pElement, pFound);
        }
        return false;
    });
}

// ---------------------------------------------------------------------------
// The labelled-value store

bool CXmlXercesBase::set(const CNXRWCharString& label, const CNXRWCharString& value, bool bFlush)
{
    NXR_BASE_TRACE(u"set");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        DOMElement* pLabel = nullptr;
        DOMElement* pValue = nullptr;
        DOMElement* pVersion = nullptr;
        DOMText* pValueText = nullptr;
        DOMText* pVersionText = nullptr;
        if (!createElement(label, pLabel) || !createElement(u"Value", pValue) ||
            !createElement(u"Version", pVersion) || !createTextNode(value, pValueText) ||
            !createTextNode(m_strVersion, pVersionText))
            NXR_THROW(CXmlXercesBaseGeneralException);
        if (!attachToElement(pValueText, pValue) || !attachToElement(pVersionText, pVersion) ||
            !attachToElement(pValue, pLabel) || !attachToElement(pVersion, pLabel) ||
            !attachToElement(pLabel, m_pRootElement))
            NXR_THROW(CXmlXercesBaseGeneralException);
        if (!bFlush || flush())
            return true;
        // A value that cannot be written (a control character, which XML
        // 1.0 has no way to carry, or a full disk) leaves the store as it
        // was; kept, it would fail every later flush.
        deleteNode(pLabel);
        return false;
    });
}

bool CXmlXercesBase::get(const CNXRWCharString& label, CNXRWCharString& value)
{
    NXR_BASE_TRACE(u"get");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        DOMElement* pLabel = nullptr;
        DOMElement* pValue = nullptr;
        return getElementByLabel(label, pLabel, 0) && getSubElementByLabel(u"Value", pLabel, pValue, 0) &&
               readTextNode(pValue, value);
    });
}

bool CXmlXercesBase::deleteValue(const CNXRWCharString& label, bool bFlush)
{
    NXR_BASE_TRACE(u"deleteValue");
    return nxrGuard(nxrTrace, false, [&] {
        requireValid();
        DOMElement* pLabel = nullptr;
        if (!getElementByLabel(label, pLabel, 0))
            return false;
        if (!bFlush)
            return deleteNode(pLabel);
        // The element goes back to its place when the store cannot be
        // written without it.
        DOMNode* pParent = pLabel->getParentNode();
        DOMNode* pNext = pLabel->getNextSibling();
        if (pParent == nullptr || pLabel == m_pRootElement)
            NXR_THROW(CXmlXercesBaseGeneralException);
        nxrXercesCall([&] { pParent->removeChild(pLabel); });
        if (flush()) {
            nxrXercesCall([&] { pLabel->release(); });
            return true;
        }
        nxrXercesCall([&] { pParent->insertBefore(pLabel, pNext); });
        return false;
    });
}

#undef NXR_BASE_TRACE

} // namespace nxr
