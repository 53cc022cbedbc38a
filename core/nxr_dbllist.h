// CNXRDblList<T>: a doubly linked list of owned nodes, each holding a copy of
// a T and an index chosen by whoever adds it. The list deletes its nodes
// through their virtual destructor, in flush() and when it is destroyed, so
// a caller may hand it nodes of a class derived from CNXRDblListNode<T>.
#pragma once
#include "nxr_guard.h"

#include <cstdint>

namespace nxr {

template <class T>
class CNXRDblList;

template <class T>
class CNXRDblListNode {
public:
    CNXRDblListNode(const T& data, uint32_t ulIndex);
    // Destroys the data and clears both links.
    virtual ~CNXRDblListNode();
    CNXRDblListNode(const CNXRDblListNode&) = delete;
    CNXRDblListNode& operator=(const CNXRDblListNode&) = delete;

    CNXRDblListNode* getNext() const { return m_pNext; }
    CNXRDblListNode* getPrev() const { return m_pPrev; }
    uint32_t getIndex() const { return m_ulIndex; }
    T& getData() { return m_data; }
    const T& getData() const { return m_data; }

private:
    friend class CNXRDblList<T>;
    CNXRDblListNode* m_pNext = nullptr;
    CNXRDblListNode* m_pPrev = nullptr;
    uint32_t m_ulIndex;
    T m_data;
};

template <class T>
class CNXRDblList {
public:
    using Node = CNXRDblListNode<T>;

    CNXRDblList();
    // Deletes the nodes still linked, as flush() does.
    ~CNXRDblList();
    // The list owns its nodes; copying would have to decide who deletes them.
    CNXRDblList(const CNXRDblList&) = delete;
    CNXRDblList& operator=(const CNXRDblList&) = delete;

    // Takes ownership of a node that is in no list and links it last.
    // False for a null node (nothing changes).
    bool addNode(Node* pNode);
    // Appends a new node holding a copy of data. False when the node cannot
    // be made; the list is then unchanged.
    bool add(const T& data, uint32_t ulIndex);
    // Unlinks a node of this list and deletes it. False (nothing changes) for
    // a null node or one that is not in this list.
    bool removeNode(Node* pNode);
    // Deletes every node; the list is then empty and can be filled again.
    bool flush();

    Node* getFirst() const { return m_pFirst; }
    Node* getLast() const { return m_pLast; }
    // The walking cursor: the first node once one was added to an empty
    // list; null after flush().
    Node* getTempCursor() const { return pTempCursor; }
    uint32_t getCount() const { return m_ulCount; }

private:
    Node* m_pFirst = nullptr;
    Node* m_pLast = nullptr;
    Node* pTempCursor = nullptr;
    uint32_t m_ulCount = 0;
};

// ---------------------------------------------------------------------------

template <class T>
CNXRDblListNode<T>::CNXRDblListNode(const T& data, uint32_t ulIndex) : m_ulIndex(ulIndex), m_data(data)
{
    NXR_TRACE(u"CNXRDblListNode", u"CNXRDblListNode");
    nxrTrace.setResult(true);
}

template <class T>
CNXRDblListNode<T>::~CNXRDblListNode()
{
    NXR_TRACE(u"CNXRDblListNode", u"~CNXRDblListNode");
    m_pNext = nullptr;
    m_pPrev = nullptr;
    nxrTrace.setResult(true);
}

#define NXR_LIST_TRACE(method) NXR_TRACE(u"CNXRDblList", method)

template <class T>
CNXRDblList<T>::CNXRDblList()
{
    NXR_LIST_TRACE(u"CNXRDblList");
    nxrTrace.setResult(true);
}

template <class T>
CNXRDblList<T>::~CNXRDblList()
{
    NXR_LIST_TRACE(u"~CNXRDblList");
    nxrGuardDtor([&] { flush(); });
}

template <class T>
bool CNXRDblList<T>::addNode(Node* pNode)
{
    NXR_LIST_TRACE(u"addNode");
    if (pNode == nullptr)
        return nxrTrace.setResult(false);
    pNode->m_pNext = nullptr;
    if (m_pFirst == nullptr) {
        pNode->m_pPrev = nullptr;
        m_pFirst = m_pLast = pTempCursor = pNode;
    } else {
        pNode->m_pPrev = m_pLast;
        m_pLast->m_pNext = pNode;
        m_pLast = pNode;
    }
    ++m_ulCount;
    return nxrTrace.setResult(true);
}

template <class T>
bool CNXRDblList<T>::add(const T& data, uint32_t ulIndex)
{
    NXR_LIST_TRACE(u"add");
    return nxrGuard(nxrTrace, false, [&] {
        Node* pNewNode = nullptr;
        try {
            pNewNode = new Node(data, ulIndex);
        } catch (...) {
            // Whether the allocation or the copy of the data failed, the
            // node could not be made.
            NXR_THROW(CMemAllocException, u"pNewNode");
        }
        if (!addNode(pNewNode)) {
            delete pNewNode;
            return false;
        }
        return true;
    });
}

template <class T>
bool CNXRDblList<T>::removeNode(Node* pNode)
{
    NXR_LIST_TRACE(u"removeNode");
    return nxrGuard(nxrTrace, false, [&] {
        if (pNode == nullptr)
            return false;
        Node* p = m_pFirst;
        while (p != nullptr && p != pNode)
            p = p->m_pNext;
        if (p == nullptr)
            return false;
        if (pNode->m_pPrev != nullptr)
            pNode->m_pPrev->m_pNext = pNode->m_pNext;
        else
            m_pFirst = pNode->m_pNext;
        if (pNode->m_pNext != nullptr)
            pNode->m_pNext->m_pPrev = pNode->m_pPrev;
        else
            m_pLast = pNode->m_pPrev;
        if (pTempCursor == pNode)
            pTempCursor = m_pFirst;
        --m_ulCount;
        pNode->m_pNext = nullptr;
        pNode->m_pPrev = nullptr;
        delete pNode;
        return true;
    });
}

template <class T>
bool CNXRDblList<T>::flush()
{
    NXR_LIST_TRACE(u"flush");
    return nxrGuard(nxrTrace, false, [&] {
        // Node destructors cannot throw, so the walk always reaches the end.
        pTempCursor = m_pFirst;
        while (pTempCursor != nullptr) {
            Node* pNext = pTempCursor->m_pNext;
            pTempCursor->m_pNext = nullptr;
            pTempCursor->m_pPrev = nullptr;
            delete pTempCursor;
            pTempCursor = pNext;
        }
        m_pFirst = m_pLast = pTempCursor = nullptr;
        m_ulCount = 0;
        return true;
    });
}

#undef NXR_LIST_TRACE

} // namespace nxr
