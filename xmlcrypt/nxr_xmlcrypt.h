// CNXRXmlCrypt: seals XML documents into containers and opens them.
//
// A container is the key mode (one byte), three zero bytes, the document's
// length (unsigned 32-bit, little-endian), then the ciphertext of the whole
// document to the end of the file. Key modes: 1 the built-in passphrase with
// AES-256, 2 the caller's passphrase with AES-256, 3 the caller's passphrase
// with Triple-DES. Every operation returns false on failure (the reason is in
// the log) and lets no exception out.
#pragma once
#include "nxr_buffer.h"
#include "nxr_securebuffer.h"
#include "nxr_wchar_string.h"

#include <cstdint>

namespace nxr {

// The built-in passphrase of key mode 1, and the two file suffixes.
extern const char16_t* g_pszBuiltInPassphrase;
extern const char16_t* g_pszXmlSuffix;
extern const char16_t* g_pszEncSuffix;

// Permission bits for a new output when there is no input to take them from.
inline constexpr uint32_t NXR_DEFAULT_FILE_MODE = 0666;

// Told how far the file operations have come, after each piece.
class CNXRProgress {
public:
    virtual ~CNXRProgress() = default;
    virtual void advanced(uint64_t ullDone, uint64_t ullTotal) = 0;
};

class CNXRInputFile;
class CNXRSpillFile;

class CNXRXmlCrypt {
public:
    CNXRXmlCrypt();
    ~CNXRXmlCrypt();

    // Who hears how far encryptXMLFile and decryptXMLFile have come (none
    // when null, as at first). Not owned.
    void setProgress(CNXRProgress* pProgress);

    // Enciphers pPlain into pCipher under the key of lKeyMode.
    bool encryptXMLBuffer(const CNXRBuffer<NXR_BYTE>* pPlain, CNXRBuffer<NXR_BYTE>* pCipher, int32_t lKeyMode,
                          const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);
    // Deciphers pCipher and puts its first ulPlainLength bytes in pPlain.
    bool decryptXMLBuffer(const CNXRBuffer<NXR_BYTE>* pCipher, CNXRBuffer<NXR_BYTE>* pPlain,
                          uint32_t ulPlainLength, int32_t lKeyMode,
                          const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);

    // FILE -> FILE.enc, after checking that FILE is XML.
    bool encryptXMLFile(CNXRWCharString fileName, int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);
    // FILE.enc -> FILE, after checking that the document is XML.
    bool decryptXMLFile(CNXRWCharString fileName, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);

    // As encryptXMLFile and decryptXMLFile, into the output the caller names;
    // an input opened this way is a container whatever its name. An empty
    // fileName stands for standard input (a document to seal, a container to
    // open), an empty outFileName for standard output, which receives bytes
    // only once the whole document has passed the check (and, when opening,
    // its padding and recorded length): a failed run writes nothing there.
    bool encryptXMLFileTo(CNXRWCharString fileName, CNXRWCharString outFileName, int32_t lKeyMode,
                          const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);
    bool decryptXMLFileTo(CNXRWCharString fileName, CNXRWCharString outFileName,
                          const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);

    // Reads a document: a name ending in ".xml" (any case) is plain XML,
    // anything else a container deciphered with its own key mode.
    bool loadXMLBufferFromEncryptedFile(CNXRWCharString fileName, CNXRBuffer<NXR_BYTE>* pXml,
                                        const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);
    // Writes a container for pXml. A new file gets ulPermissions (less the
    // umask).
    bool storeXMLBufferToEncryptedFile(const CNXRBuffer<NXR_BYTE>* pXml, CNXRWCharString outFileName,
                                       int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase,
                                       uint32_t ulPermissions = NXR_DEFAULT_FILE_MODE);

    // Reads a whole file.
    bool getFileBuffer(CNXRWCharString fileName, CNXRBuffer<NXR_BYTE>* pBuffer);
    // Writes a whole file atomically: the data goes to an unnamed file in
    // the same folder, is flushed to disk and then takes the name. On any
    // failure the name keeps what it had (or stays absent).
    bool flushBufferToDisk(CNXRWCharString fileName, const CNXRBuffer<NXR_BYTE>* pData,
                           uint32_t ulPermissions = NXR_DEFAULT_FILE_MODE);

private:
    // Seals an input of known size (a plain document, or a mode-1 container
    // sealed again) into outFileName (empty: standard output).
    bool sealInto(CNXRInputFile& input, bool bPlain, const CNXRWCharString& outFileName, int32_t lKeyMode,
                  const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);
    // Opens a container of known size into the named file outFileName.
    bool openInto(CNXRInputFile& input, const CNXRWCharString& outFileName, uint32_t ulNewMode,
                  const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);
    // Checks the document of the container that spill holds: one being
    // sealed (bSealing: the markup limits apply) or opened.
    bool checkSpilled(CNXRSpillFile& spill, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase, bool bSealing);

    // The plain bytes of a file or a container, whole.
    bool readDocument(const CNXRWCharString& fileName, bool bPlain, CNXRBuffer<NXR_BYTE>& document,
                      const CNXRSecureBuffer<NXR_USHORT>* pPassphrase);

    CNXRProgress* m_pProgress = nullptr;
};

} // namespace nxr
