// Faults beneath the encryption service, injected through the platform
// seams and the buffer heap hooks: pages that cannot be locked or had, a
// random source that fails, and every allocation of a whole sealing and
// opening failing in turn. Each run either fails (false, a record in the
// log, the output name untouched) or gives exactly the right output.
// Failing disks are covered by the service's own tests.
#include "aeskey.h"
#include "nxr_buffer.h"
#include "nxr_os_random.h"
#include "nxr_os_vmem.h"
#include "nxr_securebuffer.h"
#include "nxr_xmlcrypt.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

using namespace nxr;
using nxrtest::fileExists;
using nxrtest::readFile;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;
using nxrtest::ScratchDir;
using nxrtest::writeFile;

namespace {

using Passphrase = CNXRSecureBuffer<NXR_USHORT>;

const std::string kDocument = "<?xml version=\"1.0\"?>\n<ledger><entry n=\"1\">alpha &amp; omega</entry></ledger>\n";
const std::string kOldContent = "what the output name held before";

Passphrase passphrase(const std::u16string& text) { return Passphrase(text.c_str(), uint32_t(text.size() + 1), 0); }

CNXRWCharString name(const std::string& path) { return CNXRWCharString(path.c_str()); }

// Counts the buffer allocations and makes number g_ulFailAt (from 1) fail.
// The XML check runs on a thread of its own, so the count is shared (and
// which allocation comes Nth may vary from run to run).
std::atomic<uint64_t> g_ulAllocations{0};
std::atomic<uint64_t> g_ulFailAt{0};

void* countingAlloc(size_t ulBytes)
{
    if (++g_ulAllocations == g_ulFailAt)
        return nullptr;
    return ::operator new[](ulBytes, std::nothrow);
}

void plainFree(void* p, size_t) { ::operator delete[](p); }

const CNXRHeapHooks kCountingHooks = {countingAlloc, plainFree};

// Installs the counting hooks for its lifetime.
class CScopedAllocationFault {
public:
    explicit CScopedAllocationFault(uint64_t ulFailAt)
    {
        g_ulAllocations = 0;
        g_ulFailAt = ulFailAt;
        nxrSetHeapHooks(&kCountingHooks);
    }
    ~CScopedAllocationFault() { nxrSetHeapHooks(nullptr); }
    uint64_t allocations() const { return g_ulAllocations; }
};

// Counts the secure blocks handed back to the kernel.
uint32_t g_ulReleasedPages = 0;
void countRelease(const void*, size_t) { ++g_ulReleasedPages; }

std::vector<std::string> temporariesIn(const ScratchDir& dir)
{
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().find(".tmp") != std::string::npos)
            found.push_back(entry.path().string());
    return found;
}

size_t linesContaining(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

// A document and its container, sealed once without faults, in a folder of
// their own.
class FaultInjection : public ::testing::Test {
protected:
    ScratchDir dir;
    CNXRXmlCrypt service;
    const Passphrase pass = passphrase(u"correct horse");
    const std::string doc = dir.file("ledger.xml");
    const std::string container = doc + ".enc";
    std::string sealed; // the container a fault-free run writes
    // A second container, opened by the decryption runs.
    const std::string restored = dir.file("copy.xml");
    const std::string copy = restored + ".enc";

    void SetUp() override
    {
        writeFile(doc, kDocument);
        ASSERT_TRUE(service.encryptXMLFile(name(doc), 2, &pass));
        sealed = readFile(container);
        std::filesystem::remove(container);
    }

    bool seal() { return service.encryptXMLFile(name(doc), 2, &pass); }

    // Opens a container written beside a copy of the document's name.
    bool open(const std::string& path) { return service.decryptXMLFile(name(path), &pass); }

    // A run that reported bDone left the right bytes under the output name;
    // one that failed left what was there before (or nothing). The inputs
    // are never touched.
    void expectOutcome(bool bDone, const std::string& output, const std::string& expected, const std::string* pOld)
    {
        EXPECT_EQ(readFile(doc), kDocument);
        if (fileExists(copy)) {
            EXPECT_EQ(readFile(copy), sealed);
        }
        if (bDone) {
            EXPECT_EQ(readFile(output), expected);
        } else if (pOld) {
            EXPECT_EQ(readFile(output), *pOld);
        } else {
            EXPECT_FALSE(fileExists(output));
        }
        EXPECT_EQ(temporariesIn(dir), std::vector<std::string>());
    }
};

} // namespace

TEST_F(FaultInjection, PagesThatCannotBeLockedStillWorkAndAreReported)
{
    ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_WARNING | NXR_LEVEL_CRITICAL | NXR_LEVEL_EXCEPTION_BAD);
    {
        os::CScopedVmemFault noLock(os::VmemOp::Lock, ENOMEM);
        ASSERT_TRUE(seal());
        writeFile(copy, readFile(container));
        ASSERT_TRUE(open(copy));
    }
    EXPECT_EQ(readFile(container), sealed);
    EXPECT_EQ(readFile(restored), kDocument);
    const auto lines = readLogLines(reg.logPath());
    EXPECT_GT(linesContaining(lines, "\"VirtualLock of buffer failed\" <Error: 0x0000000c>"), 0u);
    EXPECT_EQ(linesContaining(lines, "VirtualLock"), lines.size());
}

TEST_F(FaultInjection, AFailingRandomSourceFallsBackAndIsReported)
{
    ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_WARNING | NXR_LEVEL_CRITICAL | NXR_LEVEL_EXCEPTION_BAD);
    {
        os::CScopedRandomFailure noRandom(EIO);
        ASSERT_TRUE(seal());
        writeFile(copy, readFile(container));
        ASSERT_TRUE(open(copy));
    }
    // The keys of the container do not come from the random source, so the
    // container is the same; only the secure buffers' own keys are weaker.
    EXPECT_EQ(readFile(container), sealed);
    EXPECT_EQ(readFile(restored), kDocument);
    EXPECT_GT(linesContaining(readLogLines(reg.logPath()), "\"Error during MS Capi function call\" <Error: 0x00000005>"),
              0u);
}

// Each secure block in turn cannot be had: the run fails cleanly or, where
// the block was not needed for the result, succeeds.
TEST_F(FaultInjection, EachSecureBlockFailingInTurn)
{
    writeFile(copy, sealed);

    g_ulReleasedPages = 0;
    os::setVmemReleaseObserverForTesting(countRelease);
    ASSERT_TRUE(seal());
    ASSERT_TRUE(open(copy));
    os::setVmemReleaseObserverForTesting(nullptr);
    const uint32_t ulBlocks = g_ulReleasedPages;
    ASSERT_GE(ulBlocks, 2u); // the working copies of the passphrase
    std::filesystem::remove(container);
    std::filesystem::remove(restored);

    ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_CRITICAL | NXR_LEVEL_EXCEPTION_BAD);
    // A failed run leaves the refused allocation in the log.
    size_t ulRecords = 0;
    const auto expectRecord = [&](bool bDone) {
        const size_t ulNow = linesContaining(readLogLines(reg.logPath()), "Unable to allocate memory ( this->m_pBuffer )");
        if (!bDone) {
            EXPECT_GT(ulNow, ulRecords);
        }
        ulRecords = ulNow;
    };
    size_t ulFailed = 0;
    for (uint32_t n = 1; n <= ulBlocks; ++n) {
        SCOPED_TRACE("secure block " + std::to_string(n));
        bool bSealed = false, bOpened = false;
        {
            os::CScopedVmemFault noPages(os::VmemOp::Alloc, ENOMEM, n, 1);
            bSealed = seal();
        }
        expectOutcome(bSealed, container, sealed, nullptr);
        expectRecord(bSealed);
        {
            os::CScopedVmemFault noPages(os::VmemOp::Alloc, ENOMEM, n, 1);
            bOpened = open(copy);
        }
        expectOutcome(bOpened, restored, kDocument, nullptr);
        expectRecord(bOpened);
        ulFailed += !bSealed + !bOpened;
        std::filesystem::remove(container);
        std::filesystem::remove(restored);
    }
    EXPECT_GT(ulFailed, 0u);
}

// Allocation number N of the buffers fails, for N = 1, 2, ... until a run
// makes fewer than N allocations: every run fails with a record in the log
// and leaves the output name as it was, or writes exactly the right output.
// Half the runs find an older file under the output name, half find none.
TEST_F(FaultInjection, EachBufferAllocationFailingInTurn)
{
    ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_CRITICAL | NXR_LEVEL_EXCEPTION_BAD);
    writeFile(copy, sealed);

    const auto runAll = [&](bool bDecrypt) {
        const std::string output = bDecrypt ? restored : container;
        const std::string expected = bDecrypt ? kDocument : sealed;
        size_t ulFailures = 0;
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE((bDecrypt ? "decryption, allocation " : "encryption, allocation ") + std::to_string(n));
            const bool bOld = n % 2 == 0;
            if (bOld)
                writeFile(output, kOldContent);
            else
                std::filesystem::remove(output);
            const size_t ulLinesBefore = readLogLines(reg.logPath()).size();
            bool bDone = false;
            uint64_t ulMade = 0;
            {
                CScopedAllocationFault fault(n);
                bDone = bDecrypt ? open(copy) : seal();
                ulMade = fault.allocations();
            }
            expectOutcome(bDone, output, expected, bOld ? &kOldContent : nullptr);
            if (ulMade < n) {
                EXPECT_TRUE(bDone) << "a run without a fault failed";
                break;
            }
            if (!bDone) {
                ++ulFailures;
                const auto lines = readLogLines(reg.logPath());
                const std::vector<std::string> added(lines.begin() + long(std::min(ulLinesBefore, lines.size())),
                                                     lines.end());
                EXPECT_GT(linesContaining(added, "Unable to allocate memory"), 0u);
            }
            if (::testing::Test::HasFailure())
                break;
        }
        return ulFailures;
    };
    EXPECT_GT(runAll(false), 20u);
    EXPECT_GT(runAll(true), 20u);
}

// The same for the key derivation alone, where every allocation comes in a
// fixed order: a derivation that lost a buffer on the way must fail, never
// hand back a key built from a chain cut short.
TEST(FaultInjectionKeys, EachAllocationOfADerivationFailingInTurn)
{
    const std::string text = "correct horse";
    const CNXRBuffer<NXR_BYTE> passphrase(reinterpret_cast<const NXR_BYTE*>(text.data()), uint32_t(text.size()), 0);
    const CNXRBuffer<NXR_BYTE> salt;
    CAesKey reference;
    ASSERT_TRUE(reference.deriveKey(passphrase, salt, 10));
    CNXRBuffer<NXR_BYTE> expected;
    ASSERT_TRUE(reference.getKey(expected));
    const std::string expectedKey(reinterpret_cast<const char*>(expected.getBuffer()), expected.getNumElems());

    size_t ulFailures = 0;
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        bool bDerived = false;
        uint64_t ulMade = 0;
        std::string derivedKey;
        {
            // Every block made under the hooks goes back under them.
            CScopedAllocationFault fault(n);
            CAesKey key;
            bDerived = key.deriveKey(passphrase, salt, 10);
            ulMade = fault.allocations();
            g_ulFailAt = 0;
            CNXRBuffer<NXR_BYTE> got;
            if (bDerived && key.getKey(got))
                derivedKey.assign(reinterpret_cast<const char*>(got.getBuffer()), got.getNumElems());
        }
        if (bDerived) {
            EXPECT_EQ(derivedKey, expectedKey);
        }
        ulFailures += !bDerived;
        if (ulMade < n || ::testing::Test::HasFailure())
            break;
    }
    EXPECT_GT(ulFailures, 10u);
}
