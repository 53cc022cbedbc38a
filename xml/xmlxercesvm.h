// CXmlXercesVM: the XML document class of the encryption service, and a store
// of numbered functions on top of CXmlXercesBase. A function is a child of
// the root element:
//   <FUNCTION><ORDER>000A</ORDER><COMMAND>text</COMMAND><VERSION>1.0</VERSION>
//     <parameter-name>value</parameter-name>...</FUNCTION>
// The order number is written as four upper-case hexadecimal digits, both when
// a function is stored and when it is looked up. Lookups find the first
// function with the number, in document order.
//
// Every operation returns false on failure (the failure is in the log) and
// throws nothing; the operations that work on a function fail when there is
// no function with the number.
#pragma once
#include "xmlxercesbase.h"

#include <cstdint>

namespace nxr {

class CXmlXercesVM : public CXmlXercesBase {
public:
    CXmlXercesVM();
    ~CXmlXercesVM() override;

    // Appends a new function (an existing one with the number stays first);
    // with bFlush the document is then written out, whatever that gives.
    bool setFunction(const CNXRWCharString& command, uint16_t usOrder, bool bFlush);
    // The "FUNCTION" element of the function.
    bool getFunctionByOrderNumber(uint16_t usOrder, xercesc::DOMElement*& pFunction);
    // Its command and version texts.
    bool getFunction(uint16_t usOrder, CNXRWCharString& command, CNXRWCharString& version);
    // The text of its first descendant element named by the parameter.
    bool getParameter(uint16_t usOrder, const CNXRWCharString& name, CNXRWCharString& value);
    // Appends an element named by the parameter, holding the value, to the
    // function; with bFlush the document is then written out, whatever that
    // gives.
    bool setParameter(const CNXRWCharString& name, uint16_t usOrder, const CNXRWCharString& value, bool bFlush);
    // Removes the function.
    bool deleteFunction(uint16_t usOrder);

protected:
    // The order number's text: four upper-case hexadecimal digits.
    static CNXRWCharString orderText(uint16_t usOrder);
};

} // namespace nxr
