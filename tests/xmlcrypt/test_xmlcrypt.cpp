// The encryption service: key modes, the container, and what the file
// operations leave on disk when the disk fails them.
#include "nxr_os_file.h"
#include "nxr_securebuffer.h"
#include "nxr_xmlcrypt.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

using namespace nxr;
using namespace nxrtest;

namespace {

using Bytes = CNXRBuffer<NXR_BYTE>;
using Passphrase = CNXRSecureBuffer<NXR_USHORT>;


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
    const Passphrase pw = passphrase(u"pw"), other = passphrase(u"pw "), none;
    const auto seal = [&](int32_t mode, const Passphrase& pass) {
        Bytes cipher = bytesOf("untouched");
        const bool bSealed = service.encryptXMLBuffer(&plain, &cipher, mode, &pass);
        EXPECT_EQ(bSealed, textOf(cipher) != "untouched") << mode;
        return textOf(cipher);
    };
    // Unknown modes, and modes 2 and 3 without a passphrase, fail and leave
    // the output as it was.
    for (const auto& [mode, pass] : {std::pair{0, &pw}, {4, &pw}, {-1, &pw}, {256 + 2, &pw}, {2, &none}, {3, &none}})
        EXPECT_EQ(seal(mode, *pass), "untouched") << mode;
    // Mode 1 ignores the passphrase it is given; modes 2 and 3 depend on
    // every character, the zero included.
    EXPECT_EQ(seal(1, pw), seal(1, none));
    EXPECT_NE(seal(2, pw), seal(2, other));
    const Bytes c1 = bytesOf(seal(1, none)), c2 = bytesOf(seal(2, pw)), c3 = bytesOf(seal(3, pw));
    EXPECT_EQ(c3.getNumElems() % 8, 0u);

    Bytes out;
    ASSERT_TRUE(service.decryptXMLBuffer(&c2, &out, plain.getNumElems(), 2, &pw));
    EXPECT_EQ(textOf(out), kXml);
    ASSERT_TRUE(service.decryptXMLBuffer(&c3, &out, plain.getNumElems(), 3, &pw));
    EXPECT_EQ(textOf(out), kXml);
    ASSERT_TRUE(service.decryptXMLBuffer(&c1, &out, 5, 1, &none));
    EXPECT_EQ(textOf(out), kXml.substr(0, 5));

    // Wrong keys either fail or do not give the document back; a recorded
    // length beyond the deciphered data, or zero, fails. A failure leaves the
    // output as it was.
    for (const auto& [mode, pass] : {std::pair{1, &pw}, std::pair{3, &pw}, std::pair{2, &other}}) {
        Bytes wrong = bytesOf("before");
        if (service.decryptXMLBuffer(&c2, &wrong, plain.getNumElems(), mode, pass))
            EXPECT_NE(textOf(wrong), kXml);
        else
            EXPECT_EQ(textOf(wrong), "before");
    }
    for (const uint32_t ulLength : {plain.getNumElems() + 1, 0u}) {
        Bytes kept = bytesOf("before");
        EXPECT_FALSE(service.decryptXMLBuffer(&c2, &kept, ulLength, 2, &pw));
        EXPECT_EQ(textOf(kept), "before");
    }
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

// Each failing call fails the write, is logged with its error code, leaves
// the old file as it was and leaves no temporary behind; a new name stays
// absent. Only the folder's sync after the output took its name (the second
// fsync) lets the write stand, with a warning.
TEST_F(XmlCryptDiskFaults, EachFailingCallLeavesTheOldFile)
{
    const struct {
        os::FileOp op;
        int err;
        const char* pszCall; // none: the write stands
        bool bNewName = false;
        uint32_t ulFirst = 1;
    } faults[] = {
        {os::FileOp::Open, EACCES, "CreateFile"}, {os::FileOp::Lock, EWOULDBLOCK, "CreateFile"},
        {os::FileOp::Write, ENOSPC, "WriteFile"}, {os::FileOp::Write, EFBIG, "WriteFile"},
        {os::FileOp::Write, EIO, "WriteFile"},    {os::FileOp::Fsync, EIO, "WriteFile"},
        {os::FileOp::Link, EIO, "WriteFile"},     {os::FileOp::Rename, EXDEV, "WriteFile"},
        {os::FileOp::Write, ENOSPC, "WriteFile", true},
        {os::FileOp::Fsync, EIO, nullptr, false, 2},
    };
    const std::string old = readFile(target);
    for (const auto& f : faults) {
        target = dir.file(f.bNewName ? "new.xml" : "out.xml");
        SCOPED_TRACE(std::to_string(int(f.op)) + " " + std::to_string(f.err) + " " + target);
        ScopedRegistry reg;
        reg.enableLogging(27);
        {
            os::CScopedFileFaults faultsInForce;
            faultsInForce.fail(f.op, f.err, f.ulFirst);
            EXPECT_EQ(flush(), f.pszCall == nullptr);
        }
        if (f.bNewName)
            EXPECT_FALSE(fileExists(target));
        else
            EXPECT_EQ(readFile(target), f.pszCall ? old : kXml);
        expectNoTemporaries(dir);
        char record[32];
        std::snprintf(record, sizeof(record), "\" <Error: 0x%08x> ", unsigned(f.err));
        const auto lines = readLogLines(reg.logPath());
        ASSERT_EQ(lines.size(), 1u);
        const std::string message = f.pszCall ? f.pszCall + (" call failed for file:" + target)
                                              : target + " could not be synced: its new name may not survive a crash";
        EXPECT_NE(lines[0].find(message + record), std::string::npos) << lines[0];
    }
}

// A write that the kernel takes a few bytes at a time is completed.
TEST_F(XmlCryptDiskFaults, ShortWritesAreCompleted)
{
    os::CScopedFileFaults faultsInForce;
    faultsInForce.shortWrites(3);
    EXPECT_TRUE(flush());
    EXPECT_EQ(readFile(target), kXml);
}

TEST_F(XmlCryptDiskFaults, AReadFaultFailsTheRoadAndWritesNothing)
{
    writeFile(target, kXml);
    const Passphrase none;
    os::CScopedFileFaults faultsInForce;
    faultsInForce.fail(os::FileOp::Read, EIO);
    EXPECT_FALSE(service.encryptXMLFile(name(target), 1, &none));
    EXPECT_FALSE(fileExists(target + ".enc"));
}

TEST(XmlCryptFiles, LargeDocumentsRoundTripInPieces)
{
    // Larger than the window of bytes the check holds (8 MiB), in many pieces
    // (1 MiB), with far more namespace declarations than may be in scope at
    // once (each row declares its own) and a text that says "xmlns" more
    // often than that; in UTF-8 and in UTF-16.
    ScratchDir dir;
    CNXRXmlCrypt service;
    const Passphrase pw = passphrase(u"pw");
    std::string big = "<rows>";
    for (int i = 0; big.size() < (9u << 20); ++i)
        big += "<row xmlns:r=\"urn:r\" r:n=\"" + std::to_string(i) + "\">text &amp; more text</row>\n";
    big += "<text>";
    for (int i = 0; i < 300; ++i)
        big += "xmlns ";
    big += "</text></rows>";
    // The same rows in UTF-16, where '<' is two bytes.
    std::string wide = "\xFF\xFE";
    for (const char c : big)
        wide += std::string{c, '\0'};
    writeFile(dir.file("wide.xml"), wide);
    ASSERT_TRUE(service.encryptXMLFile(name(dir.file("wide.xml")), 2, &pw));
    const std::string doc = dir.file("big.xml");
    writeFile(doc, big);
    ASSERT_TRUE(service.encryptXMLFile(name(doc), 2, &pw));
    std::filesystem::remove(doc);
    ASSERT_TRUE(service.decryptXMLFile(name(doc + ".enc"), &pw));
    EXPECT_EQ(readFile(doc), big);
    // Read as bytes, a container is only bytes: no check runs, nothing is
    // logged.
    ScopedRegistry reg;
    reg.enableLogging(0x1B);
    Bytes raw;
    EXPECT_TRUE(service.getFileBuffer(name(doc + ".enc"), &raw));
    EXPECT_EQ(raw.getNumElems(), std::filesystem::file_size(doc + ".enc"));
    EXPECT_TRUE(readLogLines(reg.logPath()).empty());

    // Broken far past the first pieces: refused, and nothing is written.
    std::filesystem::remove(doc);
    std::string broken = big;
    broken[broken.size() - 3] = '!';
    writeFile(dir.file("broken.xml"), broken);
    EXPECT_FALSE(service.encryptXMLFile(name(dir.file("broken.xml")), 2, &pw));
    EXPECT_FALSE(fileExists(dir.file("broken.xml.enc")));
    expectNoTemporaries(dir);
}
