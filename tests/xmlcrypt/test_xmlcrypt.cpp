// The encryption service: key modes, the container, and what the file
// operations leave on disk when the disk fails them.
#include "nxr_os_file.h"
#include "nxr_securebuffer.h"
#include "nxr_xmlcrypt.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

using namespace nxr;
using nxrtest::fileExists;
using nxrtest::readFile;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;
using nxrtest::ScratchDir;
using nxrtest::writeFile;

namespace {

using Bytes = CNXRBuffer<NXR_BYTE>;
using Passphrase = CNXRSecureBuffer<NXR_USHORT>;

Bytes bytesOf(const std::string& s)
{
    return s.empty() ? Bytes() : Bytes(reinterpret_cast<const NXR_BYTE*>(s.data()), uint32_t(s.size()), 0);
}

std::string textOf(const Bytes& b)
{
    return b.getNumElems() ? std::string(reinterpret_cast<const char*>(b.getBuffer()), b.getNumElems()) : "";
}

// A passphrase as the program builds it: the characters and their zero.
Passphrase passphrase(const std::u16string& text)
{
    return Passphrase(text.c_str(), uint32_t(text.size() + 1), 0);
}

const std::string kXml = "<doc><p>Some text to seal, long enough for a few blocks.</p></doc>";

CNXRWCharString name(const std::string& path) { return CNXRWCharString(path.c_str()); }

// No temporary outputs are left in the folder.
void expectNoTemporaries(const ScratchDir& dir)
{
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

} // namespace

TEST(XmlCryptBuffers, KeyModes)
{
    CNXRXmlCrypt service;
    const Bytes plain = bytesOf(kXml);
    const Passphrase pw = passphrase(u"pw");
    const Passphrase other = passphrase(u"pw ");
    const Passphrase none;

    for (const int32_t mode : {0, 4, -1, 256 + 2}) {
        Bytes cipher = bytesOf("untouched");
        EXPECT_FALSE(service.encryptXMLBuffer(&plain, &cipher, mode, &pw)) << mode;
        EXPECT_EQ(textOf(cipher), "untouched");
    }
    Bytes cipher;
    EXPECT_FALSE(service.encryptXMLBuffer(&plain, &cipher, 2, &none));
    EXPECT_FALSE(service.encryptXMLBuffer(&plain, &cipher, 3, &none));

    // Mode 1 ignores the passphrase it is given.
    Bytes c1, c1b;
    ASSERT_TRUE(service.encryptXMLBuffer(&plain, &c1, 1, &pw));
    ASSERT_TRUE(service.encryptXMLBuffer(&plain, &c1b, 1, &none));
    EXPECT_EQ(textOf(c1), textOf(c1b));

    // Modes 2 and 3 depend on every character, the zero included.
    Bytes c2, c2b, c3;
    ASSERT_TRUE(service.encryptXMLBuffer(&plain, &c2, 2, &pw));
    ASSERT_TRUE(service.encryptXMLBuffer(&plain, &c2b, 2, &other));
    ASSERT_TRUE(service.encryptXMLBuffer(&plain, &c3, 3, &pw));
    EXPECT_NE(textOf(c2), textOf(c2b));
    EXPECT_EQ(c3.getNumElems() % 8, 0u);

    Bytes out;
    ASSERT_TRUE(service.decryptXMLBuffer(&c2, &out, plain.getNumElems(), 2, &pw));
    EXPECT_EQ(textOf(out), kXml);
    ASSERT_TRUE(service.decryptXMLBuffer(&c3, &out, plain.getNumElems(), 3, &pw));
    EXPECT_EQ(textOf(out), kXml);
    ASSERT_TRUE(service.decryptXMLBuffer(&c1, &out, 5, 1, &none));
    EXPECT_EQ(textOf(out), kXml.substr(0, 5));

    // Wrong keys either fail or do not give the document back.
    for (const auto& [mode, pass] : {std::pair{1, &pw}, std::pair{3, &pw}, std::pair{2, &other}}) {
        Bytes wrong = bytesOf("before");
        if (service.decryptXMLBuffer(&c2, &wrong, plain.getNumElems(), mode, pass))
            EXPECT_NE(textOf(wrong), kXml);
        else
            EXPECT_EQ(textOf(wrong), "before");
    }
}

TEST(XmlCryptBuffers, RecordedLengthMustFitTheData)
{
    CNXRXmlCrypt service;
    const Bytes plain = bytesOf(kXml);
    const Passphrase pw = passphrase(u"pw");
    Bytes cipher;
    ASSERT_TRUE(service.encryptXMLBuffer(&plain, &cipher, 2, &pw));
    Bytes out = bytesOf("before");
    EXPECT_FALSE(service.decryptXMLBuffer(&cipher, &out, plain.getNumElems() + 1, 2, &pw));
    EXPECT_FALSE(service.decryptXMLBuffer(&cipher, &out, 0, 2, &pw));
    EXPECT_EQ(textOf(out), "before");
}

TEST(XmlCryptFiles, ShortContainersAreRefused)
{
    ScratchDir dir;
    CNXRXmlCrypt service;
    const Passphrase none;
    for (size_t n = 0; n <= 8; ++n) {
        const std::string path = dir.file("short" + std::to_string(n) + ".enc");
        writeFile(path, std::string(n, '\1'));
        Bytes out;
        EXPECT_FALSE(service.loadXMLBufferFromEncryptedFile(name(path), &out, &none)) << n;
        EXPECT_FALSE(service.decryptXMLFile(name(path), &none));
    }
}

TEST(XmlCryptFiles, AContainerThatIsOnlyTheSuffixHasNoOutputName)
{
    ScratchDir dir;
    CNXRXmlCrypt service;
    const Passphrase none;
    const std::string doc = dir.file("x.xml");
    writeFile(doc, kXml);
    ASSERT_TRUE(service.encryptXMLFile(name(doc), 1, &none));
    std::filesystem::rename(doc + ".enc", dir.file(".enc"));
    EXPECT_FALSE(service.decryptXMLFile(name(dir.file(".enc")), &none));
}

class XmlCryptDiskFaults : public ::testing::Test {
protected:
    ScratchDir dir;
    CNXRXmlCrypt service;
    std::string target = dir.file("out.xml");
    const Bytes data = bytesOf(kXml);

    void SetUp() override { writeFile(target, "the old content, longer than nothing"); }
    bool flush() { return service.flushBufferToDisk(name(target), &data); }
};

TEST_F(XmlCryptDiskFaults, EachFailingCallLeavesTheOldFile)
{
    const std::pair<os::FileOp, int> faults[] = {
        {os::FileOp::Open, EACCES}, {os::FileOp::Lock, EWOULDBLOCK}, {os::FileOp::Write, ENOSPC},
        {os::FileOp::Write, EFBIG}, {os::FileOp::Write, EIO},        {os::FileOp::Fsync, EIO},
        {os::FileOp::Close, EIO},   {os::FileOp::Rename, EXDEV},
    };
    for (const auto& [op, err] : faults) {
        {
            os::CScopedFileFaults faultsInForce;
            faultsInForce.fail(op, err);
            EXPECT_FALSE(flush()) << int(op) << " " << err;
        }
        EXPECT_EQ(readFile(target), "the old content, longer than nothing") << int(op);
        expectNoTemporaries(dir);
    }
    // And a new name stays absent.
    target = dir.file("new.xml");
    {
        os::CScopedFileFaults faultsInForce;
        faultsInForce.fail(os::FileOp::Write, ENOSPC);
        EXPECT_FALSE(flush());
    }
    EXPECT_FALSE(fileExists(target));
    expectNoTemporaries(dir);
}

TEST_F(XmlCryptDiskFaults, ShortWritesAreCompleted)
{
    os::CScopedFileFaults faultsInForce;
    faultsInForce.shortWrites(3);
    EXPECT_TRUE(flush());
    EXPECT_EQ(readFile(target), kXml);
}

TEST_F(XmlCryptDiskFaults, WriteFailureIsLoggedWithItsCode)
{
    ScopedRegistry reg;
    reg.enableLogging(27);
    {
        os::CScopedFileFaults faultsInForce;
        faultsInForce.fail(os::FileOp::Write, ENOSPC);
        EXPECT_FALSE(flush());
    }
    const auto lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"WriteFile call failed for file:" + target + "\" <Error: 0x0000001c> "),
              std::string::npos);
}

TEST_F(XmlCryptDiskFaults, AnOutputHeldByAnotherWriterIsNotReplaced)
{
    const int fd = ::open(target.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(flush());
    ::close(fd);
    EXPECT_EQ(readFile(target), "the old content, longer than nothing");
    EXPECT_TRUE(flush());
    EXPECT_EQ(readFile(target), kXml);
}

TEST_F(XmlCryptDiskFaults, ReadFailuresFailTheLoad)
{
    const std::string doc = dir.file("in.xml");
    writeFile(doc, kXml);
    const Passphrase none;
    Bytes out;
    {
        os::CScopedFileFaults faultsInForce;
        faultsInForce.fail(os::FileOp::Read, EIO);
        EXPECT_FALSE(service.getFileBuffer(name(doc), &out));
        EXPECT_FALSE(service.encryptXMLFile(name(doc), 1, &none));
    }
    EXPECT_FALSE(fileExists(doc + ".enc"));
    EXPECT_TRUE(service.getFileBuffer(name(doc), &out));
    EXPECT_EQ(textOf(out), kXml);
}

TEST(XmlCryptFiles, LargeDocumentsRoundTripInPieces)
{
    // Larger than one read piece (4 MiB) and many decryption pieces (1 MiB),
    // so the check follows the bytes across piece boundaries.
    ScratchDir dir;
    CNXRXmlCrypt service;
    const Passphrase pw = passphrase(u"pw");
    std::string big = "<rows>";
    for (int i = 0; big.size() < (9u << 20); ++i)
        big += "<row n=\"" + std::to_string(i) + "\">text &amp; more text</row>\n";
    big += "</rows>";
    const std::string doc = dir.file("big.xml");
    writeFile(doc, big);
    ASSERT_TRUE(service.encryptXMLFile(name(doc), 2, &pw));
    std::filesystem::remove(doc);
    ASSERT_TRUE(service.decryptXMLFile(name(doc + ".enc"), &pw));
    EXPECT_EQ(readFile(doc), big);

    // Broken far past the first pieces: refused, and nothing is written.
    std::filesystem::remove(doc);
    std::string broken = big;
    broken[broken.size() - 3] = '!';
    writeFile(dir.file("broken.xml"), broken);
    EXPECT_FALSE(service.encryptXMLFile(name(dir.file("broken.xml")), 2, &pw));
    EXPECT_FALSE(fileExists(dir.file("broken.xml.enc")));
    expectNoTemporaries(dir);
}
