// SHA-1 and MD5: published values, inputs of 64 KiB and more hashed whole,
// and the secure-buffer forms.
#include "bsafehash.h"
#include "crypto_test_util.h"
#include "nxr_securebuffer.h"

#include <gtest/gtest.h>

using namespace nxr;
using namespace cryptotest;

namespace {

template <class Hash>
std::string digestHex(const std::string& input)
{
    Bytes out = bytesOf(std::string(37, 'x')); // earlier contents do not matter
    EXPECT_TRUE(Hash().hashAll(bytesOf(input), out));
    return toHex(out);
}

} // namespace

TEST(Hash, KnownValues)
{
    EXPECT_EQ(digestHex<CSha1Hash>("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digestHex<CMd5Hash>("abc"), "900150983cd24fb0d6963f7d28e17f72");
    // 65,536 is 0 in a 16-bit length: a truncating digest would hash nothing.
    EXPECT_EQ(digestHex<CSha1Hash>(std::string(65536, 'a')), "79db5888b5d38e10afbdbd14a19cd1caa9044c65");
    EXPECT_EQ(digestHex<CMd5Hash>(std::string(65536, 'a')), "2d61aa54b58c2e94403fb092c3dbc027");
    EXPECT_EQ(digestHex<CSha1Hash>(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(digestHex<CMd5Hash>(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Hash, SecureForms)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    const CNXRSecureBuffer<NXR_BYTE> input(abc, 3, 0);
    CNXRSecureBuffer<NXR_BYTE> sha1Out, md5Out;
    ASSERT_TRUE(CSha1Hash().hashAll(input, sha1Out) && CMd5Hash().hashAll(input, md5Out));
    EXPECT_EQ(toHex(sha1Out.asBuffer()), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(toHex(md5Out.asBuffer()), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_THROW(CSha1Hash().hashAll(CNXRSecureBuffer<NXR_BYTE>(), sha1Out), CHashBadArg);
}
