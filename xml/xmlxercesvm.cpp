#include "xmlxercesvm.h"

#include "nxr_guard.h"

using namespace xercesc;

namespace nxr {

#define NXR_VM_TRACE(method) NXR_TRACE(u"CXmlXercesVM", method)

CXmlXercesVM::CXmlXercesVM()
{
    NXR_VM_TRACE(u"Constructor");
    nxrTrace.setResult(true);
}

CXmlXercesVM::~CXmlXercesVM()
{
    NXR_VM_TRACE(u"Destructor");
}

CNXRWCharString CXmlXercesVM::orderText(uint16_t usOrder)
{
    return CNXRWCharString(usOrder, CNXRWCharString::nsHex, 4, false);
}

bool CXmlXercesVM::setFunction(const CNXRWCharString& command, uint16_t usOrder, bool bFlush)
{
    NXR_VM_TRACE(u"setFunction");
    return nxrGuard(nxrTrace, false, [&] {
        DOMElement* pFunction = nullptr;
        DOMElement* pVersion = nullptr;
        DOMElement* pCommand = nullptr;
        DOMElement* pOrder = nullptr;
        DOMText* pVersionText = nullptr;
        DOMText* pCommandText = nullptr;
        DOMText* pOrderText = nullptr;
        if (!createElement(u"FUNCTION", pFunction) || !createElement(u"VERSION", pVersion) ||
            !createTextNode(u"1.0", pVersionText) || !createElement(u"COMMAND", pCommand) ||
            !createTextNode(command, pCommandText) || !createElement(u"ORDER", pOrder) ||
            !createTextNode(orderText(usOrder), pOrderText))
            NXR_THROW(CXmlXercesBaseGeneralException);
        if (!attachToElement(pOrderText, pOrder) || !attachToElement(pOrder, pFunction) ||
            !attachToElement(pCommandText, pCommand) || !attachToElement(pCommand, pFunction) ||
            !attachToElement(pVersionText, pVersion) || !attachToElement(pVersion, pFunction) ||
            !attachToElement(pFunction, m_pRootElement))
            NXR_THROW(CXmlXercesBaseGeneralException);
        if (bFlush)
            flush();
        return true;
    });
}

bool CXmlXercesVM::getFunctionByOrderNumber(uint16_t usOrder, DOMElement*& pFunction)
{
    NXR_VM_TRACE(u"getFunctionByOrderNumber");
    return nxrGuard(nxrTrace, false, [&] {
        DOMNode* pParent = nullptr;
        if (!getElementBySubElementValue(u"ORDER", orderText(usOrder), pParent))
            return false;
        // An "ORDER" element directly under the document would be the root.
        if (pParent->getNodeType() != DOMNode::ELEMENT_NODE)
            return false;
        pFunction = static_cast<DOMElement*>(pParent);
        return true;
    });
}

bool CXmlXercesVM::getFunction(uint16_t usOrder, CNXRWCharString& command, CNXRWCharString& version)
{
    NXR_VM_TRACE(u"getFunction");
    return nxrGuard(nxrTrace, false, [&] {
        DOMElement* pFunction = nullptr;
        DOMElement* pCommand = nullptr;
        DOMElement* pVersion = nullptr;
        return getFunctionByOrderNumber(usOrder, pFunction) &&
               getSubElementByLabel(u"COMMAND", pFunction, pCommand, 0) && readTextNode(pCommand, command) &&
               getSubElementByLabel(u"VERSION", pFunction, pVersion, 0) && readTextNode(pVersion, version);
    });
}

bool CXmlXercesVM::getParameter(uint16_t usOrder, const CNXRWCharString& name, CNXRWCharString& value)
{
    NXR_VM_TRACE(u"getParameter");
    return nxrGuard(nxrTrace, false, [&] {
        DOMElement* pFunction = nullptr;
        DOMElement* pParameter = nullptr;
        return getFunctionByOrderNumber(usOrder, pFunction) &&
               getSubElementByLabel(name, pFunction, pParameter, 0) && readTextNode(pParameter, value);
    });
}

bool CXmlXercesVM::setParameter(const CNXRWCharString& name, uint16_t usOrder, const CNXRWCharString& value,
                                bool bFlush)
{
    NXR_VM_TRACE(u"setParameter");
    return nxrGuard(nxrTrace, false, [&] {
        DOMElement* pFunction = nullptr;
        if (!getFunctionByOrderNumber(usOrder, pFunction))
            return false;
        DOMElement* pParameter = nullptr;
        DOMText* pValue = nullptr;
        if (!createElement(name, pParameter) || !createTextNode(value, pValue) ||
            !attachToElement(pValue, pParameter) || !attachToElement(pParameter, pFunction))
            NXR_THROW(CXmlXercesBaseGeneralException);
        if (bFlush)
            flush();
        return true;
    });
}

bool CXmlXercesVM::deleteFunction(uint16_t usOrder)
{
    NXR_VM_TRACE(u"deleteFunction");
    return nxrGuard(nxrTrace, false, [&] {
        DOMElement* pFunction = nullptr;
        return getFunctionByOrderNumber(usOrder, pFunction) && deleteNode(pFunction);
    });
}

#undef NXR_VM_TRACE

} // namespace nxr
