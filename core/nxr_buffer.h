// CNXRBuffer<T>: the owning, bounds-checked, zero-initialised heap buffer
// through which all data moves. Every block is zeroed when it is allocated
// and again before it is freed. Counts and offsets are element counts.
//
// Operations report failure by returning false (the failure is in the log);
// only operator[] throws to its caller, and the constructors throw their
// initialisation exception.
#pragma once
#include "nxr_guard.h"
#include "nxr_types.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace nxr {

// Where buffer blocks come from and go to. Tests replace these to watch
// blocks as they are freed or to make allocation fail; pfnAlloc returns null
// or throws on failure. pfnFree is told the bytes in use, which after an
// in-place shrink is less than was allocated. bZeroed says that pfnAlloc
// hands out zeroed memory, so the buffer need not clear it again.
struct CNXRHeapHooks {
    void* (*pfnAlloc)(size_t ulBytes);
    void (*pfnFree)(void* p, size_t ulBytes);
    bool bZeroed = false;
};
// Installs hooks (null restores the default heap). Not thread-safe: set them
// before the buffers they should see exist, and restore the previous hooks
// only once those buffers are gone: a block must go back through the hooks
// that handed it out (the default heap keeps a header in front of each block).
void nxrSetHeapHooks(const CNXRHeapHooks* pHooks) noexcept;
void* nxrHeapAlloc(size_t ulBytes);
void nxrHeapFree(void* p, size_t ulBytes) noexcept;
bool nxrHeapZeroes() noexcept;
// Overwrites memory with zeros in a way the compiler cannot drop.
void nxrWipe(void* p, size_t ulBytes) noexcept;

template <class T>
class CNXRBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit CNXRBuffer(uint32_t ulNumElems = 0);
    CNXRBuffer(const T* pBuffer, uint32_t ulSize, uint32_t ulOffset);
    CNXRBuffer(const CNXRBuffer& src);
    // Moving hands the block over without copying or wiping it; the source
    // is left empty. Where either side keeps its block elsewhere than on the
    // heap (a secure buffer), the move is a copy.
    CNXRBuffer(CNXRBuffer&& src);
    ~CNXRBuffer();

    CNXRBuffer& operator=(const CNXRBuffer& src);
    CNXRBuffer& operator=(CNXRBuffer&& src);

    // Access
    T* getBuffer();
    const T* getBuffer() const { return m_pBuffer; }
    uint32_t getNumElems() const { return m_ulNumElems; }
    uint32_t getByteSize() const { return m_ulNumElems * static_cast<uint32_t>(sizeof(T)); }
    bool isValid() const;
    bool zeroBuffer();
    T& operator[](uint32_t i);
    const T& operator[](uint32_t i) const;
    bool fill(T value, uint32_t ulOffset);
    bool flush();

    // Copying in and out. A destination that keeps its content in another
    // form than plain elements (the secure buffer) takes what is written
    // into it, by these or by the assignments, through its own write.
    virtual bool readBuffer(CNXRBuffer& dest, uint32_t ulOffset, uint32_t& ulNumElems) const;
    virtual bool writeBuffer(const CNXRBuffer& src, uint32_t ulOffset, bool bAppend);
    bool appendBuffer(const CNXRBuffer& src);
    bool appendBuffer(const CNXRBuffer& src, uint32_t ulOffset);
    CNXRBuffer& operator+=(const CNXRBuffer& src);

    // Memory management; the secure buffer replaces these.
    virtual bool allocBuffer(uint32_t ulNumElems);
    virtual bool destroyBuffer();
    virtual bool reAllocBuffer(uint32_t ulNumElems);

    // Conversions: the same bytes as another element type.
    operator CNXRBuffer<NXR_BYTE>() const
        requires(!std::is_same_v<T, NXR_BYTE>)
    {
        return convertTo<NXR_BYTE>(u"operator CNXRBuffer< NXR_BYTE >");
    }
    operator CNXRBuffer<NXR_CHAR>() const
        requires std::is_same_v<T, NXR_BYTE>
    {
        return convertTo<NXR_CHAR>(u"operator CNXRBuffer< NXR_CHAR >");
    }
    operator CNXRBuffer<NXR_USHORT>() const
        requires std::is_same_v<T, NXR_BYTE>
    {
        return convertTo<NXR_USHORT>(u"operator CNXRBuffer< NXR_USHORT >");
    }

protected:
    template <class U>
    CNXRBuffer<U> convertTo(const char16_t* pszName) const;

    // Whether the block comes from the heap hooks, so that it can change
    // hands between buffers and shrink in place.
    virtual bool usesHeapBlocks() const { return true; }
    // Takes src's block; both must use heap blocks.
    void takeBlock(CNXRBuffer& src) noexcept;
    // Replaces the whole content with src's elements: the body of the copy
    // assignment, which a buffer with a content of another form replaces.
    virtual bool assignContent(const CNXRBuffer& src);

    // A plain memory copy, checked the way every copy of this class is.
    static void copyElems(T* pDest, const T* pSrc, uint32_t ulNumElems);

    T* m_pBuffer = nullptr;
    uint32_t m_ulNumElems = 0;

    template <class U>
    friend class CNXRBuffer;
};

extern template class CNXRBuffer<NXR_BYTE>;
extern template class CNXRBuffer<NXR_CHAR>;
extern template class CNXRBuffer<NXR_USHORT>;

// ---------------------------------------------------------------------------

#define NXR_BUFFER_TRACE(method) NXR_TRACE(u"CNXRBuffer", method)

template <class T>
void CNXRBuffer<T>::copyElems(T* pDest, const T* pSrc, uint32_t ulNumElems)
{
    if (ulNumElems == 0)
        return;
    if (std::memcpy(pDest, pSrc, size_t(ulNumElems) * sizeof(T)) != pDest)
        NXR_THROW_CODE(CMemoryCopyException, errno);
}

template <class T>
CNXRBuffer<T>::CNXRBuffer(uint32_t ulNumElems)
{
    NXR_BUFFER_TRACE(u"CNXRBuffer");
    if (!allocBuffer(ulNumElems))
        NXR_THROW(CNXRBufferInitException);
    nxrTrace.setResult(true);
}

template <class T>
CNXRBuffer<T>::CNXRBuffer(const T* pBuffer, uint32_t ulSize, uint32_t ulOffset)
{
    NXR_BUFFER_TRACE(u"CNXRBuffer");
    nxrGuardCtor<CNXRBufferInitException>(
        [&] {
            if (pBuffer == nullptr)
                NXR_THROW(CBadArgException, u"pBuffer", u"value is NULL");
            if (ulSize == 0)
                NXR_THROW(CBadArgException, u"ulSize", u"value is 0");
            if (uint64_t(ulSize) + ulOffset > UINT32_MAX || !allocBuffer(ulSize + ulOffset))
                NXR_THROW(CNXRBufferInitException);
            copyElems(m_pBuffer + ulOffset, pBuffer, ulSize);
        },
        NxrCtorFailure::Rethrow, NxrCtorFailure::ThrowInit);
    nxrTrace.setResult(true);
}

template <class T>
CNXRBuffer<T>::CNXRBuffer(const CNXRBuffer& src)
{
    NXR_BUFFER_TRACE(u"CNXRBuffer");
    nxrGuardCtor<CNXRBufferInitException>(
        [&] {
            *this = src;
            // The assignment reports its own failures only in the log; a copy
            // that came out short must not pass for the original.
            if (m_ulNumElems != src.m_ulNumElems)
                NXR_THROW(CNXRBufferInitException);
        },
        NxrCtorFailure::ThrowInit, NxrCtorFailure::ThrowInit);
    nxrTrace.setResult(true);
}

template <class T>
CNXRBuffer<T>::CNXRBuffer(CNXRBuffer&& src)
{
    NXR_BUFFER_TRACE(u"CNXRBuffer");
    *this = std::move(src);
    nxrTrace.setResult(true);
}

template <class T>
void CNXRBuffer<T>::takeBlock(CNXRBuffer& src) noexcept
{
    destroyBuffer();
    m_pBuffer = src.m_pBuffer;
    m_ulNumElems = src.m_ulNumElems;
    src.m_pBuffer = nullptr;
    src.m_ulNumElems = 0;
}

template <class T>
CNXRBuffer<T>& CNXRBuffer<T>::operator=(CNXRBuffer&& src)
{
    if (!usesHeapBlocks() || !src.usesHeapBlocks())
        return *this = static_cast<const CNXRBuffer&>(src);
    NXR_BUFFER_TRACE(u"operator=");
    if (this != &src)
        takeBlock(src);
    nxrTrace.setResult(true);
    return *this;
}

template <class T>
CNXRBuffer<T>::~CNXRBuffer()
{
    nxrGuardDtor([&] { destroyBuffer(); });
}

template <class T>
CNXRBuffer<T>& CNXRBuffer<T>::operator=(const CNXRBuffer& src)
{
    NXR_BUFFER_TRACE(u"operator=");
    if (this == &src) {
        nxrTrace.setResult(true);
        return *this;
    }
    nxrGuard(nxrTrace, false, [&] { return assignContent(src); });
    return *this;
}

template <class T>
bool CNXRBuffer<T>::assignContent(const CNXRBuffer& src)
{
    if (!allocBuffer(src.m_ulNumElems))
        return false;
    copyElems(m_pBuffer, src.m_pBuffer, src.m_ulNumElems);
    return true;
}

template <class T>
T* CNXRBuffer<T>::getBuffer()
{
    NXR_BUFFER_TRACE(u"getBuffer");
    if (m_pBuffer == nullptr) {
        nxrWarnNullPointer(u"m_pBuffer", __FILE__, __LINE__);
        nxrTrace.setResult(false);
    } else {
        nxrTrace.setResult(true);
    }
    return m_pBuffer;
}

template <class T>
bool CNXRBuffer<T>::isValid() const
{
    NXR_BUFFER_TRACE(u"isValid");
    return nxrTrace.setLogicalResult(m_pBuffer != nullptr && m_ulNumElems != 0);
}

template <class T>
bool CNXRBuffer<T>::zeroBuffer()
{
    NXR_BUFFER_TRACE(u"zeroBuffer");
    if (m_pBuffer != nullptr && m_ulNumElems != 0)
        nxrWipe(m_pBuffer, size_t(m_ulNumElems) * sizeof(T));
    return nxrTrace.setResult(m_pBuffer != nullptr);
}

template <class T>
T& CNXRBuffer<T>::operator[](uint32_t i)
{
    return const_cast<T&>(std::as_const(*this)[i]);
}

template <class T>
const T& CNXRBuffer<T>::operator[](uint32_t i) const
{
    NXR_BUFFER_TRACE(u"operator[]");
    if (i >= m_ulNumElems)
        NXR_THROW(CIndexOutOfBoundsException);
    nxrTrace.setResult(true);
    return m_pBuffer[i];
}

template <class T>
bool CNXRBuffer<T>::fill(T value, uint32_t ulOffset)
{
    NXR_BUFFER_TRACE(u"fill");
    return nxrGuard(nxrTrace, false, [&] {
        if (ulOffset >= m_ulNumElems)
            NXR_THROW(CBadArgException, u"ulOffset", u"value is out of bounds");
        if (isValid())
            for (uint32_t i = ulOffset; i < m_ulNumElems; ++i)
                m_pBuffer[i] = value;
        return isValid();
    });
}

template <class T>
bool CNXRBuffer<T>::flush()
{
    NXR_BUFFER_TRACE(u"flush");
    return nxrTrace.setResult(destroyBuffer());
}

template <class T>
bool CNXRBuffer<T>::readBuffer(CNXRBuffer& dest, uint32_t ulOffset, uint32_t& ulNumElems) const
{
    NXR_BUFFER_TRACE(u"readBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (ulNumElems == 0)
            NXR_THROW(CBadArgException, u"ulNumElems", u"can't read 0 elements");
        if (uint64_t(ulOffset) + ulNumElems > m_ulNumElems) {
            ulNumElems = ulOffset < m_ulNumElems ? m_ulNumElems - ulOffset : 0;
            NXR_THROW(CBadArgException, u"ulNumElems + ulOffset", u"can't read more elements than are in this buffer");
        }
        if (&dest == this || !dest.usesHeapBlocks()) {
            // Reading a buffer into itself, or into one that stores its
            // content in another form: through a copy of the range and the
            // destination's own assignment.
            CNXRBuffer part(m_pBuffer + ulOffset, ulNumElems, 0);
            return dest.assignContent(part);
        }
        if (!dest.allocBuffer(ulNumElems))
            return false;
        copyElems(dest.m_pBuffer, m_pBuffer + ulOffset, ulNumElems);
        return true;
    });
}

template <class T>
bool CNXRBuffer<T>::writeBuffer(const CNXRBuffer& src, uint32_t ulOffset, bool bAppend)
{
    NXR_BUFFER_TRACE(u"writeBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (src.m_ulNumElems == 0 || src.m_pBuffer == nullptr)
            NXR_THROW(CBadArgException, u"buffer", u"buffer is of zero size - can't write");
        if (uint64_t(ulOffset) + src.m_ulNumElems <= m_ulNumElems) {
            std::memmove(m_pBuffer + ulOffset, src.m_pBuffer, size_t(src.m_ulNumElems) * sizeof(T));
            return true;
        }
        if (!bAppend)
            NXR_THROW(CBadArgException, u"buffer", u"buffer + offset will overrun this buffer");
        return appendBuffer(src, ulOffset);
    });
}

template <class T>
bool CNXRBuffer<T>::appendBuffer(const CNXRBuffer& src)
{
    NXR_BUFFER_TRACE(u"appendBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (src.m_ulNumElems == 0)
            return reAllocBuffer(m_ulNumElems);
        // Appending a buffer to itself: keep a copy, the block moves.
        const CNXRBuffer* pSrc = &src;
        CNXRBuffer self;
        if (&src == this) {
            self = src;
            pSrc = &self;
        }
        const uint32_t ulOld = m_ulNumElems;
        if (uint64_t(ulOld) + pSrc->m_ulNumElems > UINT32_MAX)
            NXR_THROW(CMemAllocException, u"m_pBuffer");
        if (!reAllocBuffer(ulOld + pSrc->m_ulNumElems))
            return false;
        copyElems(m_pBuffer + ulOld, pSrc->m_pBuffer, pSrc->m_ulNumElems);
        return true;
    });
}

template <class T>
bool CNXRBuffer<T>::appendBuffer(const CNXRBuffer& src, uint32_t ulOffset)
{
    NXR_BUFFER_TRACE(u"appendBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (ulOffset > m_ulNumElems)
            NXR_THROW(CBadArgException, u"ulOffset",
                      u"can't append a buffer at an offset past the bounds of this buffer");
        const CNXRBuffer* pSrc = &src;
        CNXRBuffer self;
        if (&src == this) {
            self = src;
            pSrc = &self;
        }
        if (uint64_t(ulOffset) + pSrc->m_ulNumElems > UINT32_MAX)
            NXR_THROW(CMemAllocException, u"m_pBuffer");
        if (!reAllocBuffer(ulOffset + pSrc->m_ulNumElems))
            return false;
        return writeBuffer(*pSrc, ulOffset, false);
    });
}

template <class T>
CNXRBuffer<T>& CNXRBuffer<T>::operator+=(const CNXRBuffer& src)
{
    NXR_BUFFER_TRACE(u"operator+=");
    nxrGuard(nxrTrace, false, [&] { return appendBuffer(src); });
    return *this;
}

template <class T>
bool CNXRBuffer<T>::allocBuffer(uint32_t ulNumElems)
{
    NXR_BUFFER_TRACE(u"allocBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (!destroyBuffer())
            return false;
        if (ulNumElems != 0) {
            const size_t ulBytes = size_t(ulNumElems) * sizeof(T);
            void* p = nullptr;
            try {
                p = nxrHeapAlloc(ulBytes);
            } catch (...) {
                p = nullptr;
            }
            if (p == nullptr)
                NXR_THROW(CMemAllocException, u"m_pBuffer");
            if (!nxrHeapZeroes())
                std::memset(p, 0, ulBytes);
            m_pBuffer = static_cast<T*>(p);
            m_ulNumElems = ulNumElems;
        }
        return true;
    });
}

template <class T>
bool CNXRBuffer<T>::destroyBuffer()
{
    NXR_BUFFER_TRACE(u"destroyBuffer");
    if (m_pBuffer != nullptr) {
        zeroBuffer();
        nxrHeapFree(m_pBuffer, size_t(m_ulNumElems) * sizeof(T));
    }
    m_pBuffer = nullptr;
    m_ulNumElems = 0;
    return nxrTrace.setResult(true);
}

template <class T>
bool CNXRBuffer<T>::reAllocBuffer(uint32_t ulNumElems)
{
    NXR_BUFFER_TRACE(u"reAllocBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (usesHeapBlocks() && ulNumElems != 0 && ulNumElems <= m_ulNumElems) {
            // Shrinking keeps the block: the cut-off tail is wiped now, the
            // rest when the block is freed.
            nxrWipe(m_pBuffer + ulNumElems, size_t(m_ulNumElems - ulNumElems) * sizeof(T));
            m_ulNumElems = ulNumElems;
            return true;
        }
        // Growing: a new zeroed block takes the old contents; the old block
        // is wiped and freed when the copy goes.
        CNXRBuffer old;
        if (usesHeapBlocks())
            old.takeBlock(*this);
        else
            old = *this;
        if (!allocBuffer(ulNumElems)) {
            if (usesHeapBlocks())
                takeBlock(old);
            return false;
        }
        copyElems(m_pBuffer, old.m_pBuffer, ulNumElems < old.m_ulNumElems ? ulNumElems : old.m_ulNumElems);
        return true;
    });
}

template <class T>
template <class U>
CNXRBuffer<U> CNXRBuffer<T>::convertTo(const char16_t* pszName) const
{
    NXR_TRACE(u"CNXRBuffer", pszName);
    CNXRBuffer<U> out;
    try {
        if (m_pBuffer == nullptr)
            NXR_THROW(CBadArgException, u"pBuffer", u"value is NULL");
        const size_t ulBytes = size_t(m_ulNumElems) * sizeof(T);
        // 2^31 or more 16-bit elements are more bytes than a count can say.
        const uint64_t ullCount = (uint64_t(ulBytes) + sizeof(U) - 1) / sizeof(U);
        if (ullCount > UINT32_MAX)
            NXR_THROW(CMemAllocException, u"m_pBuffer");
        const uint32_t ulCount = static_cast<uint32_t>(ullCount);
        if (!out.allocBuffer(ulCount))
            NXR_THROW(CNXRBufferInitException);
        if (std::memcpy(static_cast<void*>(out.m_pBuffer), m_pBuffer, ulBytes) != static_cast<void*>(out.m_pBuffer))
            NXR_THROW_CODE(CMemoryCopyException, errno);
        nxrTrace.setResult(true);
    } catch (...) {
        nxrLogUnhandled(static_cast<uint32_t>(errno), __FILE__, __LINE__);
        nxrTrace.setResult(false);
    }
    return out;
}

#undef NXR_BUFFER_TRACE

} // namespace nxr
