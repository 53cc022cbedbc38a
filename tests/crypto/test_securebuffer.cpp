// The secure buffer: what lies in its block, copies, the operations it
// refuses, page locking, and the wipe before the block is released.
#include "crypto_test_util.h"
#include "nxr_os_vmem.h"
#include "nxr_securebuffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nxr;
using namespace cryptotest;

namespace {

using Wide = CNXRBuffer<NXR_USHORT>;
using SecureWide = CNXRSecureBuffer<NXR_USHORT>;
using SecureBytes = CNXRSecureBuffer<NXR_BYTE>;

const char16_t kPassphrase[] = u"h4rd!";

std::u16string text(const Wide& w)
{
    return w.getNumElems() ? std::u16string(w.getBuffer(), w.getNumElems()) : std::u16string();
}

// The raw block, as the base class sees it.
template <class T>
std::vector<uint8_t> rawBlock(const CNXRSecureBuffer<T>& b)
{
    const T* p = static_cast<const CNXRBuffer<T>&>(b).getBuffer();
    const auto* bytes = reinterpret_cast<const uint8_t*>(p);
    return p ? std::vector<uint8_t>(bytes, bytes + b.getNumElems() * sizeof(T)) : std::vector<uint8_t>();
}

bool contains(const std::vector<uint8_t>& haystack, const void* needle, size_t n)
{
    const auto* p = static_cast<const uint8_t*>(needle);
    return std::search(haystack.begin(), haystack.end(), p, p + n) != haystack.end();
}

} // namespace

TEST(SecureBuffer, BlockNeverHoldsThePlaintext)
{
    const SecureWide secret(kPassphrase, 5, 0);
    EXPECT_EQ(secret.getPlainLength(), 5u);
    EXPECT_TRUE(secret.isValid());
    EXPECT_EQ(text(secret.asBuffer()), u"h4rd!");

    const std::vector<uint8_t> block = rawBlock(secret);
    // 10 bytes of plaintext become one 16-byte block of cipher text.
    ASSERT_EQ(block.size(), 16u);
    EXPECT_EQ(secret.getEncLength(), 8u);
    for (size_t i = 0; i + 2 <= 5; ++i)
        EXPECT_FALSE(contains(block, kPassphrase + i, 2 * sizeof(char16_t))) << "at " << i;

    // Through the read operations, the plaintext.
    Wide part;
    uint32_t ulCount = 3;
    ASSERT_TRUE(secret.readBuffer(part, 1, ulCount));
    EXPECT_EQ(text(part), u"4rd");
    ulCount = 5;
    EXPECT_FALSE(secret.readBuffer(part, 1, ulCount));
}

TEST(SecureBuffer, CopiesEncipherUnderTheirOwnKey)
{
    const SecureWide original(kPassphrase, 5, 0);
    const SecureWide copy(original);
    EXPECT_EQ(text(copy.asBuffer()), u"h4rd!");
    EXPECT_NE(rawBlock(copy), rawBlock(original));

    SecureWide assigned;
    assigned = original;
    EXPECT_EQ(text(assigned.asBuffer()), u"h4rd!");
    EXPECT_NE(rawBlock(assigned), rawBlock(original));
    EXPECT_NE(rawBlock(assigned), rawBlock(copy));

    // Assigning an empty buffer leaves nothing readable.
    assigned = Wide();
    EXPECT_FALSE(assigned.isValid());
    EXPECT_EQ(assigned.asBuffer().getNumElems(), 0u);
}

TEST(SecureBuffer, WritesGrowThePlaintext)
{
    SecureBytes b;
    ASSERT_TRUE(b.writeBuffer(bytesOf("0123456789abcdef"), 0));
    EXPECT_EQ(b.getEncLength(), 32u);
    ASSERT_TRUE(b.writeBuffer(bytesOf("XY"), 15));
    EXPECT_EQ(b.getPlainLength(), 17u);
    EXPECT_EQ(contents(b.asBuffer()), contents(bytesOf("0123456789abcdeXY")));
    EXPECT_FALSE(b.writeBuffer(Bytes(), 0));
    EXPECT_FALSE(b.writeBuffer(bytesOf("Z"), 18)); // past the end of the plaintext
    EXPECT_EQ(contents(b.asBuffer()), contents(bytesOf("0123456789abcdeXY")));
}

TEST(SecureBuffer, SizingAndUnsupportedGrowth)
{
    SecureWide w;
    ASSERT_TRUE(w.allocBuffer(3));
    EXPECT_EQ(w.getNumElems(), 8u); // 6 bytes rounded up to 16
    EXPECT_FALSE(w.allocBuffer(0));
    EXPECT_EQ(w.getNumElems(), 0u);

    // Built with a count and never written: zeros from the block.
    const SecureBytes zeros(5);
    Bytes got;
    uint32_t ulCount = 5;
    ASSERT_TRUE(zeros.readBuffer(got, 0, ulCount));
    EXPECT_EQ(contents(got), std::vector<uint8_t>(5, 0));
    EXPECT_FALSE(zeros.isValid());

    SecureBytes b(bytesOf("abc").getBuffer(), 3, 0);
    const std::vector<uint8_t> before = rawBlock(b);
    EXPECT_FALSE(b.reAllocBuffer(64));
    EXPECT_FALSE(b.appendBuffer(bytesOf("d")));
    b += bytesOf("e");
    EXPECT_EQ(rawBlock(b), before);
    EXPECT_EQ(contents(b.asBuffer()), contents(bytesOf("abc")));
}

TEST(SecureBuffer, BlockIsWipedBeforeItIsReleased)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_WARNING);
    void* pBlock = nullptr;
    size_t ulBytes = 0;
    {
        // A refused release leaves the block mapped, so it can be inspected
        // after the buffer is gone.
        std::optional<os::CScopedVmemFault> keep;
        SecureWide secret(kPassphrase, 5, 0);
        pBlock = static_cast<CNXRBuffer<NXR_USHORT>&>(secret).getBuffer();
        ulBytes = secret.getNumElems() * sizeof(char16_t);
        ASSERT_NE(pBlock, nullptr);
        keep.emplace(os::VmemOp::Free, EIO, 1, 1);
    }
    ASSERT_NE(ulBytes, 0u);
    const auto* p = static_cast<const uint8_t*>(pBlock);
    EXPECT_TRUE(std::all_of(p, p + ulBytes, [](uint8_t c) { return c == 0; }));
    EXPECT_EQ(countLogLines(reg.logPath(), {"<WARNING>", "\"VirtualFree of buffer failed\"", "<Error: 0x00000005>"}),
              1u);
    EXPECT_TRUE(os::vmemFree(pBlock));
}

TEST(SecureBuffer, WorksUnlockedWhenLockingFails)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_WARNING);
    {
        os::CScopedVmemFault refuse(os::VmemOp::Lock, ENOMEM);
        const SecureWide secret(kPassphrase, 5, 0);
        EXPECT_EQ(text(secret.asBuffer()), u"h4rd!");
    }
    EXPECT_EQ(countLogLines(reg.logPath(), {"<WARNING>", "\"VirtualLock of buffer failed\"", "<Error: 0x0000000c>"}),
              1u);
}

// The real limit: a child process without the right to lock memory beyond
// RLIMIT_MEMLOCK 0 (a root child drops CAP_IPC_LOCK first).
TEST(SecureBuffer, WorksUnlockedOverTheMemlockLimit)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_WARNING);
    const pid_t pid = ::fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        if (::syscall(SYS_capget, &header, caps) == 0) {
            caps[0].effective &= ~(1u << CAP_IPC_LOCK);
            ::syscall(SYS_capset, &header, caps);
        }
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_MEMLOCK, &none) != 0)
            ::_exit(3);
        const SecureWide secret(kPassphrase, 5, 0);
        ::_exit(text(secret.asBuffer()) == u"h4rd!" ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(countLogLines(reg.logPath(), {"<WARNING>", "\"VirtualLock of buffer failed\""}), 1u);
}
