// SHA-1 and MD5 digests: published values, inputs of 64 KiB and more hashed
// whole, failures as exceptions, and the secure-buffer forms.
#include "bsafehash.h"
#include "crypto_test_util.h"
#include "nxr_securebuffer.h"

#include <gtest/gtest.h>

using namespace nxr;
using namespace cryptotest;

namespace {

template <class Hash>
std::string digestHex(const Bytes& input)
{
    Hash hash;
    Bytes out;
    EXPECT_TRUE(hash.hashAll(input, out));
    return toHex(out);
}

} // namespace

TEST(Hash, PublishedValues)
{
    const Bytes abc = bytesOf("abc");
    EXPECT_EQ(digestHex<CSha1Hash>(abc), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digestHex<CMd5Hash>(abc), "900150983cd24fb0d6963f7d28e17f72");

    const Bytes million = bytesOf(std::string(1000000, 'a'));
    EXPECT_EQ(digestHex<CSha1Hash>(million), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(digestHex<CMd5Hash>(million), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Hash, InputOf64KiBIsHashedWhole)
{
    // 65,536 is 0 in a 16-bit length: a truncating digest would hash nothing.
    const Bytes input = bytesOf(std::string(65536, 'a'));
    EXPECT_EQ(digestHex<CSha1Hash>(input), "79db5888b5d38e10afbdbd14a19cd1caa9044c65");
    EXPECT_EQ(digestHex<CMd5Hash>(input), "2d61aa54b58c2e94403fb092c3dbc027");
}

TEST(Hash, OneObjectRunsIndependentDigests)
{
    CSha1Hash sha1;
    // The output's earlier size and contents do not matter.
    Bytes out = bytesOf(std::string(37, 'x'));
    ASSERT_TRUE(sha1.hashAll(bytesOf("abc"), out));
    EXPECT_EQ(out.getNumElems(), 20u);
    ASSERT_TRUE(sha1.hashAll(bytesOf("abc"), out));
    EXPECT_EQ(toHex(out), "a9993e364706816aba3e25717850c26c9cd0d89d");

    // A digest fed in two updates equals the one-shot digest.
    CMd5Hash md5;
    ASSERT_TRUE(md5.hashInit());
    ASSERT_TRUE(md5.hashUpdate(bytesOf("a")));
    ASSERT_TRUE(md5.hashUpdate(bytesOf("bc")));
    ASSERT_TRUE(md5.hashFinal(out));
    EXPECT_EQ(toHex(out), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Hash, FailuresAreThrown)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
    CSha1Hash sha1;
    Bytes out = bytesOf("keep");

    try {
        sha1.hashAll(Bytes(), out);
        ADD_FAILURE() << "an empty input was hashed";
    } catch (const CHashBadArg& e) {
        EXPECT_EQ(e.getResultValue(), 0xFFFFFFFFu);
    }
    EXPECT_EQ(countLogLines(reg.logPath(), {"Bad Argument in hash call. Probably zero length buffer."}), 1u);
    EXPECT_EQ(contents(out), contents(bytesOf("keep")));

    // Update and final without a running digest: the toolkit's status for a
    // missing algorithm object (516) is carried.
    CMd5Hash md5;
    try {
        md5.hashUpdate(bytesOf("abc"));
        ADD_FAILURE() << "update without init";
    } catch (const CHashBsafeException& e) {
        EXPECT_EQ(e.getResultValue(), 516u);
    }
    EXPECT_THROW(md5.hashFinal(out), CHashBsafeException);
    EXPECT_EQ(contents(out), contents(bytesOf("keep")));

    // After a failure the object still works.
    ASSERT_TRUE(md5.hashAll(bytesOf("abc"), out));
    EXPECT_EQ(toHex(out), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Hash, SecureForms)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    const CNXRSecureBuffer<NXR_BYTE> input(abc, 3, 0);
    CNXRSecureBuffer<NXR_BYTE> output;
    CSha1Hash sha1;
    ASSERT_TRUE(sha1.hashAll(input, output));
    EXPECT_EQ(output.getPlainLength(), 20u);
    const Bytes clear = output.asBuffer();
    EXPECT_EQ(toHex(clear), "a9993e364706816aba3e25717850c26c9cd0d89d");

    // The digest is held enciphered: the raw block does not contain it.
    const std::vector<uint8_t> digest = contents(clear);
    const NXR_BYTE* raw = static_cast<const CNXRBuffer<NXR_BYTE>&>(output).getBuffer();
    const std::vector<uint8_t> block(raw, raw + output.getNumElems());
    EXPECT_EQ(std::search(block.begin(), block.end(), digest.begin(), digest.begin() + 8), block.end());

    CNXRSecureBuffer<NXR_BYTE> md5Out;
    CMd5Hash md5;
    ASSERT_TRUE(md5.hashAll(input, md5Out));
    EXPECT_EQ(toHex(md5Out.asBuffer()), "900150983cd24fb0d6963f7d28e17f72");

    const CNXRSecureBuffer<NXR_BYTE> empty;
    EXPECT_THROW(sha1.hashAll(empty, output), CHashBadArg);
}
