// CNXRSecureBuffer<T>: a buffer for secrets. Its block is a run of whole pages
// from the kernel, locked in memory where the system allows it and left out
// of core dumps, and what it holds there is never the data itself but the
// data enciphered with AES-256 under a key of 32 random bytes that each
// object draws for itself. Every read deciphers the whole content into an
// ordinary CNXRBuffer (which wipes itself), every write deciphers, changes and
// enciphers it again. The block is wiped before it goes back to the kernel.
//
// Read and write it only through readBuffer, writeBuffer, the assignments and
// asBuffer, which also serve it where it is reached as a CNXRBuffer (a
// base-class readBuffer into it, an assignment through a CNXRBuffer&): the
// base class's other operations (getBuffer, operator[], fill, ...) see the
// cipher text. It cannot grow in place: reAllocBuffer, and so appendBuffer
// and operator+=, fail.
//
// Instantiated for NXR_USHORT and NXR_BYTE. Header-only because it builds on
// the key and random classes of nxr_crypto, which link against this folder:
// a target that uses it links nxr_crypto.
#pragma once
#include "aeskey.h"
#include "nxr_buffer.h"
#include "nxr_guard.h"
#include "nxr_os_error.h"
#include "nxr_os_vmem.h"
#include "nxr_types.h"
#include "swrng.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace nxr {

template <class T>
class CNXRSecureBuffer : public CNXRBuffer<T> {
    static_assert(std::is_same_v<T, NXR_USHORT> || std::is_same_v<T, NXR_BYTE>);
    using Base = CNXRBuffer<T>;

public:
    // A fresh key and, for a non-zero count, a zeroed block of that many
    // elements (rounded up to 16 bytes). Throws CNXRSecureBufferInitException.
    explicit CNXRSecureBuffer(uint32_t ulNumElems = 0);
    // Enciphers a copy of ulSize elements at pBuffer, placed after ulOffset
    // zero elements. The caller's copy is not touched.
    CNXRSecureBuffer(const T* pBuffer, uint32_t ulSize, uint32_t ulOffset);
    // The same plaintext, enciphered under a key of this object's own.
    CNXRSecureBuffer(const CNXRSecureBuffer& src);
    ~CNXRSecureBuffer();

    // Enciphers src's elements as the whole content.
    CNXRSecureBuffer& operator=(const CNXRBuffer<T>& src);
    // Deciphers src and enciphers its plaintext again under this object's key.
    CNXRSecureBuffer& operator=(const CNXRSecureBuffer& src);

    bool allocBuffer(uint32_t ulNumElems) override;
    bool destroyBuffer() override;
    // Not supported: false, nothing changed.
    bool reAllocBuffer(uint32_t ulNumElems) override;

    // A block, and plaintext enciphered in it.
    bool isValid() const;
    // Zeroes the whole block; with bResetEncLen nothing counts as enciphered.
    bool zeroBuffer(bool bResetEncLen);

    // Reads ulNumElems plaintext elements from ulOffset into dest, with the
    // checks of CNXRBuffer::readBuffer.
    bool readBuffer(CNXRBuffer<T>& dest, uint32_t ulOffset, uint32_t& ulNumElems) const override;
    // Writes src over the plaintext at ulOffset, growing it when src reaches
    // past its end.
    bool writeBuffer(const CNXRBuffer<T>& src, uint32_t ulOffset);
    // The same; without bAppend, refused when src reaches past the end.
    bool writeBuffer(const CNXRBuffer<T>& src, uint32_t ulOffset, bool bAppend) override;
    // The whole plaintext; empty when there is none or it cannot be read. The
    // caller owns the clear copy, which wipes itself.
    CNXRBuffer<T> asBuffer() const;

    // Plaintext elements held (0: nothing written yet).
    uint32_t getPlainLength() const { return m_ulPlainLength; }
    // Elements of cipher text at the start of the block.
    uint32_t getEncLength() const { return m_ulEncLength; }

protected:
    // The block is locked pages, never a heap block: moves between a secure
    // buffer and a plain one copy.
    bool usesHeapBlocks() const override { return false; }
    // Enciphers src's plaintext (deciphered first when src is a secure
    // buffer too) as the whole content.
    bool assignContent(const Base& src) override;

    bool initializeMembers();
    bool encryptBuffer(const CNXRBuffer<T>& plain, CNXRBuffer<T>& cipher);
    bool decryptBuffer(CNXRBuffer<T>& plain) const;

    uint32_t m_ulPlainLength = 0;
    uint32_t m_ulEncLength = 0;
    CAesKey m_key;

private:
    // The same bytes as the other element type.
    static CNXRBuffer<NXR_BYTE> toBytes(const CNXRBuffer<T>& elems);
    static CNXRBuffer<T> fromBytes(const CNXRBuffer<NXR_BYTE>& bytes);
    // The block's size in bytes.
    size_t blockBytes() const { return size_t(this->m_ulNumElems) * sizeof(T); }
};

// ---------------------------------------------------------------------------

#define NXR_SECURE_TRACE(method) NXR_TRACE(u"CNXRSecureBuffer", method)

template <class T>
CNXRSecureBuffer<T>::CNXRSecureBuffer(uint32_t ulNumElems) : Base(0)
{
    NXR_SECURE_TRACE(u"CNXRSecureBuffer - Default Constructor");
    nxrGuardCtor<CNXRSecureBufferInitException>(
        [&] {
            if (!initializeMembers() || (ulNumElems != 0 && !allocBuffer(ulNumElems)))
                NXR_THROW(CNXRSecureBufferInitException);
        },
        NxrCtorFailure::Rethrow, NxrCtorFailure::Rethrow);
    nxrTrace.setResult(true);
}

template <class T>
CNXRSecureBuffer<T>::CNXRSecureBuffer(const T* pBuffer, uint32_t ulSize, uint32_t ulOffset) : Base(0)
{
    NXR_SECURE_TRACE(u"CNXRSecureBuffer - Constructor #1");
    nxrGuardCtor<CNXRSecureBufferInitException>(
        [&] {
            if (!initializeMembers())
                NXR_THROW(CNXRSecureBufferInitException);
            const Base plain(pBuffer, ulSize, ulOffset);
            *this = plain;
            // An object that took nothing must not pass for one holding the secret.
            if (m_ulPlainLength != plain.getNumElems()) {
                destroyBuffer();
                NXR_THROW(CNXRSecureBufferInitException);
            }
        },
        NxrCtorFailure::Rethrow, NxrCtorFailure::Rethrow);
    nxrTrace.setResult(true);
}

template <class T>
CNXRSecureBuffer<T>::CNXRSecureBuffer(const CNXRSecureBuffer& src) : Base(0)
{
    NXR_SECURE_TRACE(u"CNXRSecureBuffer - Copy Constructor");
    nxrGuardCtor<CNXRSecureBufferInitException>(
        [&] {
            if (!initializeMembers())
                NXR_THROW(CNXRSecureBufferInitException);
            *this = src;
            if (src.isValid() && m_ulPlainLength != src.m_ulPlainLength) {
                destroyBuffer();
                NXR_THROW(CNXRSecureBufferInitException);
            }
        },
        NxrCtorFailure::Rethrow, NxrCtorFailure::Rethrow);
    nxrTrace.setResult(true);
}

template <class T>
CNXRSecureBuffer<T>::~CNXRSecureBuffer()
{
    NXR_SECURE_TRACE(u"~CNXRSecureBuffer");
    // The block goes here: the base destructor would hand it to the heap.
    nxrGuardDtor([&] { destroyBuffer(); });
}

template <class T>
bool CNXRSecureBuffer<T>::initializeMembers()
{
    NXR_SECURE_TRACE(u"initializeMembers");
    return nxrGuard(nxrTrace, false, [&] {
        this->m_ulNumElems = 0;
        m_ulPlainLength = 0;
        m_ulEncLength = 0;
        CSwRNG rng;
        CNXRBuffer<NXR_BYTE> keyBytes(CAesKey::kKeyLength);
        return rng.getRandomBytes(keyBytes) && m_key.setKey(keyBytes);
    });
}

template <class T>
bool CNXRSecureBuffer<T>::allocBuffer(uint32_t ulNumElems)
{
    NXR_SECURE_TRACE(u"allocBuffer");
    return nxrGuard(
        nxrTrace, false,
        [&] {
            if (!destroyBuffer())
                return false;
            if (ulNumElems == 0)
                return false;
            uint64_t ullBytes = uint64_t(ulNumElems) * sizeof(T);
            if (ullBytes % 16 != 0)
                ullBytes += 16 - ullBytes % 16;
            if (ullBytes > UINT32_MAX)
                NXR_THROW(CMemAllocException, u"this->m_pBuffer");
            void* pBlock = os::vmemAlloc(static_cast<size_t>(ullBytes));
            if (pBlock == nullptr)
                NXR_THROW(CMemAllocException, u"this->m_pBuffer");
            // An unlocked block still works; it may only reach the swap.
            if (!os::vmemLock(pBlock, static_cast<size_t>(ullBytes)))
                nxrWarn(u"VirtualLock of buffer failed", os::getLastError(), __FILE__, __LINE__);
            this->m_pBuffer = static_cast<T*>(pBlock);
            this->m_ulNumElems = static_cast<uint32_t>(ullBytes / sizeof(T));
            m_ulPlainLength = this->m_ulNumElems;
            return zeroBuffer(false);
        },
        NxrErrorSource::LastError);
}

template <class T>
bool CNXRSecureBuffer<T>::destroyBuffer()
{
    NXR_SECURE_TRACE(u"destroyBuffer");
    return nxrGuard(
        nxrTrace, false,
        [&] {
            if (this->m_pBuffer != nullptr) {
                zeroBuffer(false);
                if (!os::vmemUnlock(this->m_pBuffer, blockBytes()))
                    nxrWarn(u"VirtualUnlock of buffer failed", os::getLastError(), __FILE__, __LINE__);
                if (!os::vmemFree(this->m_pBuffer))
                    nxrWarn(u"VirtualFree of buffer failed", os::getLastError(), __FILE__, __LINE__);
            }
            this->m_pBuffer = nullptr;
            this->m_ulNumElems = 0;
            m_ulPlainLength = 0;
            return true;
        },
        NxrErrorSource::LastError);
}

template <class T>
bool CNXRSecureBuffer<T>::reAllocBuffer(uint32_t)
{
    NXR_SECURE_TRACE(u"reAllocBuffer");
    return nxrTrace.setResult(false);
}

template <class T>
bool CNXRSecureBuffer<T>::isValid() const
{
    NXR_SECURE_TRACE(u"isValid");
    return nxrTrace.setLogicalResult(Base::isValid() && m_ulPlainLength != 0 && m_ulEncLength != 0);
}

template <class T>
bool CNXRSecureBuffer<T>::zeroBuffer(bool bResetEncLen)
{
    NXR_SECURE_TRACE(u"zeroBuffer");
    // The one place where the block is wiped: on allocation, before release,
    // and on request.
    if (this->m_pBuffer != nullptr)
        std::memset(static_cast<void*>(this->m_pBuffer), 0, blockBytes());
    if (bResetEncLen)
        m_ulEncLength = 0;
    return nxrTrace.setResult(true);
}

template <class T>
CNXRBuffer<NXR_BYTE> CNXRSecureBuffer<T>::toBytes(const CNXRBuffer<T>& elems)
{
    if constexpr (std::is_same_v<T, NXR_BYTE>)
        return elems;
    else
        return static_cast<CNXRBuffer<NXR_BYTE>>(elems);
}

template <class T>
CNXRBuffer<T> CNXRSecureBuffer<T>::fromBytes(const CNXRBuffer<NXR_BYTE>& bytes)
{
    if constexpr (std::is_same_v<T, NXR_BYTE>)
        return bytes;
    else
        return static_cast<CNXRBuffer<T>>(bytes);
}

template <class T>
bool CNXRSecureBuffer<T>::encryptBuffer(const CNXRBuffer<T>& plain, CNXRBuffer<T>& cipher)
{
    NXR_SECURE_TRACE(u"encryptBuffer - CNXRBuffer");
    return nxrGuard(
        nxrTrace, false,
        [&] {
            const CNXRBuffer<NXR_BYTE> plainBytes = toBytes(plain);
            CNXRBuffer<NXR_BYTE> cipherBytes;
            if (!m_key.encrypt(plainBytes, cipherBytes))
                return false;
            // AES output is whole 16-byte blocks, so this divides evenly.
            m_ulEncLength = cipherBytes.getNumElems() / sizeof(T);
            cipher = fromBytes(cipherBytes);
            return cipher.getNumElems() == m_ulEncLength;
        },
        NxrErrorSource::LastError);
}

template <class T>
bool CNXRSecureBuffer<T>::decryptBuffer(CNXRBuffer<T>& plain) const
{
    NXR_SECURE_TRACE(u"decryptBuffer");
    return nxrGuard(
        nxrTrace, false,
        [&] {
            // Never read cipher text past the block (a block reallocated
            // smaller than what was once enciphered holds none of it).
            if (m_ulEncLength > this->m_ulNumElems)
                NXR_THROW(CIndexOutOfBoundsException);
            const Base stored(this->m_pBuffer, m_ulEncLength, 0);
            CNXRBuffer<NXR_BYTE> plainBytes;
            if (!m_key.decrypt(toBytes(stored), plainBytes))
                return false;
            if (plainBytes.getNumElems() == 0)
                return plain.flush();
            plain = fromBytes(plainBytes);
            return plain.getNumElems() == plainBytes.getNumElems() / sizeof(T);
        },
        NxrErrorSource::LastError);
}

template <class T>
bool CNXRSecureBuffer<T>::readBuffer(CNXRBuffer<T>& dest, uint32_t ulOffset, uint32_t& ulNumElems) const
{
    NXR_SECURE_TRACE(u"readBuffer");
    return nxrGuard(
        nxrTrace, false,
        [&] {
            if (m_ulEncLength == 0)
                return Base::readBuffer(dest, ulOffset, ulNumElems);
            Base plain;
            return decryptBuffer(plain) && plain.readBuffer(dest, ulOffset, ulNumElems);
        },
        NxrErrorSource::LastError);
}

template <class T>
bool CNXRSecureBuffer<T>::writeBuffer(const CNXRBuffer<T>& src, uint32_t ulOffset)
{
    NXR_SECURE_TRACE(u"writeBuffer");
    return nxrGuard(
        nxrTrace, false,
        [&] {
            if (src.getNumElems() == 0)
                NXR_THROW(CBadArgException, u"buffer", u"buffer is of zero size - can't write");
            Base plain;
            if (m_ulPlainLength == 0) {
                plain = src;
                if (plain.getNumElems() != src.getNumElems())
                    return false;
            } else {
                uint32_t ulCount = m_ulPlainLength;
                if (!readBuffer(plain, 0, ulCount) || !plain.writeBuffer(src, ulOffset, true))
                    return false;
            }
            Base cipher;
            if (!encryptBuffer(plain, cipher))
                return false;
            if (cipher.getNumElems() > this->m_ulNumElems && !allocBuffer(cipher.getNumElems()))
                return false;
            m_ulPlainLength = plain.getNumElems();
            return Base::writeBuffer(cipher, 0, false);
        },
        NxrErrorSource::LastError);
}

template <class T>
bool CNXRSecureBuffer<T>::writeBuffer(const CNXRBuffer<T>& src, uint32_t ulOffset, bool bAppend)
{
    NXR_SECURE_TRACE(u"writeBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (!bAppend && uint64_t(ulOffset) + src.getNumElems() > m_ulPlainLength)
            NXR_THROW(CBadArgException, u"buffer", u"buffer + offset will overrun this buffer");
        return writeBuffer(src, ulOffset);
    });
}

template <class T>
bool CNXRSecureBuffer<T>::assignContent(const Base& src)
{
    *this = src;
    const auto* pSecure = dynamic_cast<const CNXRSecureBuffer*>(&src);
    if (pSecure != nullptr)
        return !pSecure->isValid() || m_ulPlainLength == pSecure->m_ulPlainLength;
    return !src.isValid() || m_ulPlainLength == src.getNumElems();
}

template <class T>
CNXRSecureBuffer<T>& CNXRSecureBuffer<T>::operator=(const CNXRBuffer<T>& src)
{
    NXR_TRACE(u"CNXRBuffer", u"operator= - CNXRBuffer");
    if (static_cast<const void*>(&src) == static_cast<const void*>(this)) {
        nxrTrace.setResult(true);
        return *this;
    }
    // A secure buffer met as a CNXRBuffer: its plaintext, not its block.
    if (const auto* pSecure = dynamic_cast<const CNXRSecureBuffer*>(&src)) {
        *this = *pSecure;
        nxrTrace.setResult(true);
        return *this;
    }
    nxrGuard(nxrTrace, false, [&] {
        if (!destroyBuffer())
            return false;
        return !src.isValid() || writeBuffer(src, 0);
    });
    return *this;
}

template <class T>
CNXRSecureBuffer<T>& CNXRSecureBuffer<T>::operator=(const CNXRSecureBuffer& src)
{
    NXR_SECURE_TRACE(u"operator= - CNXRSecureBuffer");
    if (&src == this) {
        nxrTrace.setResult(true);
        return *this;
    }
    nxrGuard(nxrTrace, false, [&] {
        if (!destroyBuffer())
            return false;
        if (!src.isValid())
            return true;
        Base plain;
        uint32_t ulCount = src.m_ulPlainLength;
        if (!src.readBuffer(plain, 0, ulCount))
            return false;
        *this = plain;
        return m_ulPlainLength == plain.getNumElems();
    });
    return *this;
}

template <class T>
CNXRBuffer<T> CNXRSecureBuffer<T>::asBuffer() const
{
    NXR_SECURE_TRACE(u"asBuffer");
    Base plain;
    const bool bRead = nxrGuard(nxrTrace, false, [&] {
        if (m_ulPlainLength == 0 || m_ulEncLength == 0)
            return true;
        uint32_t ulCount = m_ulPlainLength;
        return readBuffer(plain, 0, ulCount);
    });
    if (!bRead)
        plain.flush();
    return plain;
}

#undef NXR_SECURE_TRACE

} // namespace nxr
