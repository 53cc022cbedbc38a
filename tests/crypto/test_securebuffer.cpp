// The secure buffer: what lies in its block, copies, writes through the base
// class, the operations it refuses, page locking. The wipe before release is
// checked across a whole sealing by the wiping test.
#include "crypto_test_util.h"
#include "nxr_securebuffer.h"

#include <gtest/gtest.h>

#include <cerrno>
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

std::u16string text(const Wide& w) { return std::u16string(w.getBuffer(), w.getNumElems()); }

// The raw block, as the base class sees it.
template <class T>
std::vector<uint8_t> rawBlock(const CNXRSecureBuffer<T>& b)
{
    const auto* p = reinterpret_cast<const uint8_t*>(static_cast<const CNXRBuffer<T>&>(b).getBuffer());
    return std::vector<uint8_t>(p, p + b.getNumElems() * sizeof(T));
}

} // namespace

TEST(SecureBuffer, BlockNeverHoldsThePlaintextAndCopiesHaveTheirOwnKey)
{
    const SecureWide secret(kPassphrase, 5, 0);
    EXPECT_TRUE(secret.isValid());
    EXPECT_EQ(secret.getPlainLength(), 5u);
    EXPECT_EQ(text(secret.asBuffer()), u"h4rd!");
    // 10 bytes of plaintext become one 16-byte block of cipher text, in which
    // not even two characters of the passphrase appear.
    const std::vector<uint8_t> block = rawBlock(secret);
    ASSERT_EQ(block.size(), 16u);
    for (size_t i = 0; i + 2 <= 5; ++i) {
        const auto* pair = reinterpret_cast<const uint8_t*>(kPassphrase + i);
        EXPECT_EQ(std::search(block.begin(), block.end(), pair, pair + 4), block.end()) << "at " << i;
    }
    // Copies re-encipher under a key of their own.
    const SecureWide copy(secret);
    SecureWide assigned;
    assigned = secret;
    EXPECT_TRUE(text(copy.asBuffer()) == u"h4rd!" && text(assigned.asBuffer()) == u"h4rd!");
    EXPECT_NE(rawBlock(copy), block);
    EXPECT_NE(rawBlock(assigned), block);
    assigned = Wide();
    EXPECT_FALSE(assigned.isValid());
    EXPECT_EQ(assigned.asBuffer().getNumElems(), 0u);
}

// Reached as a CNXRBuffer (a base-class read into it, an assignment or a
// move through a CNXRBuffer&, a key's output parameter), a secure buffer
// still enciphers what it is given.
TEST(SecureBuffer, WritesThroughTheBaseClassAreEnciphered)
{
    const Bytes secret = bytesOf("0123456789abcdefXYZ");
    const auto expectHeld = [](const SecureBytes& b, const std::string& want) {
        EXPECT_EQ(toHex(b.asBuffer()), toHex(bytesOf(want)));
        const std::vector<uint8_t> block = rawBlock(b);
        EXPECT_EQ(std::search(block.begin(), block.end(), want.begin(), want.begin() + 4), block.end());
    };
    SecureBytes read, assigned, moved, fromKey;
    uint32_t ulCount = 16;
    ASSERT_TRUE(secret.readBuffer(read, 3, ulCount));
    expectHeld(read, "3456789abcdefXYZ");
    static_cast<Bytes&>(assigned) = secret;
    expectHeld(assigned, "0123456789abcdefXYZ");
    static_cast<Bytes&>(moved) = Bytes(secret);
    expectHeld(moved, "0123456789abcdefXYZ");
    const CAesKey key(bytesOf(std::string(32, 'k')));
    Bytes cipher;
    ASSERT_TRUE(key.encrypt(secret, cipher) && key.decrypt(cipher, fromKey));
    expectHeld(fromKey, "0123456789abcdefXYZ");
    ASSERT_TRUE(static_cast<Bytes&>(read).writeBuffer(bytesOf("ab"), 0, false));
    EXPECT_FALSE(static_cast<Bytes&>(read).writeBuffer(bytesOf("ab"), 15, false));
    expectHeld(read, "ab56789abcdefXYZ");
    // Between two secure buffers the plaintext travels, under each one's key.
    static_cast<Bytes&>(assigned) = static_cast<const Bytes&>(read);
    expectHeld(assigned, "ab56789abcdefXYZ");
}

TEST(SecureBuffer, WritesSizesAndRefusedGrowth)
{
    SecureBytes b;
    ASSERT_TRUE(b.writeBuffer(bytesOf("0123456789abcdef"), 0));
    ASSERT_TRUE(b.writeBuffer(bytesOf("XY"), 15)); // reaches past the end: grows
    EXPECT_EQ(b.getPlainLength(), 17u);
    EXPECT_EQ(b.getEncLength(), 32u);
    EXPECT_FALSE(b.writeBuffer(bytesOf("Z"), 18));
    const std::vector<uint8_t> before = rawBlock(b);
    EXPECT_FALSE(b.reAllocBuffer(64));
    EXPECT_FALSE(b.appendBuffer(bytesOf("d")));
    b += bytesOf("e");
    EXPECT_EQ(rawBlock(b), before);
    EXPECT_EQ(toHex(b.asBuffer()), toHex(bytesOf("0123456789abcdeXY")));

    SecureWide w;
    ASSERT_TRUE(w.allocBuffer(3));
    EXPECT_EQ(w.getNumElems(), 8u); // 6 bytes rounded up to 16
    // Built with a count and never written: zeros from the block.
    Bytes got;
    uint32_t ulCount = 5;
    ASSERT_TRUE(SecureBytes(5).readBuffer(got, 0, ulCount));
    EXPECT_EQ(contents(got), std::vector<uint8_t>(5, 0));
}

// A child process that may not lock memory (RLIMIT_MEMLOCK 0; a root child
// gives up CAP_IPC_LOCK first) still gets a working buffer and a warning.
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
        ::_exit(text(SecureWide(kPassphrase, 5, 0).asBuffer()) == u"h4rd!" ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GE(countLogLines(reg.logPath(), {"<WARNING>", "\"VirtualLock of buffer failed\""}), 1u);
}
