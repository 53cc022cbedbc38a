// CXmlXercesBase: one DOM document of the Xerces-C++ parser library, with a
// few element operations (find, create, attach, read, delete) and the
// labelled-value store of CDataBase kept as elements under the root element
// "TarnFile". It also offers checkXMLInMem, a streaming well-formedness check
// that builds no DOM, for callers that only need to know whether bytes are
// XML.
//
// A stored value under label L is a child of the root element:
//   <L><Value>value</Value><Version>XML_VERSION</Version></L>
//
// Every public operation returns false on failure (the failure is in the log)
// and throws nothing. The element operations take and give the library's own
// node pointers, which belong to the wrapper's document and are valid while
// it lives. A wrapper holds one document at a time and keeps the parser
// library initialised while it does. One wrapper is used by one thread at a
// time; checkXMLInMem may run on any number of threads at once.
#pragma once
#include "nxr_buffer.h"
#include "nxr_database.h"
#include "nxr_types.h"
#include "nxr_wchar_string.h"
#include "nxr_xerces_check.h"

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMImplementation.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/dom/DOMText.hpp>

#include <cstdint>
#include <optional>

namespace nxr {

// The namespace of the root element of every new document.
inline constexpr const char16_t* NXR_XML_DOCUMENT_NAMESPACE = u"urn:docseal:TarnFile";
// The root element of a new document.
inline constexpr const char16_t* NXR_XML_ROOT_ELEMENT = u"TarnFile";

class CXmlXercesBase : public CDataBase {
public:
    CXmlXercesBase();
    ~CXmlXercesBase() override;
    // A wrapper owns its document; assignment from a CDataBase copies only
    // the path.
    CXmlXercesBase(const CXmlXercesBase&) = delete;
    CXmlXercesBase& operator=(const CXmlXercesBase&) = delete;
    using CDataBase::operator=;

    // Documents. Each of the first three gives the wrapper its document and
    // fails when it already has one.
    // A new document holding only the root element.
    bool initXMLMemDoc();
    // Opens the document in the file at the path and then stores the path;
    // when there is no file (or the path is empty) the store starts as a new
    // document. A file that cannot be read or is not well-formed XML fails
    // the operation and leaves the wrapper without a document, so a later
    // flush cannot replace it with an empty store. A failed call, or one
    // refused because the wrapper already has a document, leaves the path as
    // it was.
    bool setPath(const CNXRWCharString& strPath);
    // Parses the bytes into the document (any root element). Fails on bytes
    // that are not one well-formed XML document, or are outside the limits of
    // checkXMLInMem. The bytes are not kept.
    bool loadXMLFromMem(const CNXRBuffer<NXR_BYTE>& buffer);
    // Whether the bytes hold one well-formed XML document, in one streaming
    // pass (time linear in the size, no DOM). The parser decides the encoding
    // from the bytes. Nothing outside the bytes is read: an external DTD is
    // skipped, a reference to an external entity fails. Refused as well:
    // more entity expansions or attribute text than the bytes' size allows,
    // and elements nested more than NXR_XML_MAX_ELEMENT_DEPTH deep (see
    // nxr_xerces.h). Leaves the wrapper as it is.
    bool checkXMLInMem(const CNXRBuffer<NXR_BYTE>& buffer) const;
    // The same check over bytes that are still arriving (see
    // CNXRArrivingBytes), so that it can run while they are read or
    // deciphered; limits says whether the markup limits apply (see
    // NxrMarkupLimits).
    bool checkXMLArriving(CNXRArrivingBytes& bytes, NxrMarkupLimits limits = NxrMarkupLimits::Apply) const;
    // The wrapper holds a document with a root element.
    bool isObjectValid() const;
    // Writes the document to the file named by the path, replacing the file
    // only once the whole document is written (UTF-8 unless the document
    // declares another encoding).
    bool flush() override;
    // Writes the document into buffer.
    bool flushToMemBuffer(CNXRBuffer<NXR_BYTE>& buffer);

    // Elements. Names and texts are used as given; a name that is not an XML
    // name fails. New elements are in the root element's namespace.
    bool createElement(const CNXRWCharString& name, xercesc::DOMElement*& pElement);
    bool createTextNode(const CNXRWCharString& text, xercesc::DOMText*& pNode);
    // Appends pChild as the last child of pParent.
    bool attachToElement(xercesc::DOMNode* pChild, xercesc::DOMNode* pParent);
    bool setAttribute(xercesc::DOMElement* pElement, const CNXRWCharString& name, const CNXRWCharString& value);
    // The value of the node's first child (its text); fails when the node has
    // no child or the child holds no text.
    bool readTextNode(xercesc::DOMNode* pNode, CNXRWCharString& text);
    bool getParentNode(xercesc::DOMNode* pNode, xercesc::DOMNode*& pParent);
    // Removes the node from its parent and frees it.
    bool deleteNode(xercesc::DOMNode* pNode);
    // Element number ulIndex (from 0, document order) named tag, in the whole
    // document or among the descendants of pElement.
    bool getElementByLabel(const CNXRWCharString& tag, xercesc::DOMElement*& pFound, uint32_t ulIndex);
    bool getSubElementByLabel(const CNXRWCharString& tag, xercesc::DOMElement* pElement,
                              xercesc::DOMElement*& pFound, uint32_t ulIndex);
    // The first element named tag whose attribute attrName is exactly
    // attrValue; elements without the attribute are passed over.
    bool getElementByAttribute(const CNXRWCharString& tag, const CNXRWCharString& attrName,
                               const CNXRWCharString& attrValue, xercesc::DOMElement*& pFound);
    // The parent of the first element named tag whose text is exactly value.
    bool getElementBySubElementValue(const CNXRWCharString& tag, const CNXRWCharString& value,
                                     xercesc::DOMNode*& pFound);

    // The labelled-value store. set adds a value after any earlier one under
    // the same label; get and deleteValue find the first one. With bFlush the
    // document is written out after the change, and a failed write fails
    // the operation and takes the change back.
    bool set(const CNXRWCharString& label, const CNXRWCharString& value, bool bFlush) override;
    bool get(const CNXRWCharString& label, CNXRWCharString& value) override;
    bool deleteValue(const CNXRWCharString& label, bool bFlush) override;

protected:
    // Takes the library reference, the DOM implementation and the version
    // label that every document of the wrapper needs.
    void prepareLibrary();
    // Makes pDocument (owned from now on) the wrapper's document.
    void adoptDocument(xercesc::DOMDocument* pDocument);
    // Lets go of the document, if there is one.
    void releaseDocument();
    // A new document with the root element in the document namespace.
    void createNewDocument();
    // Scans, then builds the document from the bytes.
    void parseIntoDocument(const XMLByte* pBytes, XMLSize_t ulCount, const XMLCh* pszSystemId);
    // The document as bytes.
    void serialize(CNXRBuffer<NXR_BYTE>& buffer);
    // Throws the general exception when the wrapper has no document.
    void requireValid() const;

    // Held while the wrapper holds objects of the library.
    std::optional<CXercesLibraryRef> m_library;
    xercesc::DOMImplementation* m_pImplementation = nullptr;
    xercesc::DOMDocument* m_pDocument = nullptr;
    xercesc::DOMElement* m_pRootElement = nullptr;
    // Written into every stored value's "Version" element.
    CNXRWCharString m_strVersion;
};

} // namespace nxr
