// Faults beneath the encryption service, injected through the platform
// seams and the buffer heap hooks: pages that cannot be had, and every
// allocation of a whole sealing and opening failing in turn (unlockable pages
// and a failing random source are met by the secure buffer's tests). Each run either fails (false, a record in the
// log, the output name untouched) or gives exactly the right output.
// Failing disks are covered by the service's own tests.
#include "aeskey.h"
#include "nxr_buffer.h"
#include "nxr_os_vmem.h"
#include "nxr_securebuffer.h"
#include "nxr_xmlcrypt.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

using namespace nxr;
using nxrtest::readFile;
using nxrtest::readLogLines;
using nxrtest::writeFile;

namespace {

using Passphrase = CNXRSecureBuffer<NXR_USHORT>;

const std::string kDocument = "<?xml version=\"1.0\"?>\n<ledger><entry n=\"1\">alpha &amp; omega</entry></ledger>\n";
const std::string kOldContent = "what the output name held before";

// Counts the buffer allocations and makes number g_ulFailAt (from 1) fail.
// The XML check runs on a thread of its own, so the count is shared (and
// which allocation comes Nth may vary from run to run).
std::atomic<uint64_t> g_ulAllocations{0};
std::atomic<uint64_t> g_ulFailAt{0};

void* countingAlloc(size_t ulBytes)
{
    return ++g_ulAllocations == g_ulFailAt ? nullptr : ::operator new[](ulBytes, std::nothrow);
}
void plainFree(void* p, size_t) { ::operator delete[](p); }
const CNXRHeapHooks kCountingHooks = {countingAlloc, plainFree};

// Installs the counting hooks for its lifetime.
struct CScopedAllocationFault {
    explicit CScopedAllocationFault(uint64_t ulFailAt)
    {
        g_ulAllocations = 0;
        g_ulFailAt = ulFailAt;
        nxrSetHeapHooks(&kCountingHooks);
    }
    ~CScopedAllocationFault() { nxrSetHeapHooks(nullptr); }
};

// Counts the secure blocks handed back to the kernel.
uint32_t g_ulReleasedPages = 0;
void countRelease(const void*, size_t) { ++g_ulReleasedPages; }

size_t linesContaining(const std::vector<std::string>& lines, const std::string& text)
{
    return size_t(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

// A document and its container, sealed once without faults; a copy of the
// container under another name is what the opening runs decrypt.
class FaultInjection : public ::testing::Test {
protected:
    nxrtest::ScratchDir dir;
    nxrtest::ScopedRegistry reg;
    CNXRXmlCrypt service;
    const Passphrase pass{u"correct horse", 14, 0};
    const std::string doc = dir.file("ledger.xml");
    const std::string container = doc + ".enc";
    const std::string restored = dir.file("copy.xml");
    const std::string copy = restored + ".enc";
    std::string sealed; // the container a fault-free run writes

    void SetUp() override
    {
        writeFile(doc, kDocument);
        ASSERT_TRUE(seal());
        sealed = readFile(container);
        std::filesystem::remove(container);
        writeFile(copy, sealed);
    }

    bool seal() { return service.encryptXMLFile(CNXRWCharString(doc.c_str()), 2, &pass); }
    bool open() { return service.decryptXMLFile(CNXRWCharString(copy.c_str()), &pass); }

    // Seals (or opens the copy) under the fault that run() sets up, and
    // checks the outcome: true with exactly the right output, or false with
    // a new log record holding failure and the output name as it was (an
    // older file on even n, none on odd). The inputs are never touched and
    // no temporary file stays. Returns whether the run succeeded.
    bool faultedRun(bool bDecrypt, uint64_t n, const std::string& failure, const std::function<bool()>& run)
    {
        const std::string& output = bDecrypt ? restored : container;
        const bool bOld = n % 2 == 0;
        if (bOld)
            writeFile(output, kOldContent);
        else
            std::filesystem::remove(output);
        const size_t ulLinesBefore = readLogLines(reg.logPath()).size();
        const bool bDone = run();
        EXPECT_EQ(readFile(doc), kDocument);
        EXPECT_EQ(readFile(copy), sealed);
        if (bDone || bOld) {
            EXPECT_EQ(readFile(output), !bDone ? kOldContent : bDecrypt ? kDocument : sealed);
        } else {
            EXPECT_FALSE(nxrtest::fileExists(output));
        }
        if (!bDone) {
            const auto lines = readLogLines(reg.logPath());
            EXPECT_GT(linesContaining({lines.begin() + long(std::min(ulLinesBefore, lines.size())), lines.end()}, failure),
                      0u);
        }
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
        return bDone;
    }
};

} // namespace

// Each secure block of a sealing and an opening in turn cannot be had: the
// run fails cleanly or, where the block was not needed for the result,
// succeeds.
TEST_F(FaultInjection, EachSecureBlockFailingInTurn)
{
    g_ulReleasedPages = 0;
    os::setVmemReleaseObserverForTesting(countRelease);
    ASSERT_TRUE(seal());
    ASSERT_TRUE(open());
    os::setVmemReleaseObserverForTesting(nullptr);
    const uint32_t ulBlocks = g_ulReleasedPages;
    ASSERT_GE(ulBlocks, 2u); // the working copies of the passphrase

    reg.enableLogging(NXR_LEVEL_CRITICAL | NXR_LEVEL_EXCEPTION_BAD);
    size_t ulFailed = 0;
    for (uint32_t n = 1; n <= ulBlocks; ++n) {
        for (const bool bDecrypt : {false, true}) {
            SCOPED_TRACE((bDecrypt ? "opening, secure block " : "sealing, secure block ") + std::to_string(n));
            ulFailed += !faultedRun(bDecrypt, n, "Unable to allocate memory ( this->m_pBuffer )", [&] {
                os::CScopedVmemFault noPages(os::VmemOp::Alloc, ENOMEM, n, 1);
                return bDecrypt ? open() : seal();
            });
        }
    }
    EXPECT_GT(ulFailed, 0u);
}

// Buffer allocation N fails, for N = 1, 2, ... until a run makes fewer than
// N allocations (which must then succeed).
TEST_F(FaultInjection, EachBufferAllocationFailingInTurn)
{
    reg.enableLogging(NXR_LEVEL_CRITICAL | NXR_LEVEL_EXCEPTION_BAD);
    for (const bool bDecrypt : {false, true}) {
        size_t ulFailures = 0;
        for (uint64_t n = 1; !HasFailure(); ++n) {
            SCOPED_TRACE((bDecrypt ? "opening, allocation " : "sealing, allocation ") + std::to_string(n));
            uint64_t ulMade = 0;
            const bool bDone = faultedRun(bDecrypt, n, "Unable to allocate memory", [&] {
                const CScopedAllocationFault fault(n);
                const bool bOk = bDecrypt ? open() : seal();
                ulMade = g_ulAllocations;
                return bOk;
            });
            ulFailures += !bDone;
            if (ulMade < n) {
                EXPECT_TRUE(bDone) << "a run without a fault failed";
                break;
            }
        }
        EXPECT_GT(ulFailures, 20u);
    }
}

// The same for the key derivation alone, where every allocation comes in a
// fixed order: a derivation that lost a buffer on the way must fail, never
// hand back a key built from a chain cut short (one once did, at allocation
// 10).
TEST(FaultInjectionKeys, EachAllocationOfADerivationFailingInTurn)
{
    const std::string text = "correct horse";
    const CNXRBuffer<NXR_BYTE> passphrase(reinterpret_cast<const NXR_BYTE*>(text.data()), uint32_t(text.size()), 0);
    const CNXRBuffer<NXR_BYTE> salt;
    const auto keyOf = [](const CAesKey& key) {
        CNXRBuffer<NXR_BYTE> got;
        return key.getKey(got) ? std::string(reinterpret_cast<const char*>(got.getBuffer()), got.getNumElems()) : "";
    };
    CAesKey reference;
    ASSERT_TRUE(reference.deriveKey(passphrase, salt, 10));
    const std::string expectedKey = keyOf(reference);
    ASSERT_FALSE(expectedKey.empty());

    size_t ulFailures = 0;
    for (uint64_t n = 1; !::testing::Test::HasFailure(); ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        // Every block made under the hooks goes back under them.
        const CScopedAllocationFault fault(n);
        CAesKey key;
        const bool bDerived = key.deriveKey(passphrase, salt, 10);
        const uint64_t ulMade = g_ulAllocations;
        g_ulFailAt = 0;
        if (bDerived) {
            EXPECT_EQ(keyOf(key), expectedKey);
        }
        ulFailures += !bDerived;
        if (ulMade < n)
            break;
    }
    EXPECT_GT(ulFailures, 10u);
}
