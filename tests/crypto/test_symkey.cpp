// Key derivation, the AES and Triple-DES keys and their failures. The
// derivation is held against vectors computed by derive_vectors.sh with
// sha1sum, the ciphers against the openssl command line.
#include "_3deskey.h"
#include "aeskey.h"
#include "bsafehash.h"
#include "crypto_test_util.h"
#include "nxr_symkey_derivekey_thread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using namespace nxr;
using namespace cryptotest;

namespace {

struct DeriveVector {
    std::string name, passHex, saltHex;
    uint32_t ulIterations = 0;
    uint16_t usLength = 0;
    std::string keyHex;
};

std::vector<DeriveVector> loadVectors()
{
    std::vector<DeriveVector> out;
    std::ifstream in(DERIVE_VECTORS_FILE);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        DeriveVector v;
        if (fields >> v.name >> v.passHex >> v.saltHex >> v.ulIterations >> v.usLength >> v.keyHex)
            out.push_back(v);
    }
    return out;
}

Bytes saltOf(const DeriveVector& v) { return v.saltHex == "-" ? Bytes() : bytesOf(fromHex(v.saltHex)); }

// Opens the derivation steps to the tests, for key lengths the two key
// classes never ask for.
class CProbeKey : public CSymKeyBase {
public:
    bool deriveKey(const Bytes& pass, const Bytes& salt, uint32_t ulIterations) override
    {
        return doKeyDerivation(pass, salt, ulIterations, m_usLength);
    }
    bool generateUsingTimeBasedHashing(const Bytes& pass, const Bytes& salt, uint32_t& ulCount,
                                       uint16_t usSeconds) override
    {
        return doKeyDerivationBasedOnTime(pass, salt, m_usLength, ulCount, usSeconds);
    }
    bool encrypt(const Bytes&, Bytes&) const override { return false; }
    bool decrypt(const Bytes&, Bytes&) const override { return false; }
    using CSymKeyBase::completeKeyGeneration;
    uint16_t m_usLength = 20;
};

// Reaches the cipher routine's own argument checks.
class CAesProbe : public CAesKey {
public:
    using CAesKey::AESEncrypt;
};
class C3DesProbe : public C3DesKey {
public:
    using C3DesKey::_3DESEncrypt;
};

Bytes keyOf(const CSymKeyBase& key)
{
    Bytes out;
    EXPECT_TRUE(key.getKey(out));
    return out;
}

Bytes pattern(uint32_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return bytesOf(v);
}

template <class Exception>
uint32_t thrownCode(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Exception& e) {
        return e.getResultValue();
    }
    ADD_FAILURE() << "nothing was thrown";
    return 0;
}

} // namespace

TEST(KeyDerivation, MatchesIndependentVectors)
{
    const std::vector<DeriveVector> vectors = loadVectors();
    ASSERT_EQ(vectors.size(), 6u) << "derive_vectors.txt not found or malformed: " << DERIVE_VECTORS_FILE;
    for (const DeriveVector& v : vectors) {
        SCOPED_TRACE(v.name);
        const Bytes pass = bytesOf(fromHex(v.passHex));
        Bytes key;
        if (v.usLength == 32) {
            CAesKey aes;
            ASSERT_TRUE(aes.deriveKey(pass, saltOf(v), v.ulIterations));
            key = keyOf(aes);
        } else if (v.usLength == 24) {
            C3DesKey des;
            ASSERT_TRUE(des.deriveKey(pass, saltOf(v), v.ulIterations));
            key = keyOf(des);
        } else {
            CProbeKey probe;
            probe.m_usLength = v.usLength;
            ASSERT_TRUE(probe.deriveKey(pass, saltOf(v), v.ulIterations));
            key = keyOf(probe);
        }
        EXPECT_EQ(toHex(key), v.keyHex);
    }
}

TEST(KeyDerivation, BadArgumentsReturnFalseAndLog)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
    const Bytes pass = bytesOf("pw");
    CAesKey aes;
    uint32_t ulCount = 99;
    EXPECT_FALSE(aes.deriveKey(pass, Bytes(), 0));
    EXPECT_FALSE(aes.deriveKey(Bytes(), Bytes(), 10));
    EXPECT_FALSE(aes.generateUsingTimeBasedHashing(pass, Bytes(), ulCount, 0));
    EXPECT_EQ(ulCount, 99u);
    EXPECT_FALSE(aes.isValid());
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Bad Arguement\""}), 3u);
}

TEST(KeyDerivation, KeyLengthsBeyondTheHashedDataAndE)
{
    const Bytes pass = bytesOf("pw");
    CProbeKey probe;
    // Up to 40 bytes the tail comes from E; beyond that there is nothing to
    // take it from and the derivation fails, leaving the key as it was.
    probe.m_usLength = 40;
    ASSERT_TRUE(probe.deriveKey(pass, Bytes(), 2));
    const Bytes forty = keyOf(probe);
    EXPECT_EQ(forty.getNumElems(), 40u);
    probe.m_usLength = 41;
    EXPECT_FALSE(probe.deriveKey(pass, Bytes(), 2));
    EXPECT_EQ(contents(keyOf(probe)), contents(forty));

    // Nothing hashed: completion has nothing to read.
    EXPECT_FALSE(probe.completeKeyGeneration(pass, Bytes(), 32));
    // A short hashed part is topped up from E.
    Bytes e;
    CSha1Hash sha1;
    ASSERT_TRUE(sha1.hashAll(pass, e));
    ASSERT_TRUE(probe.completeKeyGeneration(pass, bytesOf("0123456789"), 14));
    EXPECT_EQ(toHex(keyOf(probe)), toHex(bytesOf("0123456789")) + toHex(e).substr(0, 8));
}

TEST(KeyDerivation, TimedDerivationChainsAtLeastOnce)
{
    const Bytes pass = bytesOf("pw");
    CAesKey timed;
    uint32_t ulCount = 0;
    ASSERT_TRUE(timed.generateUsingTimeBasedHashing(pass, Bytes(), ulCount, 1));
    ASSERT_GE(ulCount, 1u);
    // The same number of counted iterations gives the same key.
    CAesKey counted;
    ASSERT_TRUE(counted.deriveKey(pass, Bytes(), ulCount));
    EXPECT_EQ(contents(keyOf(timed)), contents(keyOf(counted)));
}

TEST(KeyDerivation, WorkerOnItsOwnThreadMatchesInline)
{
    const Bytes input = bytesOf("input");
    CSymKeyDeriveKeyThread inlineWorker(input, 5), threadWorker(input, 5);
    ASSERT_EQ(inlineWorker.startAndWaitForFinish(false), 0u);
    ASSERT_EQ(threadWorker.startAndWaitForFinish(true), 0u);
    Bytes a, b;
    ASSERT_TRUE(inlineWorker.getHashedData(a));
    ASSERT_TRUE(threadWorker.getHashedData(b));
    EXPECT_EQ(a.getNumElems(), 20u);
    EXPECT_EQ(contents(a), contents(b));

    // A worker whose first hash fails still ends with exit code 0 and an
    // empty result, which the key base then refuses.
    CSymKeyDeriveKeyThread emptyWorker(Bytes(), 3);
    EXPECT_EQ(emptyWorker.startAndWaitForFinish(false), 0u);
    ASSERT_TRUE(emptyWorker.getHashedData(a));
    EXPECT_FALSE(a.isValid());
}

TEST(SymKey, TypeAndAssignment)
{
    CAesKey aes(pattern(32, 1));
    C3DesKey des(pattern(24, 2));
    uint32_t ulType = 7;
    EXPECT_TRUE(aes.getType(ulType));
    EXPECT_EQ(ulType, 0u);
    EXPECT_TRUE(des.getType(ulType));
    EXPECT_EQ(ulType, 1u);

    // Through the base, only the bytes travel; the target keeps its type.
    CSymKeyBase& base = des;
    base = static_cast<const CSymKeyBase&>(aes);
    EXPECT_EQ(contents(keyOf(des)), contents(pattern(32, 1)));
    EXPECT_TRUE(des.getType(ulType));
    EXPECT_EQ(ulType, 1u);

    CAesKey copy(aes);
    EXPECT_EQ(contents(keyOf(copy)), contents(pattern(32, 1)));
    C3DesKey desCopy;
    desCopy = C3DesKey(pattern(24, 3));
    EXPECT_EQ(contents(keyOf(desCopy)), contents(pattern(24, 3)));
}

TEST(SymKey, WrongKeyLengths)
{
    EXPECT_THROW(CAesKey(pattern(31, 0)), CSymKeyBadArg);
    EXPECT_THROW(C3DesKey(pattern(32, 0)), CSymKeyBadArg);

    Bytes out = bytesOf("untouched");
    for (uint32_t n : {5u, 31u, 33u}) {
        CAesKey aes;
        ASSERT_TRUE(aes.setKey(pattern(n, 0)));
        EXPECT_THROW(aes.encrypt(bytesOf("x"), out), CSymKeyBadArg);
        EXPECT_THROW(aes.decrypt(pattern(16, 0), out), CSymKeyBadArg);
    }
    C3DesKey des;
    ASSERT_TRUE(des.setKey(pattern(32, 0)));
    EXPECT_THROW(des.encrypt(bytesOf("x"), out), CSymKeyBadArg);
    EXPECT_THROW(des.decrypt(pattern(8, 0), out), CSymKeyBadArg);
    EXPECT_EQ(contents(out), contents(bytesOf("untouched")));

    // The routines' own checks: a null output area, and for Triple-DES the
    // key length before it.
    CAesProbe aesProbe;
    C3DesProbe desProbe;
    const Bytes key32 = pattern(32, 9);
    uint32_t ulOut = 16;
    EXPECT_THROW(aesProbe.AESEncrypt(32, key32.getBuffer(), 1, key32.getBuffer(), ulOut, nullptr), CSymKeyBadArg);
    NXR_BYTE area[16];
    EXPECT_THROW(desProbe._3DESEncrypt(32, key32.getBuffer(), 1, key32.getBuffer(), ulOut, area), CSymKeyBadArg);
}

TEST(SymKey, LengthsAndRoundTrips)
{
    const CAesKey aes(pattern(32, 5));
    const C3DesKey des(pattern(24, 6));
    for (uint32_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 3000u}) {
        SCOPED_TRACE(n);
        const Bytes plain = pattern(n, static_cast<uint8_t>(n));
        Bytes cipher, back = bytesOf("stale");
        ASSERT_TRUE(aes.encrypt(plain, cipher));
        EXPECT_EQ(cipher.getNumElems(), n + 16 - n % 16);
        ASSERT_TRUE(aes.decrypt(cipher, back));
        EXPECT_EQ(contents(back), contents(plain));

        ASSERT_TRUE(des.encrypt(plain, cipher));
        EXPECT_EQ(cipher.getNumElems(), n + 8 - n % 8);
        back = bytesOf("stale");
        ASSERT_TRUE(des.decrypt(cipher, back));
        EXPECT_EQ(contents(back), contents(plain));
    }
}

TEST(SymKey, ToolkitStatusesAreCarried)
{
    const CAesKey aes(pattern(32, 5));
    const C3DesKey des(pattern(24, 6));
    Bytes out = bytesOf("untouched");

    // Not whole blocks, or nothing at all: 525.
    EXPECT_EQ(thrownCode<CSymKeyBsafeException>([&] { aes.decrypt(pattern(15, 0), out); }), 525u);
    EXPECT_EQ(thrownCode<CSymKeyBsafeException>([&] { aes.decrypt(Bytes(), out); }), 525u);
    EXPECT_EQ(thrownCode<CSymKeyBsafeException>([&] { des.decrypt(pattern(7, 0), out); }), 525u);

    // A padding byte above the block size: 524. The last plaintext block is
    // D(C2) xor C1, so changing C1's last byte changes the padding byte.
    Bytes cipher;
    ASSERT_TRUE(aes.encrypt(pattern(17, 0), cipher)); // padding: fifteen 0x0F
    cipher[15] ^= 0x0F ^ 0x20;
    EXPECT_EQ(thrownCode<CSymKeyBsafeException>([&] { aes.decrypt(cipher, out); }), 524u);
    EXPECT_EQ(contents(out), contents(bytesOf("untouched")));

    // A first third of eight zero bytes turns into the weak key 0101...01.
    std::vector<uint8_t> weak = contents(pattern(24, 6));
    std::fill(weak.begin(), weak.begin() + 8, 0);
    C3DesKey weakKey;
    ASSERT_TRUE(weakKey.setKey(bytesOf(weak)));
    EXPECT_EQ(thrownCode<CSymKeyBsafeException>([&] { weakKey.encrypt(bytesOf("x"), out); }), 546u);
    EXPECT_EQ(thrownCode<CSymKeyBsafeException>([&] { weakKey.decrypt(pattern(8, 0), out); }), 546u);

    // Parity bits do not matter.
    std::vector<uint8_t> flipped = contents(pattern(24, 6));
    for (uint8_t& b : flipped)
        b ^= 1;
    const C3DesKey sameKey(bytesOf(flipped));
    Bytes a, b;
    ASSERT_TRUE(des.encrypt(bytesOf("parity"), a));
    ASSERT_TRUE(sameKey.encrypt(bytesOf("parity"), b));
    EXPECT_EQ(contents(a), contents(b));
}

// ---------------------------------------------------------------------------
// Against the openssl command line.

namespace {

bool haveOpenssl() { return std::system("command -v openssl >/dev/null 2>&1") == 0; }

std::vector<uint8_t> opensslEnc(const std::string& cipher, const Bytes& key, const Bytes& plain,
                                const nxrtest::ScratchDir& dir)
{
    const std::string in = dir.file("plain.bin"), out = dir.file("cipher.bin");
    const std::vector<uint8_t> p = contents(plain);
    nxrtest::writeFile(in, std::string(p.begin(), p.end()));
    const std::string iv(cipher == "-aes-256-cbc" ? 32 : 16, '0');
    const std::string cmd = "openssl enc " + cipher + " -K " + toHex(key) + " -iv " + iv + " -in '" + in +
                            "' -out '" + out + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0)
        return {};
    const std::string c = nxrtest::readFile(out);
    return std::vector<uint8_t>(c.begin(), c.end());
}

} // namespace

TEST(SymKey, MatchesOpensslCommandLine)
{
    if (!haveOpenssl())
        GTEST_SKIP() << "openssl is not installed: the comparison with 'openssl enc' is skipped";
    nxrtest::ScratchDir dir;
    const Bytes aesKeyBytes = pattern(32, 0x31), desKeyBytes = pattern(24, 0x52);
    const CAesKey aes(aesKeyBytes);
    const C3DesKey des(desKeyBytes);
    for (uint32_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 4099u}) {
        SCOPED_TRACE(n);
        const Bytes plain = pattern(n, static_cast<uint8_t>(3 * n));
        Bytes cipher;
        ASSERT_TRUE(aes.encrypt(plain, cipher));
        EXPECT_EQ(contents(cipher), opensslEnc("-aes-256-cbc", aesKeyBytes, plain, dir));
        ASSERT_TRUE(des.encrypt(plain, cipher));
        EXPECT_EQ(contents(cipher), opensslEnc("-des-ede3-cbc", desKeyBytes, plain, dir));
    }
}
