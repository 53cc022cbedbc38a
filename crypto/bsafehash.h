// Message digests over byte buffers: SHA-1 (20 bytes) and MD5 (16 bytes)
// through the cipher toolkit.
//
// A digest runs hashInit, one or more hashUpdate, hashFinal; hashAll does the
// three in one call. One object runs any number of digests one after another.
// The operations return true or throw: CHashBadArg for an empty input,
// CHashBsafeException with the toolkit status, CHashGenericException when a
// step of hashAll reports false. Inputs of any length up to 4 GiB - 1 bytes
// are hashed whole.
//
// The secure-buffer forms read their input out of, or store the digest
// enciphered into, a CNXRSecureBuffer<NXR_BYTE>; users of them include
// nxr_securebuffer.h.
#pragma once
#include "nxr_buffer.h"
#include "nxr_toolkit.h"
#include "nxr_types.h"

namespace nxr {

template <class T>
class CNXRSecureBuffer;

class CHashBase {
public:
    CHashBase() = default;
    virtual ~CHashBase() = default;
    CHashBase(const CHashBase&) = delete;
    CHashBase& operator=(const CHashBase&) = delete;

    virtual bool hashAll(const CNXRSecureBuffer<NXR_BYTE>& input, CNXRSecureBuffer<NXR_BYTE>& output) = 0;
    virtual bool hashAll(const CNXRBuffer<NXR_BYTE>& input, CNXRBuffer<NXR_BYTE>& output) = 0;
    virtual bool hashInit() = 0;
    virtual bool hashUpdate(const CNXRSecureBuffer<NXR_BYTE>& input) = 0;
    virtual bool hashUpdate(const CNXRBuffer<NXR_BYTE>& input) = 0;
    virtual bool hashFinal(CNXRSecureBuffer<NXR_BYTE>& output) = 0;
    virtual bool hashFinal(CNXRBuffer<NXR_BYTE>& output) = 0;

protected:
    // The steps both algorithms share; pszClass names the trace records.
    template <class Buffer>
    bool runAll(const char16_t* pszClass, const Buffer& input, Buffer& output);
    bool runInit(const char16_t* pszClass, toolkit::AlgorithmKind kind);
    bool runUpdate(const char16_t* pszClass, const CNXRBuffer<NXR_BYTE>& input);
    bool runUpdate(const char16_t* pszClass, const CNXRSecureBuffer<NXR_BYTE>& input);
    template <class Buffer>
    bool runFinal(const char16_t* pszClass, Buffer& output);

    // The digest in progress; null when none is running.
    toolkit::AlgorithmObject* m_hAlgorithm = nullptr;
};

class CSha1Hash : public CHashBase {
public:
    CSha1Hash();
    ~CSha1Hash() override;

    bool hashAll(const CNXRSecureBuffer<NXR_BYTE>& input, CNXRSecureBuffer<NXR_BYTE>& output) override;
    bool hashAll(const CNXRBuffer<NXR_BYTE>& input, CNXRBuffer<NXR_BYTE>& output) override;
    bool hashInit() override;
    bool hashUpdate(const CNXRSecureBuffer<NXR_BYTE>& input) override;
    bool hashUpdate(const CNXRBuffer<NXR_BYTE>& input) override;
    bool hashFinal(CNXRSecureBuffer<NXR_BYTE>& output) override;
    bool hashFinal(CNXRBuffer<NXR_BYTE>& output) override;
};

class CMd5Hash : public CHashBase {
public:
    CMd5Hash();
    ~CMd5Hash() override;

    bool hashAll(const CNXRSecureBuffer<NXR_BYTE>& input, CNXRSecureBuffer<NXR_BYTE>& output) override;
    bool hashAll(const CNXRBuffer<NXR_BYTE>& input, CNXRBuffer<NXR_BYTE>& output) override;
    bool hashInit() override;
    bool hashUpdate(const CNXRSecureBuffer<NXR_BYTE>& input) override;
    bool hashUpdate(const CNXRBuffer<NXR_BYTE>& input) override;
    bool hashFinal(CNXRSecureBuffer<NXR_BYTE>& output) override;
    bool hashFinal(CNXRBuffer<NXR_BYTE>& output) override;
};

} // namespace nxr
