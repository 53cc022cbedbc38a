// What a whole encryption and a whole decryption leave in the memory they
// give back. Every block is looked at as it is released:
//
//   - buffer blocks (CNXRBuffer, through the heap hooks), secure pages
//     (through the page-release observer) and the parser library's blocks
//     (through its memory manager's observer): all zero;
//   - blocks of the cipher library (through its allocation functions) and of
//     the C++ heap (through a replaced operator new and delete): never the
//     passphrase, the derived key nor the document's text.
//
// Blocks that are never released, and memory that the libraries take with
// malloc behind their own allocators, are not seen.
#include "nxr_buffer.h"
#include "nxr_os_vmem.h"
#include "nxr_securebuffer.h"
#include "nxr_xerces_memory.h"
#include "nxr_xmlcrypt.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <malloc.h>
#include <mutex>
#include <new>
#include <string>
#include <vector>

using namespace nxr;

namespace {

// What must not be left behind, and where each kind of block was found.
enum Origin { kBufferHeap, kSecurePages, kParser, kCipherLibrary, kCxxHeap, kOrigins };
const char* const kOriginNames[] = {"buffer heap", "secure pages", "parser", "cipher library", "C++ heap"};

struct Findings {
    std::atomic<bool> armed{false};
    std::vector<std::pair<std::string, std::string>> needles; // name, bytes
    // Per origin: blocks released, blocks not all zero, and per needle the
    // blocks that held it.
    uint64_t released[kOrigins] = {};
    uint64_t nonZero[kOrigins] = {};
    std::vector<uint64_t> found[kOrigins];
};

Findings& findings()
{
    static Findings* s_findings = new Findings; // outlives every release
    return *s_findings;
}

// Looks at a block that is being released, on whichever thread (the XML
// check runs on one of its own). Releases made while looking are not looked
// at.
thread_local bool t_bInside = false;
std::mutex g_inspectMutex;

void inspect(Origin origin, const void* p, size_t ulBytes)
{
    Findings& f = findings();
    if (!f.armed.load() || p == nullptr || t_bInside)
        return;
    t_bInside = true;
    const std::lock_guard<std::mutex> lock(g_inspectMutex);
    ++f.released[origin];
    const auto* bytes = static_cast<const unsigned char*>(p);
    if (std::any_of(bytes, bytes + ulBytes, [](unsigned char b) { return b != 0; })) {
        ++f.nonZero[origin];
        for (size_t n = 0; n < f.needles.size(); ++n)
            f.found[origin][n] += ::memmem(p, ulBytes, f.needles[n].second.data(), f.needles[n].second.size()) != nullptr;
    }
    t_bInside = false;
}

// Buffer blocks come with their size, and so do secure pages.
void* bufferAlloc(size_t ulBytes) { return std::malloc(ulBytes); }
void bufferFree(void* p, size_t ulBytes) { inspect(kBufferHeap, p, ulBytes), std::free(p); }
const CNXRHeapHooks kBufferHooks = {bufferAlloc, bufferFree};
void pagesReleased(const void* p, size_t ulBytes) { inspect(kSecurePages, p, ulBytes); }
void parserReleased(const void* p, size_t ulBytes) { inspect(kParser, p, ulBytes); }

// ---- Blocks with a size header, for the library whose release calls do not
// carry the size.
constexpr size_t kHeader = 16;

void* headedAlloc(size_t ulBytes)
{
    auto* p = static_cast<unsigned char*>(std::malloc(ulBytes + kHeader));
    return p ? static_cast<unsigned char*>(std::memcpy(p, &ulBytes, sizeof(ulBytes))) + kHeader : nullptr;
}

size_t headedSize(void* p)
{
    size_t ulBytes = 0;
    std::memcpy(&ulBytes, static_cast<unsigned char*>(p) - kHeader, sizeof(ulBytes));
    return ulBytes;
}

void headedFree(Origin origin, void* p)
{
    if (p != nullptr)
        inspect(origin, p, headedSize(p)), std::free(static_cast<unsigned char*>(p) - kHeader);
}

void* orThrow(void* p) { return p ? p : throw std::bad_alloc(); }

// The cipher library's allocation functions: set before it allocates
// anything, which is why this runs while the program starts.
void* cryptoMalloc(size_t ulBytes, const char*, int) { return headedAlloc(ulBytes); }
void cryptoFree(void* p, const char*, int) { headedFree(kCipherLibrary, p); }
void* cryptoRealloc(void* p, size_t ulBytes, const char* file, int line)
{
    // A moved block is a released block: copy, then release the old one.
    void* pNew = cryptoMalloc(ulBytes, file, line);
    if (pNew != nullptr && p != nullptr)
        std::memcpy(pNew, p, std::min(ulBytes, headedSize(p)));
    if (pNew != nullptr || ulBytes == 0)
        cryptoFree(p, file, line);
    return pNew;
}
const bool g_bCipherLibraryObserved = CRYPTO_set_mem_functions(cryptoMalloc, cryptoRealloc, cryptoFree) == 1;

// The C++ heap of this program.
void* cxxAllocate(size_t ulBytes) noexcept { return std::malloc(ulBytes ? ulBytes : 1); }
void cxxRelease(void* p) noexcept
{
    if (p != nullptr)
        inspect(kCxxHeap, p, ::malloc_usable_size(p));
    std::free(p);
}

} // namespace

void* operator new(size_t ulBytes) { return orThrow(cxxAllocate(ulBytes)); }
void* operator new[](size_t ulBytes) { return orThrow(cxxAllocate(ulBytes)); }
void* operator new(size_t ulBytes, const std::nothrow_t&) noexcept { return cxxAllocate(ulBytes); }
void* operator new[](size_t ulBytes, const std::nothrow_t&) noexcept { return cxxAllocate(ulBytes); }
void operator delete(void* p) noexcept { cxxRelease(p); }
void operator delete[](void* p) noexcept { cxxRelease(p); }
void operator delete(void* p, size_t) noexcept { cxxRelease(p); }
void operator delete[](void* p, size_t) noexcept { cxxRelease(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { cxxRelease(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { cxxRelease(p); }

namespace {

std::string utf16le(const std::u16string& text)
{
    std::string out;
    for (const char16_t c : text)
        out += std::string{char(c & 0xFF), char(c >> 8)};
    return out;
}

std::string sha1(const std::string& data)
{
    std::string digest(20, '\0');
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), reinterpret_cast<unsigned char*>(digest.data()), nullptr,
                         EVP_sha1(), nullptr),
              1);
    return digest;
}

// The AES-256 key of key mode 2: SHA-1 applied ten times in a chain to the
// passphrase bytes (UTF-16LE with the terminating zero), then the first 12
// bytes of SHA-1 of the passphrase bytes.
std::string modeTwoKey(const std::u16string& passphrase)
{
    const std::string bytes = utf16le(passphrase) + std::string(2, '\0');
    std::string chain = bytes;
    for (int i = 0; i < 10; ++i)
        chain = sha1(chain);
    return chain + sha1(bytes).substr(0, 12);
}

const std::u16string kPassphrase = u"Tr0ub4dor&3 wipe check";
const std::string kMarker = "CONFIDENTIAL-7f3a9c1e-payroll";
const std::string kDocument = "<?xml version=\"1.0\"?>\n<memo><body>" + kMarker + "</body></memo>\n";

} // namespace

TEST(Wiping, ReleasedMemoryHoldsNoSecretAcrossAWholeEncryptionAndDecryption)
{
    Findings& f = findings();
    f.needles = {{"passphrase (UTF-16LE)", utf16le(kPassphrase)},
                 {"derived key", modeTwoKey(kPassphrase)},
                 {"derived key, first half", modeTwoKey(kPassphrase).substr(0, 16)},
                 {"document text (UTF-8)", kMarker},
                 {"document text (UTF-16LE)", utf16le(std::u16string(kMarker.begin(), kMarker.end()))}};
    for (auto& counts : f.found)
        counts.assign(f.needles.size(), 0);

    nxrtest::ScratchDir dir;
    const std::string doc = dir.file("memo.xml");
    nxrtest::writeFile(doc, kDocument);
    {
        const CNXRSecureBuffer<NXR_USHORT> pass(kPassphrase.c_str(), uint32_t(kPassphrase.size() + 1), 0);
        CNXRXmlCrypt service;

        nxrSetHeapHooks(&kBufferHooks);
        os::setVmemReleaseObserverForTesting(pagesReleased);
        CNXRParserMemory::setReleaseObserverForTesting(parserReleased);
        f.armed = true;
        const bool bSealed = service.encryptXMLFile(CNXRWCharString(doc.c_str()), 2, &pass);
        std::remove(doc.c_str());
        const bool bOpened = bSealed && service.decryptXMLFile(CNXRWCharString((doc + ".enc").c_str()), &pass);
        f.armed = false;
        CNXRParserMemory::setReleaseObserverForTesting(nullptr);
        os::setVmemReleaseObserverForTesting(nullptr);
        nxrSetHeapHooks(nullptr);

        ASSERT_TRUE(bSealed && bOpened);
        EXPECT_EQ(nxrtest::readFile(doc), kDocument);
    }

    // Each kind of block was seen at work.
    EXPECT_GT(f.released[kBufferHeap], 100u);
    EXPECT_GE(f.released[kSecurePages], 2u); // the working copies of the passphrase
    EXPECT_GT(f.released[kParser], 10u);
    EXPECT_GT(f.released[kCxxHeap], 0u);
    if (g_bCipherLibraryObserved)
        EXPECT_GT(f.released[kCipherLibrary], 0u);
    else
        std::cout << "[ NOTE     ] the cipher library allocated before its functions could be replaced; "
                     "its blocks are not checked\n";

    EXPECT_EQ(f.nonZero[kBufferHeap], 0u) << "buffer blocks released without being wiped";
    EXPECT_EQ(f.nonZero[kSecurePages], 0u) << "secure pages released without being wiped";
    EXPECT_EQ(f.nonZero[kParser], 0u) << "parser blocks released without being wiped";
    for (int origin = 0; origin < kOrigins; ++origin)
        for (size_t n = 0; n < f.needles.size(); ++n)
            EXPECT_EQ(f.found[origin][n], 0u) << f.needles[n].first << " in released " << kOriginNames[origin];
}
