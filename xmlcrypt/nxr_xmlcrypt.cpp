#include "nxr_xmlcrypt.h"

#include "nxr_guard.h"
#include "nxr_xmlcrypt_road.h"

#include <unistd.h>

#include <optional>
#include <span>

namespace nxr {

const char16_t* g_pszBuiltInPassphrase = u"{3C7A9F12-B4E6-4a0b-9A5C-7E21D8F4B603}";
const char16_t* g_pszXmlSuffix = u".xml";
const char16_t* g_pszEncSuffix = u".enc";

namespace {

// Whether name ends with suffix, as found by a reverse search for its last
// occurrence.
bool endsWith(const CNXRWCharString& name, const CNXRWCharString& suffix)
{
    uint32_t ulPos = 0;
    if (!name.getSubStringPos(suffix, 1, CNXRWCharString::pmReverse, &ulPos))
        return false;
    return name.getLength() != 0 && suffix.getLength() != 0 && name.getLength() - ulPos == suffix.getLength();
}

// Whether a name ends with ".xml" in any letter case: such a file is plain.
bool isPlainName(const CNXRWCharString& fileName)
{
    CNXRWCharString lower(fileName);
    lower.toLower();
    return endsWith(lower, CNXRWCharString(g_pszXmlSuffix));
}

// Whether a container's recorded document length fits the deciphered data. A
// length beyond it belongs to a damaged container or another program's: it
// is refused rather than padded. A length of 0 makes no document.
bool recordedLengthFits(uint32_t ulPlainLength, uint32_t ulAvailable)
{
    if (ulPlainLength == 0)
        NXR_THROW(CBadArgException, u"ulSize", u"value is 0");
    return ulPlainLength <= ulAvailable;
}

// Moves a document from reader to sink in pieces, the check following; true
// when every piece passed and the check found a well-formed document. A
// refused document stops the road at the piece where the check gave up.
template <class Sink>
bool runRoad(CNXRDocumentReader& reader, CNXRRoadCheck& check, CNXRProgress* pProgress, Sink&& sink)
{
    uint64_t ullDone = 0;
    for (std::span<const NXR_BYTE> piece = reader.next(); !piece.empty(); piece = reader.next()) {
        if (!check.feed(piece))
            return check.verdict() && false;
        sink(piece);
        ullDone += piece.size();
        if (pProgress)
            pProgress->advanced(ullDone, reader.length());
    }
    return check.verdict();
}

} // namespace

#define NXR_CRYPT_TRACE(method) NXR_TRACE(u"CNXRXmlCrypt", method)

CNXRXmlCrypt::CNXRXmlCrypt()
{
    NXR_CRYPT_TRACE(u"Default Constructor");
    nxrTrace.setResult(true);
}

CNXRXmlCrypt::~CNXRXmlCrypt()
{
    NXR_CRYPT_TRACE(u"Destructor");
    nxrTrace.setResult(true);
}

void CNXRXmlCrypt::setProgress(CNXRProgress* pProgress)
{
    NXR_CRYPT_TRACE(u"setProgress");
    m_pProgress = pProgress;
    nxrTrace.setResult(true);
}

bool CNXRXmlCrypt::encryptXMLBuffer(const CNXRBuffer<NXR_BYTE>* pPlain, CNXRBuffer<NXR_BYTE>* pCipher,
                                    int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"encryptXMLBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (pPlain == nullptr || pCipher == nullptr)
            return false;
        const std::unique_ptr<CSymKeyBase> key = nxrDeriveModeKey(lKeyMode, pPassphrase);
        if (!key)
            return false;
        CNXRBuffer<NXR_BYTE> cipher;
        if (!key->encrypt(*pPlain, cipher))
            return false;
        const uint32_t ulCipher = cipher.getNumElems();
        *pCipher = std::move(cipher);
        return pCipher->getNumElems() == ulCipher;
    });
}

bool CNXRXmlCrypt::decryptXMLBuffer(const CNXRBuffer<NXR_BYTE>* pCipher, CNXRBuffer<NXR_BYTE>* pPlain,
                                    uint32_t ulPlainLength, int32_t lKeyMode,
                                    const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"decryptXMLBuffer");
    return nxrGuard(nxrTrace, false, [&] {
        if (pCipher == nullptr || pPlain == nullptr)
            return false;
        const std::unique_ptr<CSymKeyBase> key = nxrDeriveModeKey(lKeyMode, pPassphrase);
        if (!key)
            return false;
        CNXRBuffer<NXR_BYTE> plain;
        if (!key->decrypt(*pCipher, plain))
            return false;
        if (!recordedLengthFits(ulPlainLength, plain.getNumElems()) || !plain.reAllocBuffer(ulPlainLength))
            return false;
        *pPlain = std::move(plain);
        return pPlain->getNumElems() == ulPlainLength;
    });
}

bool CNXRXmlCrypt::getFileBuffer(CNXRWCharString fileName, CNXRBuffer<NXR_BYTE>* pBuffer)
{
    NXR_CRYPT_TRACE(u"getFileBuffer");
    return nxrGuard(nxrTrace, false,
                    [&] { return pBuffer != nullptr && readDocument(fileName, true, *pBuffer, nullptr); });
}

bool CNXRXmlCrypt::loadXMLBufferFromEncryptedFile(CNXRWCharString fileName, CNXRBuffer<NXR_BYTE>* pXml,
                                                  const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"loadXMLBufferFromEncryptedFile");
    return nxrGuard(nxrTrace, false, [&] {
        return pXml != nullptr && readDocument(fileName, isPlainName(fileName), *pXml, pPassphrase);
    });
}

bool CNXRXmlCrypt::readDocument(const CNXRWCharString& fileName, bool bPlain, CNXRBuffer<NXR_BYTE>& document,
                                const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"readDocument");
    return nxrGuard(nxrTrace, false, [&] {
        CNXRInputFile input(fileName);
        std::optional<CNXRDocumentReader> reader;
        if (bPlain)
            reader.emplace(input);
        else
            reader.emplace(input, pPassphrase);
        const uint32_t ulLength = static_cast<uint32_t>(reader->length());
        CNXRBuffer<NXR_BYTE> whole(ulLength);
        if (ulLength != 0 && !whole.isValid())
            NXR_THROW(CMemAllocException, u"document");
        uint32_t ulDone = 0;
        for (std::span<const NXR_BYTE> piece = reader->next(); !piece.empty(); piece = reader->next()) {
            std::copy(piece.begin(), piece.end(), whole.getBuffer() + ulDone);
            ulDone += static_cast<uint32_t>(piece.size());
        }
        document = std::move(whole);
        return document.getNumElems() == ulLength;
    });
}

bool CNXRXmlCrypt::flushBufferToDisk(CNXRWCharString fileName, const CNXRBuffer<NXR_BYTE>* pData,
                                     uint32_t ulPermissions)
{
    NXR_CRYPT_TRACE(u"flushBufferToDisk");
    return nxrGuard(nxrTrace, false, [&] {
        if (pData == nullptr)
            return false;
        CNXROutputFile output(fileName, ulPermissions);
        output.write(pData->getBuffer(), pData->getNumElems());
        output.commit();
        return true;
    });
}

bool CNXRXmlCrypt::storeXMLBufferToEncryptedFile(const CNXRBuffer<NXR_BYTE>* pXml, CNXRWCharString outFileName,
                                                 int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase,
                                                 uint32_t ulPermissions)
{
    NXR_CRYPT_TRACE(u"storeXMLBufferToEncryptedFile");
    return nxrGuard(nxrTrace, false, [&] {
        if (pXml == nullptr || !nxrIsKnownKeyMode(lKeyMode))
            return false;
        if (!nxrFitsContainer(pXml->getNumElems(), lKeyMode))
            NXR_THROW(CBadArgException, u"ulSize", u"value is too large for the container format");
        CNXROutputFile output(outFileName, ulPermissions);
        CNXRContainerWriter writer(output, lKeyMode, pPassphrase, pXml->getNumElems());
        writer.write({pXml->getBuffer(), pXml->getNumElems()});
        writer.finish();
        output.commit();
        return true;
    });
}

bool CNXRXmlCrypt::encryptXMLFile(CNXRWCharString fileName, int32_t lKeyMode,
                                  const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"encryptXMLFile");
    return nxrGuard(nxrTrace, false, [&] {
        CNXRInputFile input(fileName);
        if (!nxrIsKnownKeyMode(lKeyMode))
            NXR_THROW(CBadArgException, u"lKeyMode", u"value is not 1, 2 or 3");
        // A string that cannot get its memory comes out empty: check the
        // name, or a failed allocation would make the output the input.
        const CNXRWCharString suffix(g_pszEncSuffix);
        const CNXRWCharString outFileName = fileName + suffix;
        if (suffix.getLength() == 0 || outFileName.getLength() != fileName.getLength() + suffix.getLength())
            return false;
        return sealInto(input, isPlainName(fileName), outFileName, lKeyMode, pPassphrase);
    });
}

bool CNXRXmlCrypt::decryptXMLFile(CNXRWCharString fileName, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"decryptXMLFile");
    return nxrGuard(nxrTrace, false, [&] {
        CNXRInputFile input(fileName);
        // The output is the name without ".enc", which must end it exactly;
        // a name that is only ".enc" leaves nothing.
        const uint32_t ulSuffix = CNXRWCharString(g_pszEncSuffix).getLength();
        if (!endsWith(fileName, CNXRWCharString(g_pszEncSuffix)) || fileName.getLength() <= ulSuffix)
            NXR_THROW(CInvalidFileException, fileName.view());
        const CNXRBuffer<NXR_USHORT> stem(fileName.getBuffer(), fileName.getLength() - ulSuffix, 0);
        const CNXRWCharString outFileName(stem);
        if (outFileName.getLength() == 0)
            return false;
        return openInto(input, outFileName, input.permissions(), pPassphrase);
    });
}

bool CNXRXmlCrypt::encryptXMLFileTo(CNXRWCharString fileName, CNXRWCharString outFileName, int32_t lKeyMode,
                                    const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"encryptXMLFileTo");
    return nxrGuard(nxrTrace, false, [&] {
        if (fileName.getLength() != 0) {
            CNXRInputFile input(fileName);
            if (!nxrIsKnownKeyMode(lKeyMode))
                NXR_THROW(CBadArgException, u"lKeyMode", u"value is not 1, 2 or 3");
            return sealInto(input, isPlainName(fileName), outFileName, lKeyMode, pPassphrase);
        }
        // Standard input has no size up front. Its first window is read
        // ahead: a document that ends within it is checked as a file of its
        // size is. A longer one is not held whole either way; it is checked
        // as it is sealed into a scratch file, under the limits of a document
        // of the bytes read ahead. Those can only be stricter than its own:
        // only a refusal at a limit that grows with the size is not final,
        // and the sealed container is then opened again for the check.
        CNXRInputFile input(os::fileDuplicate(STDIN_FILENO), CNXRWCharString(u"standard input"));
        CNXRDocumentReader reader(input);
        CNXRReadAhead document(reader, NXR_ROAD_CHECK_WINDOW + 1);
        const bool bWhole = document.whole();
        // Nothing came: refused by the check as an empty file is, rather than
        // as a container that records no document.
        if (bWhole && document.held() == 0)
            return CNXRRoadCheck(0, NxrMarkupLimits::Apply).verdict();
        CNXRSpillFile spill;
        {
            CNXRContainerWriter writer(spill, lKeyMode, pPassphrase, bWhole ? document.held() : 0);
            std::optional<CNXRRoadCheck> check(std::in_place, document.held(), NxrMarkupLimits::Apply, !bWhole);
            const auto decided = [&] { return bWhole || !check->overBudget(); };
            for (std::span<const NXR_BYTE> piece = document.next(); !piece.empty(); piece = document.next()) {
                if (check && !check->feed(piece)) {
                    if (decided())
                        return check->verdict();
                    check.reset();
                }
                writer.write(piece);
            }
            writer.finish();
            if (check && !decided())
                check.reset();
            if (check ? !check->verdict() : !checkSpilled(spill, pPassphrase, true))
                return false;
        }
        if (outFileName.getLength() == 0) {
            CNXRStandardOutput output;
            output.append(spill);
            return true;
        }
        CNXROutputFile output(outFileName, NXR_DEFAULT_FILE_MODE);
        output.append(spill);
        output.commit();
        return true;
    });
}

bool CNXRXmlCrypt::decryptXMLFileTo(CNXRWCharString fileName, CNXRWCharString outFileName,
                                    const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"decryptXMLFileTo");
    return nxrGuard(nxrTrace, false, [&] {
        if (fileName.getLength() != 0 && outFileName.getLength() != 0) {
            CNXRInputFile input(fileName);
            return openInto(input, outFileName, input.permissions(), pPassphrase);
        }
        // A container from standard input is read as it comes, and one whose
        // document goes to standard output is first held whole: either way
        // into a scratch file, which only ever holds ciphertext.
        uint32_t ulNewMode = NXR_DEFAULT_FILE_MODE;
        std::optional<CNXRInputFile> input;
        if (fileName.getLength() == 0)
            input.emplace(os::fileDuplicate(STDIN_FILENO), CNXRWCharString(u"standard input"));
        else
            ulNewMode = input.emplace(fileName).permissions();
        CNXRSpillFile spill;
        spill.fill(*input, NXR_MAX_CONTAINER_BYTES);
        input.reset();
        if (outFileName.getLength() != 0)
            return openInto(spill.input(), outFileName, ulNewMode, pPassphrase);
        // Checked first, then deciphered again onto standard output.
        if (!checkSpilled(spill, pPassphrase, false))
            return false;
        CNXRDocumentReader reader(spill.input(), pPassphrase);
        CNXRStandardOutput output;
        for (std::span<const NXR_BYTE> piece = reader.next(); !piece.empty(); piece = reader.next())
            output.write(piece.data(), piece.size());
        return true;
    });
}

bool CNXRXmlCrypt::sealInto(CNXRInputFile& input, bool bPlain, const CNXRWCharString& outFileName,
                            int32_t lKeyMode, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"sealInto");
    return nxrGuard(nxrTrace, false, [&] {
        // A container as input is opened with its own mode and no passphrase:
        // only a mode-1 container can be sealed again.
        const CNXRSecureBuffer<NXR_USHORT> noPassphrase;
        std::optional<CNXRDocumentReader> reader;
        if (bPlain)
            reader.emplace(input);
        else
            reader.emplace(input, &noPassphrase);
        if (!nxrFitsContainer(reader->length(), lKeyMode))
            NXR_THROW(CBadArgException, u"ulSize", u"value is too large for the container format");
        // Standard output gets the container only after the verdict: it is
        // held in a scratch file until then.
        std::optional<CNXROutputFile> output;
        std::optional<CNXRSpillFile> spill;
        CNXRByteSink& sink = outFileName.getLength() != 0
                                 ? static_cast<CNXRByteSink&>(output.emplace(outFileName, input.permissions()))
                                 : spill.emplace();
        CNXRContainerWriter writer(sink, lKeyMode, pPassphrase, static_cast<uint32_t>(reader->length()));
        CNXRRoadCheck check(reader->length(), NxrMarkupLimits::Apply);
        if (!runRoad(*reader, check, m_pProgress, [&](std::span<const NXR_BYTE> piece) { writer.write(piece); }))
            return false;
        writer.finish();
        if (output) {
            output->commit();
        } else {
            CNXRStandardOutput standardOutput;
            standardOutput.append(*spill);
        }
        return true;
    });
}

bool CNXRXmlCrypt::openInto(CNXRInputFile& input, const CNXRWCharString& outFileName, uint32_t ulNewMode,
                            const CNXRSecureBuffer<NXR_USHORT>* pPassphrase)
{
    NXR_CRYPT_TRACE(u"openInto");
    return nxrGuard(nxrTrace, false, [&] {
        CNXRDocumentReader reader(input, pPassphrase);
        CNXROutputFile output(outFileName, ulNewMode);
        CNXRRoadCheck check(reader.length(), NxrMarkupLimits::Waive);
        if (!runRoad(reader, check, m_pProgress,
                     [&](std::span<const NXR_BYTE> piece) { output.write(piece.data(), piece.size()); }))
            return false;
        output.commit();
        return true;
    });
}

bool CNXRXmlCrypt::checkSpilled(CNXRSpillFile& spill, const CNXRSecureBuffer<NXR_USHORT>* pPassphrase,
                                bool bSealing)
{
    NXR_CRYPT_TRACE(u"checkSpilled");
    return nxrGuard(nxrTrace, false, [&] {
        CNXRDocumentReader reader(spill.input(), pPassphrase);
        CNXRRoadCheck check(reader.length(), bSealing ? NxrMarkupLimits::Apply : NxrMarkupLimits::Waive);
        return runRoad(reader, check, m_pProgress, [](std::span<const NXR_BYTE>) {});
    });
}

} // namespace nxr
