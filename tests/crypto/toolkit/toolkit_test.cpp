// Cipher toolkit: known answers, padding, DES key handling, statuses.
#include "nxr_toolkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace nxr::toolkit;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes hex(const std::string& s) {
    Bytes out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + long(n)); }

// Owns one key object and one algorithm object for a test.
struct Objects {
    KeyObject* key = nullptr;
    AlgorithmObject* alg = nullptr;
    Objects() { EXPECT_TRUE(createKeyObject(&key) == kOk && createAlgorithmObject(&alg) == kOk); }
    ~Objects() { destroyAlgorithmObject(&alg), destroyKeyObject(&key); }
};

struct Cipher { AlgorithmKind alg; KeyKind keyKind; Bytes key, iv; };
const Cipher kAes{AlgorithmKind::Aes256CbcPad, KeyKind::Aes256,
                  hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"),
                  hex("000102030405060708090a0b0c0d0e0f")};
const Cipher kTdes{AlgorithmKind::TripleDesCbcPad, KeyKind::TripleDes,
                   hex("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123"), hex("0000000000000000")};

// Runs a whole encryption or decryption, feeding the input in pieces of
// `chunk` bytes (0: all at once). Returns the first non-zero status.
Status run(const Cipher& c, bool encrypt, const Bytes& in, Bytes& out, uint32_t chunk = 0) {
    Objects o;
    const auto update = encrypt ? encryptUpdate : decryptUpdate;
    const auto final = encrypt ? encryptFinal : decryptFinal;
    out.assign(in.size() + 16, 0);
    Status s = setKeyInfo(o.key, c.keyKind, c.key.data(), uint32_t(c.key.size()));
    if (s == kOk) s = setAlgorithmInfo(o.alg, c.alg, c.iv.data(), uint32_t(c.iv.size()));
    if (s == kOk) s = (encrypt ? encryptInit : decryptInit)(o.alg, o.key, methodRegistry());
    uint32_t done = 0, w = 0;
    for (size_t pos = 0, n = 0; s == kOk && pos < in.size(); pos += n, done += w) {
        n = chunk ? std::min<size_t>(chunk, in.size() - pos) : in.size() - pos;
        s = update(o.alg, out.data() + done, &w, uint32_t(out.size()) - done, in.data() + pos, uint32_t(n));
    }
    if (s == kOk) s = final(o.alg, out.data() + done, &w, uint32_t(out.size()) - done);
    out.resize(s == kOk ? done + w : 0);
    return s;
}

// A digest fed in pieces of `chunk` bytes into a 20-byte area; bytes past the
// reported length must be left alone.
Bytes digest(AlgorithmKind kind, const Bytes& in, uint32_t chunk) {
    Objects o;
    EXPECT_EQ(setAlgorithmInfo(o.alg, kind, nullptr, 0), kOk);
    EXPECT_EQ(digestInit(o.alg, nullptr, methodRegistry()), kOk);
    for (size_t pos = 0; pos < in.size(); pos += chunk)
        EXPECT_EQ(digestUpdate(o.alg, in.data() + pos, uint32_t(std::min<size_t>(chunk, in.size() - pos))), kOk);
    Bytes out(20, 0xAA);
    uint32_t len = 0;
    EXPECT_EQ(digestFinal(o.alg, out.data(), &len, 20), kOk);
    EXPECT_TRUE(std::all_of(out.begin() + len, out.end(), [](uint8_t b) { return b == 0xAA; }));
    return head(out, len);
}

} // namespace

// AES-256 and Triple-DES with three keys; the cipher text of whole padded
// lengths is also held against the openssl command line by the key tests.
TEST(ToolkitCipher, KnownAnswers) {
    // One block under the zero IV is the bare cipher (FIPS 197 C.3).
    const Cipher fips{kAes.alg, KeyKind::Aes256,
                      hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"), Bytes(16, 0)};
    Bytes out;
    ASSERT_EQ(run(fips, true, hex("00112233445566778899aabbccddeeff"), out), kOk);
    ASSERT_EQ(out.size(), 32u);
    EXPECT_EQ(head(out, 16), hex("8ea2b7ca516745bfeafc49904b496089"));

    // CBC fed by blocks, then one block of padding (SP 800-38A F.2.5).
    const Bytes plain = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const Bytes expect = hex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                             "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
    Bytes cipher, back;
    ASSERT_EQ(run(kAes, true, plain, cipher, 16), kOk);
    EXPECT_EQ(cipher.size(), 80u);
    EXPECT_EQ(head(cipher, 64), expect);
    // Decryption (F.2.6) holds back the last block until final.
    ASSERT_EQ(run(kAes, false, cipher, back, 16), kOk);
    EXPECT_EQ(back, plain);
    // Without the padding block the last plaintext block is taken as padding
    // and refused: it ends in 0x10 but is not sixteen bytes 0x10.
    EXPECT_EQ(run(kAes, false, expect, back), kBadPadding);

    ASSERT_EQ(run(kTdes, true, text("The qufc"), out), kOk);
    EXPECT_EQ(out.size(), 16u);
    EXPECT_EQ(head(out, 8), hex("A826FD8CE53B855F"));
    // With K1 = K2 = K3 the cipher is single DES (FIPS 81 CBC example).
    const Cipher single{kTdes.alg, KeyKind::TripleDes, hex("0123456789abcdef0123456789abcdef0123456789abcdef"),
                        hex("1234567890abcdef")};
    ASSERT_EQ(run(single, true, text("Now is the time for all "), out), kOk);
    EXPECT_EQ(head(out, 24), hex("e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"));
}

TEST(ToolkitCipher, DecryptRefusesBadPaddingAndIncompleteBlocks) {
    Bytes out;
    for (size_t len : {0, 15, 17, 31}) EXPECT_EQ(run(kAes, false, Bytes(len, 0x5A), out), kIncompleteBlock) << len;
    EXPECT_EQ(run(kTdes, false, Bytes(12, 0x5A), out), kIncompleteBlock);

    // Encipher a chosen last block without padding (the update output alone),
    // then decipher it as a complete ciphertext.
    const struct { Bytes tail; Status status; } cases[] = {
        {{0x00}, kBadPadding}, {{0x11}, kBadPadding}, {{0x03, 0x02, 0x03}, kBadPadding}, {{0x03, 0x03, 0x03}, kOk}};
    for (const auto& c : cases) {
        Bytes plain(16 - c.tail.size(), 'x'), cipher;
        plain.insert(plain.end(), c.tail.begin(), c.tail.end());
        ASSERT_EQ(run(kAes, true, plain, cipher), kOk);
        cipher.resize(16);
        EXPECT_EQ(run(kAes, false, cipher, out), c.status) << int(c.tail[0]);
    }
    EXPECT_EQ(out, text("xxxxxxxxxxxxx"));
}

TEST(ToolkitCipher, TripleDesKeyHandling) {
    const Bytes plain = text("sealed document body");
    Bytes expect, out;
    ASSERT_EQ(run(kTdes, true, plain, expect), kOk);
    // DES ignores the parity bits: flipping any lowest bit changes nothing.
    for (size_t i = 0; i < 24; ++i) {
        Cipher c = kTdes;
        c.key[i] ^= 0x01;
        EXPECT_TRUE(run(c, true, plain, out) == kOk && out == expect) << i;
    }

    Objects o;
    const auto set = [&](const std::string& k) {
        return setKeyInfo(o.key, KeyKind::TripleDes, hex(k).data(), uint32_t(k.size() / 2));
    };
    const std::string good = "0123456789ABCDEF";
    // Every row of the table is refused in every third, and so is each row
    // with its parity bits flipped, which forcing the parity undoes.
    const std::string table[16] = {
        "0101010101010101", "FEFEFEFEFEFEFEFE", "1F1F1F1F1F1F1F1F", "E0E0E0E0E0E0E0E0",
        "01FE01FE01FE01FE", "FE01FE01FE01FE01", "1FE01FE00EF10EF1", "E01FE01FF10EF10E",
        "01E001E001F101F1", "E001E001F101F101", "1FFE1FFE0EFE0EFE", "FE1FFE1FFE0EFE0E",
        "011F011F010E010E", "1F011F010E010E01", "E0FEE0FEF1FEF1FE", "FEE0FEE0FEF1FEF1"};
    for (const std::string& row : table) {
        std::string flipped = row;
        for (size_t i = 1; i < flipped.size(); i += 2)
            flipped[i] = "0123456789ABCDEF"[std::stoi(flipped.substr(i, 1), nullptr, 16) ^ 1];
        for (const std::string& weak : {row + good + good, good + flipped + good, good + good + row})
            EXPECT_EQ(set(weak), kWeakKey) << weak;
    }
    // A refused key leaves nothing behind to encrypt with.
    ASSERT_EQ(setAlgorithmInfo(o.alg, kTdes.alg, kTdes.iv.data(), 8), kOk);
    EXPECT_EQ(encryptInit(o.alg, o.key, methodRegistry()), kNoMethod);
    // Not in the table, though weak under other lists; equal thirds are allowed.
    EXPECT_EQ(set("1F1F1F1F0E0E0E0E" + good + good), kOk);
    EXPECT_EQ(set(good + good + good), kOk);
}

// Published values (FIPS 180, RFC 1321), fed in pieces of various sizes; MD5
// writes 16 bytes into the 20-byte area.
TEST(ToolkitDigest, KnownAnswers) {
    const Bytes abc = text("abc"), a1m(1000000, 'a');
    EXPECT_EQ(digest(AlgorithmKind::Sha1, abc, 3), hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(digest(AlgorithmKind::Sha1, a1m, 4099), hex("34aa973cd4c4daa4f61eeb2bdbad27316534016f"));
    EXPECT_EQ(digest(AlgorithmKind::Md5, abc, 1), hex("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_EQ(digest(AlgorithmKind::Md5, a1m, 65536), hex("7707d6ae4e027c70eea2a935c2296f21"));
}

TEST(ToolkitStatus, LengthsCapacitiesAndLookups) {
    Objects o;
    const Bytes key(33, 0x42), iv(16, 0);
    EXPECT_EQ(setKeyInfo(o.key, KeyKind::Aes256, key.data(), 31), kBadKeyLength);
    EXPECT_EQ(setKeyInfo(o.key, KeyKind::Aes256, key.data(), 33), kBadKeyLength);
    EXPECT_EQ(setKeyInfo(o.key, KeyKind::TripleDes, key.data(), 23), kBadKeyLength);
    ASSERT_EQ(setAlgorithmInfo(o.alg, AlgorithmKind::Aes256CbcPad, iv.data(), 8), kBadParameter);
    ASSERT_EQ(setAlgorithmInfo(o.alg, AlgorithmKind::Aes256CbcPad, iv.data(), 16), kOk);
    ASSERT_EQ(setKeyInfo(o.key, KeyKind::Data, key.data(), 20), kOk);
    EXPECT_EQ(encryptInit(o.alg, o.key, methodRegistry()), kBadKeyLength);
    ASSERT_EQ(setKeyInfo(o.key, KeyKind::TripleDes, hex(std::string(48, '7')).data(), 24), kOk);
    EXPECT_EQ(encryptInit(o.alg, o.key, methodRegistry()), kNoMethod);
    EXPECT_EQ(digestInit(o.alg, nullptr, methodRegistry()), kNoMethod);

    // Update before init, then capacities one byte short; a failed update
    // leaves the object unusable until the next init.
    uint8_t plain[20] = {}, cipher[32] = {}, out[32] = {};
    uint32_t w = 99;
    EXPECT_EQ(encryptUpdate(o.alg, cipher, &w, 32, plain, 20), kWrongState);
    EXPECT_EQ(w, 0u);
    ASSERT_EQ(setKeyInfo(o.key, KeyKind::Aes256, key.data(), 32), kOk);
    ASSERT_EQ(encryptInit(o.alg, o.key, methodRegistry()), kOk);
    EXPECT_EQ(encryptUpdate(o.alg, cipher, &w, 15, plain, 20), kOutputTooSmall);
    EXPECT_EQ(encryptUpdate(o.alg, cipher, &w, 32, plain, 20), kWrongState);
    for (uint32_t finalCapacity : {15u, 16u}) {
        ASSERT_EQ(encryptInit(o.alg, o.key, methodRegistry()), kOk);
        ASSERT_EQ(encryptUpdate(o.alg, cipher, &w, 32, plain, 20), kOk);
        EXPECT_EQ(w, 16u); // each complete block is written at once
        EXPECT_EQ(encryptFinal(o.alg, cipher + 16, &w, finalCapacity), finalCapacity == 16 ? kOk : kOutputTooSmall);
    }
    ASSERT_EQ(decryptInit(o.alg, o.key, methodRegistry()), kOk);
    ASSERT_EQ(decryptUpdate(o.alg, out, &w, 32, cipher, 32), kOk);
    EXPECT_EQ(w, 16u);
    EXPECT_EQ(decryptFinal(o.alg, out + 16, &w, 3), kOutputTooSmall); // 4 bytes to write

    Objects md5;
    ASSERT_EQ(setAlgorithmInfo(md5.alg, AlgorithmKind::Md5, nullptr, 0), kOk);
    ASSERT_EQ(digestInit(md5.alg, nullptr, methodRegistry()), kOk);
    EXPECT_EQ(digestFinal(md5.alg, out, &w, 15), kOutputTooSmall);
    // A registry holding only SHA-1 has no MD5.
    EXPECT_EQ(digestInit(md5.alg, nullptr, MethodRegistry{methodRegistry().entries, 1}), kNoMethod);
}

