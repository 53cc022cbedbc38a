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
#include <vector>

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

// Documents of every length up to eight blocks and on each side of a piece
// (1 MiB) and of the check's window (8 MiB): the container is the header and
// the padded blocks of the key mode, and reads back as the same bytes; a
// recorded length one short reads as that prefix, with a warning, and one
// beyond is refused. The large ones declare far more namespaces than may be
// in scope at once (each row its own) and say "xmlns" in their text.
TEST(XmlCryptFiles, EveryLengthAroundBlocksPiecesAndTheWindow)
{
    ScratchDir dir;
    ScopedRegistry reg;
    reg.enableLogging(0x1B);
    CNXRXmlCrypt service;
    const Passphrase pw = passphrase(u"pw");
    const std::string doc = dir.file("d.xml");
    std::string rows = "<rows>";
    for (int i = 0; rows.size() < (9u << 20); ++i)
        rows += "<row xmlns:r=\"urn:r\" r:n=\"" + std::to_string(i) + "\">text &amp; xmlns</row>\n";
    std::vector<size_t> lengths{(1u << 20) - 1, 1u << 20, (1u << 20) + 1, 8u << 20, (8u << 20) + 1};
    for (size_t n = 1; n <= 64; ++n)
        lengths.push_back(n);
    for (const size_t n : lengths)
        for (int32_t mode = 2; mode <= (n <= 64 ? 3 : 2); ++mode) {
            SCOPED_TRACE(std::to_string(n) + " bytes, mode " + std::to_string(mode));
            std::string text = n < 4 ? std::string(n, '<')
                               : n <= 64 ? "<a/>"
                                         : rows.substr(0, rows.rfind('\n', n - 8) + 1) + "</rows>";
            text.resize(n, ' ');
            writeFile(doc, text);
            std::filesystem::remove(doc + ".enc");
            ASSERT_EQ(service.encryptXMLFile(name(doc), mode, &pw), n >= 4);
            const std::string sealed = readFile(doc + ".enc");
            const size_t block = mode == 3 ? 8 : 16;
            EXPECT_EQ(sealed.size(), n < 4 ? 0 : 8 + (n / block + 1) * block);
            for (const size_t recorded : {n - 1, n, n + 1}) {
                std::string header = {char(mode), 0, 0, 0, char(recorded), char(recorded >> 8), char(recorded >> 16), 0};
                EXPECT_TRUE(n < 4 || recorded != n || sealed.starts_with(header));
                writeFile(doc + ".enc", header + sealed.substr(std::min<size_t>(8, sealed.size())));
                std::filesystem::remove(reg.logPath());
                Bytes read = bytesOf("before");
                const bool bReads = n >= 4 && recorded <= n;
                EXPECT_EQ(service.loadXMLBufferFromEncryptedFile(name(doc + ".enc"), &read, &pw), bReads);
                EXPECT_EQ(textOf(read), bReads ? text.substr(0, recorded) : "before");
                EXPECT_EQ(countLogLines(reg.logPath(), {"<WARNING>", ": 1 bytes dropped"}), bReads && recorded < n);
            }
        }
    // The rows in UTF-16, where '<' is two bytes. Read as bytes, a container
    // is only bytes: nothing is checked or logged.
    std::string wide = "\xFF\xFE";
    for (const char c : rows + "</rows>")
        wide += std::string{c, '\0'};
    writeFile(doc, wide);
    ASSERT_TRUE(service.encryptXMLFile(name(doc), 2, &pw));
    std::filesystem::remove(reg.logPath());
    Bytes raw;
    EXPECT_TRUE(service.getFileBuffer(name(doc + ".enc"), &raw));
    EXPECT_EQ(raw.getNumElems(), std::filesystem::file_size(doc + ".enc"));
    EXPECT_TRUE(readLogLines(reg.logPath()).empty());
}
