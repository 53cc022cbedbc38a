// Key derivation, the AES and Triple-DES keys and their failures. The
// derivation is held against vectors computed by derive_vectors.sh with
// sha1sum, the ciphers against the openssl command line.
#include "_3deskey.h"
#include "aeskey.h"
#include "bsafehash.h"
#include "nxr_symkey_cipher.h"
#include "crypto_test_util.h"
#include "nxr_symkey_derivekey_thread.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

using namespace nxr;
using namespace cryptotest;

namespace {

// Opens the derivation to key lengths the two key classes never ask for.
class CProbeKey : public CSymKeyBase {
public:
    explicit CProbeKey(uint16_t usLength) : m_usLength(usLength) {}
    bool deriveKey(const Bytes& pass, const Bytes& salt, uint32_t ulIterations) override
    {
        return doKeyDerivation(pass, salt, ulIterations, m_usLength);
    }
    bool generateUsingTimeBasedHashing(const Bytes&, const Bytes&, uint32_t&, uint16_t) override { return false; }
    bool encrypt(const Bytes&, Bytes&) const override { return false; }
    bool decrypt(const Bytes&, Bytes&) const override { return false; }
    std::unique_ptr<CSymKeyStream> openStream(CipherDirection, const NXR_BYTE*) const override { return nullptr; }
    uint32_t blockSize() const override { return 1; }
    using CSymKeyBase::completeKeyGeneration;
    uint16_t m_usLength;
};

std::string keyHex(const CSymKeyBase& key)
{
    Bytes out;
    EXPECT_TRUE(key.getKey(out));
    return toHex(out);
}

Bytes pattern(uint32_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return bytesOf(v);
}

// The toolkit status a failing call throws with.
uint32_t bsafeStatus(const std::function<void()>& f)
{
    try {
        f();
    } catch (const CSymKeyBsafeException& e) {
        return e.getResultValue();
    }
    ADD_FAILURE() << "no CSymKeyBsafeException";
    return 0;
}

} // namespace

TEST(KeyDerivation, MatchesIndependentVectors)
{
    std::ifstream in(DERIVE_VECTORS_FILE);
    std::string line, name, passHex, saltHex, expect;
    int count = 0;
    for (uint32_t ulIterations = 0, ulLength = 0; std::getline(in, line); ++count) {
        ASSERT_TRUE(std::istringstream(line) >> name >> passHex >> saltHex >> ulIterations >> ulLength >> expect);
        SCOPED_TRACE(name);
        CAesKey aes;
        C3DesKey des;
        CProbeKey probe(static_cast<uint16_t>(ulLength));
        CSymKeyBase& key = ulLength == 32 ? aes : ulLength == 24 ? static_cast<CSymKeyBase&>(des) : probe;
        ASSERT_TRUE(key.deriveKey(bytesOf(fromHex(passHex)), saltHex == "-" ? Bytes() : bytesOf(fromHex(saltHex)),
                                  ulIterations));
        EXPECT_EQ(keyHex(key), expect);
    }
    EXPECT_EQ(count, 6) << "vectors read from " << DERIVE_VECTORS_FILE;
}

TEST(KeyDerivation, BadArgumentsAndLengthsFail)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
    CAesKey aes;
    uint32_t ulCount = 99;
    EXPECT_FALSE(aes.deriveKey(bytesOf("pw"), Bytes(), 0));
    EXPECT_FALSE(aes.deriveKey(Bytes(), Bytes(), 10));
    EXPECT_FALSE(aes.generateUsingTimeBasedHashing(bytesOf("pw"), Bytes(), ulCount, 0));
    EXPECT_EQ(ulCount, 99u);
    EXPECT_FALSE(aes.isValid());
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Bad Arguement\""}), 3u);

    // Key bytes come only from the hashed data (20) and E (20): past 40 the
    // derivation fails and the key stays as it was.
    const Bytes pass = bytesOf("pw");
    CProbeKey probe(40);
    ASSERT_TRUE(probe.deriveKey(pass, Bytes(), 2));
    const std::string forty = keyHex(probe);
    EXPECT_EQ(forty.size(), 80u);
    probe.m_usLength = 41;
    EXPECT_FALSE(probe.deriveKey(pass, Bytes(), 2));
    EXPECT_EQ(keyHex(probe), forty);
    // The completion appends E to what was hashed, and needs something hashed.
    EXPECT_FALSE(probe.completeKeyGeneration(pass, Bytes(), 32));
    Bytes e;
    ASSERT_TRUE(CSha1Hash().hashAll(pass, e));
    ASSERT_TRUE(probe.completeKeyGeneration(pass, bytesOf("0123456789"), 14));
    EXPECT_EQ(keyHex(probe), toHex(bytesOf("0123456789")) + toHex(e).substr(0, 8));
}

TEST(KeyDerivation, TimedAndThreadedDerivationsAgreeWithTheCountedOne)
{
    CAesKey timed, counted;
    uint32_t ulCount = 0;
    ASSERT_TRUE(timed.generateUsingTimeBasedHashing(bytesOf("pw"), Bytes(), ulCount, 1));
    ASSERT_GE(ulCount, 1u);
    ASSERT_TRUE(counted.deriveKey(bytesOf("pw"), Bytes(), ulCount));
    EXPECT_EQ(keyHex(timed), keyHex(counted));

    CSymKeyDeriveKeyThread inlineWorker(bytesOf("input"), 5), threadWorker(bytesOf("input"), 5);
    ASSERT_EQ(inlineWorker.startAndWaitForFinish(false), 0u);
    ASSERT_EQ(threadWorker.startAndWaitForFinish(true), 0u);
    Bytes a, b;
    ASSERT_TRUE(inlineWorker.getHashedData(a) && threadWorker.getHashedData(b));
    EXPECT_EQ(a.getNumElems(), 20u);
    EXPECT_EQ(toHex(a), toHex(b));
    // A chain longer than its count can say fails rather than wrap the count
    // (held here to three hashes, where a second takes millions).
    struct CShortCount : CSymKeyTimedDeriveKeyThread {
        CShortCount() : CSymKeyTimedDeriveKeyThread(bytesOf("pw"), 1) { m_ulMaxHashes = 3; }
    } capped;
    EXPECT_NE(capped.startAndWaitForFinish(false), 0u);
    EXPECT_EQ(capped.getNumberOfHashesDone(), 3u);
    // A chain that cannot be hashed to its end fails the worker, so that no
    // partial chain passes for key material; the result stays empty.
    CSymKeyDeriveKeyThread emptyWorker(Bytes(), 3);
    EXPECT_NE(emptyWorker.startAndWaitForFinish(false), 0u);
    ASSERT_TRUE(emptyWorker.getHashedData(a));
    EXPECT_FALSE(a.isValid());
}

TEST(SymKey, AssignmentAndWrongKeyLengths)
{
    CAesKey aes(pattern(32, 1));
    C3DesKey des(pattern(24, 2));
    // Through the base only the bytes travel.
    static_cast<CSymKeyBase&>(des) = static_cast<const CSymKeyBase&>(aes);
    EXPECT_EQ(keyHex(des), toHex(pattern(32, 1)));

    EXPECT_THROW(CAesKey(pattern(31, 0)), CSymKeyBadArg);
    EXPECT_THROW(C3DesKey(pattern(32, 0)), CSymKeyBadArg);
    // setKey takes any length; using a wrong one throws and leaves the output.
    Bytes out = bytesOf("untouched");
    for (uint32_t n : {5u, 31u, 33u}) {
        ASSERT_TRUE(aes.setKey(pattern(n, 0)));
        EXPECT_THROW(aes.encrypt(bytesOf("x"), out), CSymKeyBadArg);
        EXPECT_THROW(aes.decrypt(pattern(16, 0), out), CSymKeyBadArg);
    }
    EXPECT_THROW(des.encrypt(bytesOf("x"), out), CSymKeyBadArg); // holds the 32 AES bytes
    EXPECT_EQ(toHex(out), toHex(bytesOf("untouched")));
}

TEST(SymKey, ToolkitStatusesAreCarried)
{
    const CAesKey aes(pattern(32, 5));
    Bytes out = bytesOf("untouched"), cipher;
    EXPECT_EQ(bsafeStatus([&] { aes.decrypt(pattern(15, 0), out); }), 525u);
    EXPECT_EQ(bsafeStatus([&] { aes.decrypt(Bytes(), out); }), 525u);
    EXPECT_EQ(bsafeStatus([&] { C3DesKey(pattern(24, 6)).decrypt(pattern(7, 0), out); }), 525u);
    // The last plaintext block is D(C2) xor C1: changing C1's last byte
    // turns the padding byte 0x0F into 0x20, above the block size.
    ASSERT_TRUE(aes.encrypt(pattern(17, 0), cipher));
    cipher[15] ^= 0x0F ^ 0x20;
    EXPECT_EQ(bsafeStatus([&] { aes.decrypt(cipher, out); }), 524u);
    EXPECT_EQ(toHex(out), toHex(bytesOf("untouched")));

    // A first third of eight zero bytes has its parity forced to the weak key
    // 0101...01.
    std::vector<uint8_t> weak = contents(pattern(24, 6));
    std::fill(weak.begin(), weak.begin() + 8, 0);
    C3DesKey weakKey;
    ASSERT_TRUE(weakKey.setKey(bytesOf(weak)));
    EXPECT_EQ(bsafeStatus([&] { weakKey.encrypt(bytesOf("x"), out); }), 546u);
    EXPECT_EQ(bsafeStatus([&] { weakKey.decrypt(pattern(8, 0), out); }), 546u);
}

// Round trips over padded lengths, and the cipher text held against
// 'openssl enc' with the same key and a zero IV.
TEST(SymKey, RoundTripsAndTheOpensslCommandLine)
{
    const bool bOpenssl = std::system("command -v openssl >/dev/null 2>&1") == 0;
    nxrtest::ScratchDir dir;
    const CAesKey aes(pattern(32, 0x31));
    const C3DesKey des(pattern(24, 0x52));
    for (uint32_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 4099u}) {
        const Bytes plain = pattern(n, static_cast<uint8_t>(3 * n));
        const std::vector<uint8_t> p = contents(plain);
        nxrtest::writeFile(dir.file("plain"), std::string(p.begin(), p.end()));
        for (const CSymKeyBase* key : std::initializer_list<const CSymKeyBase*>{&aes, &des}) {
            const uint32_t ulBlock = key == &aes ? 16 : 8;
            SCOPED_TRACE("length " + std::to_string(n) + ", block " + std::to_string(ulBlock));
            Bytes cipher, back = bytesOf("stale");
            ASSERT_TRUE(key->encrypt(plain, cipher) && key->decrypt(cipher, back));
            EXPECT_EQ(toHex(back), toHex(plain));
            EXPECT_EQ(cipher.getNumElems(), n + ulBlock - n % ulBlock);
            const std::string cmd = std::string("openssl enc ") + (key == &aes ? "-aes-256-cbc" : "-des-ede3-cbc") +
                                    " -K " + keyHex(*key) + " -iv " + std::string(ulBlock * 2, '0') + " -in '" +
                                    dir.file("plain") + "' -out '" + dir.file("cipher") + "'";
            if (bOpenssl && std::system(cmd.c_str()) == 0)
                EXPECT_EQ(toHex(cipher), toHex(bytesOf(nxrtest::readFile(dir.file("cipher")))));
            else if (bOpenssl)
                ADD_FAILURE() << cmd;
        }
    }
    if (!bOpenssl)
        GTEST_SKIP() << "openssl is not installed: the comparison with 'openssl enc' is skipped";
}
