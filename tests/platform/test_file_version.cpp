// Version resources: the items of the two sample PE files (tests/data, made
// by make_pe.sh), the first-translation rule, the cache, files without a
// version resource, and truncated or damaged images and blocks, which must
// fail cleanly without reading past what they hold.
#include "nxr_file.h"
#include "nxr_os_error.h"
#include "nxr_os_file.h"
#include "nxr_os_version.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace nxr;
using nxrtest::readFile;
using nxrtest::readLogLines;
using nxrtest::ScopedRegistry;
using nxrtest::ScratchDir;
using nxrtest::writeFile;
using S = CNXRWCharString;

namespace {

const std::string kExe = DOCSEAL_TEST_DATA "/sample32.exe";
const std::string kDll = DOCSEAL_TEST_DATA "/sample64.dll";

size_t countLines(const std::vector<std::string>& lines, const std::string& part)
{
    size_t n = 0;
    for (const auto& line : lines)
        n += line.find(part) != std::string::npos;
    return n;
}

std::u16string item(CNXRFile& file, bool (CNXRFile::*getter)(S*))
{
    S out(u"untouched");
    EXPECT_TRUE((file.*getter)(&out));
    return std::u16string(out.view());
}

uint32_t rd32(const std::string& b, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void wr32(std::string& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

// File offset of the resource data-directory entry (RVA, size).
size_t resourceDirectoryEntry(const std::string& image)
{
    const size_t nt = rd32(image, 0x3C);
    const size_t optional = nt + 24;
    const bool bPlus = image[optional] == 0x0B && image[optional + 1] == 0x02;
    return optional + (bPlus ? 112 : 96) + 2 * 8;
}

// Offset of a UTF-16 text in a file or block.
size_t findWide(const std::string& b, const std::u16string& text)
{
    std::string needle;
    for (char16_t c : text) {
        needle.push_back(static_cast<char>(c & 0xFF));
        needle.push_back(static_cast<char>(c >> 8));
    }
    return b.find(needle);
}

// The version block as getFileVersionInfo gives it, in a heap block of
// exactly its size so that the sanitizer sees any read past its end.
std::vector<uint8_t> versionBlock(const std::string& path)
{
    const uint32_t n = os::getFileVersionInfoSize(path);
    EXPECT_NE(n, 0u) << path;
    std::vector<uint8_t> block(n);
    EXPECT_TRUE(os::getFileVersionInfo(path, 0, n, block.data()));
    return block;
}

std::u16string queryText(const void* pBlock, uint32_t ulSize, std::u16string_view path)
{
    const void* p = nullptr;
    uint32_t n = 0;
    bool bText = false;
    if (!os::verQueryValue(pBlock, ulSize, path, &p, &n, &bText))
        return u"<missing>";
    EXPECT_TRUE(bText);
    std::u16string s(n, u'\0');
    std::memcpy(s.data(), p, size_t(n) * 2);
    while (!s.empty() && s.back() == 0)
        s.pop_back();
    return s;
}

// Runs every kind of query on a block copied to a heap block of exactly
// ulSize bytes; nothing it returns may reach past that block.
void queryEverything(const uint8_t* pData, uint32_t ulSize)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[ulSize ? ulSize : 1]);
    std::memcpy(copy.get(), pData, ulSize);
    for (std::u16string_view path :
         {u"\\", u"\\VarFileInfo\\Translation", u"\\StringFileInfo\\040904b0\\CompanyName",
          u"\\StringFileInfo\\040704e4\\Comments", u"\\StringFileInfo\\040904b0\\SpecialBuild",
          u"\\StringFileInfo\\040704e4\\NoSuchItem", u"\\StringFileInfo"}) {
        const void* p = nullptr;
        uint32_t n = 0;
        bool bText = false;
        os::setLastError(0);
        if (os::verQueryValue(copy.get(), ulSize, path, &p, &n, &bText)) {
            const auto* v = static_cast<const uint8_t*>(p);
            const size_t ulBytes = bText ? size_t(n) * 2 : n;
            if (n > 0) {
                ASSERT_GE(v, copy.get());
                ASSERT_LE(v + ulBytes, copy.get() + ulSize);
                volatile uint8_t sink = 0;
                for (size_t i = 0; i < ulBytes; ++i)
                    sink = sink ^ v[i];
            }
        } else {
            const uint32_t e = os::getLastError();
            ASSERT_TRUE(e == os::kErrorBadImage || e == os::kErrorNoVersion) << e;
        }
    }
}

// Reads an image the way CNXRFile does and checks the outcome is a clean
// success or a clean refusal.
void readImage(const std::string& path, uint64_t ullFileSize)
{
    os::setLastError(0);
    const uint32_t n = os::getFileVersionInfoSize(path);
    if (n == 0) {
        const uint32_t e = os::getLastError();
        ASSERT_TRUE(e == os::kErrorBadImage || e == os::kErrorNoVersion) << e;
        return;
    }
    ASSERT_LE(n, ullFileSize);
    std::vector<uint8_t> block(n);
    ASSERT_TRUE(os::getFileVersionInfo(path, 0, n, block.data()));
    queryEverything(block.data(), n);
}

// A scratch copy of an image that is changed in place between reads:
// rewriting whole files thousands of times is slow on some file systems.
class CScratchImage {
public:
    CScratchImage(const std::string& path, const std::string& image) : m_path(path), m_image(image)
    {
        writeFile(path, image);
        m_fd = ::open(path.c_str(), O_RDWR);
        EXPECT_GE(m_fd, 0);
    }
    ~CScratchImage() { ::close(m_fd); }
    CScratchImage(const CScratchImage&) = delete;
    CScratchImage& operator=(const CScratchImage&) = delete;

    void patch(size_t at, const void* p, size_t n) { ASSERT_EQ(::pwrite(m_fd, p, n, off_t(at)), ssize_t(n)); }
    void restore(size_t at, size_t n) { patch(at, m_image.data() + at, n); }
    void truncate(size_t n) { ASSERT_EQ(::ftruncate(m_fd, off_t(n)), 0); }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::string m_image;
    int m_fd = -1;
};

} // namespace

TEST(FileVersion, ReadsEveryItemOfTheFirstTranslation)
{
    CNXRFile file(S(kExe.c_str()));
    EXPECT_EQ(item(file, &CNXRFile::getComments), u"Sample program for the version reader tests");
    EXPECT_EQ(item(file, &CNXRFile::getCompanyName), u"Docseal Test Works");
    EXPECT_EQ(item(file, &CNXRFile::getFileDescription), u"Version resource sample (32-bit)");
    EXPECT_EQ(item(file, &CNXRFile::getFileVersion), u"1.2.3.4");
    EXPECT_EQ(item(file, &CNXRFile::getVersion), u"1.2.3.4");
    EXPECT_EQ(item(file, &CNXRFile::getInternalName), u"sample32");
    EXPECT_EQ(item(file, &CNXRFile::getLegalCopyright), u"Copyright (C) Docseal Test Works");
    EXPECT_EQ(item(file, &CNXRFile::getLegalTrademarks), u"None registered");
    EXPECT_EQ(item(file, &CNXRFile::getOriginalFilename), u"sample32.exe");
    EXPECT_EQ(item(file, &CNXRFile::getPrivateBuildDescription), u"built by tests/data/make_pe.sh");
    EXPECT_EQ(item(file, &CNXRFile::getProductName), u"docseal samples");
    EXPECT_EQ(item(file, &CNXRFile::getProductVersion), u"1.2");
    EXPECT_EQ(item(file, &CNXRFile::getSpecialBuildDescription), u"plain");
    EXPECT_EQ(item(file, &CNXRFile::getLanguage), u"0409 04b0");
    S out;
    EXPECT_TRUE(file.getFileInfoItem(S(u"companyname"), &out)); // keys match without regard to case
    EXPECT_EQ(out.view(), u"Docseal Test Works");
}

TEST(FileVersion, OnlyTheFirstTranslationIsRead)
{
    ScopedRegistry reg;
    reg.enableLogging(2);
    CNXRFile file(S(kDll.c_str()));
    EXPECT_EQ(item(file, &CNXRFile::getLanguage), u"0407 04e4");
    EXPECT_EQ(item(file, &CNXRFile::getCompanyName), u"Docseal Testwerke");
    EXPECT_EQ(item(file, &CNXRFile::getFileDescription), u"Beispielbibliothek (64 Bit)");
    EXPECT_EQ(item(file, &CNXRFile::getComments), u""); // present and empty
    S out(u"kept");
    EXPECT_FALSE(file.getSpecialBuildDescription(&out)); // only under the second translation
    EXPECT_EQ(out.view(), u"kept");
    EXPECT_FALSE(file.getFileInfoItem(S(std::string(227, 'x').c_str()), &out));
    EXPECT_FALSE(file.getFileInfoItem(S(u"CompanyName"), nullptr));

    // The item is in the block, under the second translation.
    const auto block = versionBlock(kDll);
    const uint32_t n = uint32_t(block.size());
    EXPECT_EQ(queryText(block.data(), n, u"\\StringFileInfo\\040904b0\\SpecialBuild"),
              u"only in the second translation");
    EXPECT_EQ(queryText(block.data(), n, u"\\StringFileInfo\\040904B0\\CompanyName"), u"Docseal Test Works");
    EXPECT_EQ(queryText(block.data(), n, u"StringFileInfo\\\\040704e4\\ProductName"), u"docseal Beispiele");
    EXPECT_EQ(queryText(block.data(), n, u"\\StringFileInfo\\040704e4\\SpecialBuild"), u"<missing>");
    EXPECT_EQ(os::getLastError(), os::kErrorNoVersion);

    const auto lines = readLogLines(reg.logPath());
    EXPECT_EQ(countLines(lines, "\"Error in call to VerQueryValue\" <Error: 0x0000003d>"), 1u);
    EXPECT_EQ(countLines(lines, "A bad argument was provided ( itemName )"), 1u);
    EXPECT_EQ(countLines(lines, "A bad argument was provided ( pOut )"), 1u);
    EXPECT_EQ(lines.size(), 3u);
}

TEST(FileVersion, FixedInfoAndPartialCopies)
{
    const auto block = versionBlock(kExe);
    const void* p = nullptr;
    uint32_t n = 0;
    ASSERT_TRUE(os::verQueryValue(block.data(), uint32_t(block.size()), u"\\", &p, &n));
    ASSERT_EQ(n, 52u); // the fixed file information
    const auto* fixed = static_cast<const uint8_t*>(p);
    uint32_t signature, versionMs, versionLs;
    std::memcpy(&signature, fixed, 4);
    std::memcpy(&versionMs, fixed + 8, 4);
    std::memcpy(&versionLs, fixed + 12, 4);
    EXPECT_EQ(signature, 0xFEEF04BDu);
    EXPECT_EQ(versionMs, 0x00010002u);
    EXPECT_EQ(versionLs, 0x00030004u);
    ASSERT_TRUE(os::verQueryValue(block.data(), uint32_t(block.size()), u"\\VarFileInfo\\Translation", &p, &n));
    EXPECT_EQ(n, 4u);

    std::vector<uint8_t> head(10, 0xAA);
    ASSERT_TRUE(os::getFileVersionInfo(kExe, 0, 10, head.data()));
    EXPECT_TRUE(std::equal(head.begin(), head.end(), block.begin()));

    EXPECT_FALSE(os::getFileVersionInfo(kExe, 0, 0, head.data()));
    EXPECT_EQ(os::getLastError(), uint32_t(EINVAL));
    EXPECT_FALSE(os::verQueryValue(nullptr, 10, u"\\", &p, &n));
    EXPECT_FALSE(os::verQueryValue(block.data(), 1, u"\\", &p, &n));
    EXPECT_EQ(os::getLastError(), os::kErrorBadImage);

    // A read that fails keeps its own reason, at whichever step it happens.
    for (uint32_t ulRead = 1; ulRead <= 8; ++ulRead) {
        os::CScopedFileFaults faults;
        faults.fail(os::FileOp::Read, EIO, ulRead);
        EXPECT_EQ(os::getFileVersionInfoSize(kExe), 0u) << ulRead;
        EXPECT_EQ(os::getLastError(), uint32_t(EIO)) << ulRead;
    }
}

TEST(FileVersion, BlockIsReadOnceAndAgainAfterANewName)
{
    ScopedRegistry reg;
    reg.enableLogging(2);
    CNXRFile file(S(kExe.c_str()));
    EXPECT_EQ(item(file, &CNXRFile::getProductName), u"docseal samples");
    {
        // With files no longer opening, the cached block still answers.
        os::CScopedFileFaults faults;
        faults.fail(os::FileOp::Open, EACCES);
        EXPECT_EQ(item(file, &CNXRFile::getInternalName), u"sample32");
        EXPECT_EQ(item(file, &CNXRFile::getLanguage), u"0409 04b0");
        // A new name empties the cache, so the file is read again.
        EXPECT_TRUE(file.setFilename(S(kExe.c_str())));
        S out;
        EXPECT_FALSE(file.getInternalName(&out));
    }
    // A failed read left nothing behind: the next getter tries again.
    EXPECT_EQ(item(file, &CNXRFile::getInternalName), u"sample32");
    EXPECT_TRUE(file.setFilename(S(kDll.c_str())));
    EXPECT_EQ(item(file, &CNXRFile::getProductName), u"docseal Beispiele");

    // A copy of an object whose cache is filled takes the block along.
    CNXRFile other(S(kExe.c_str()));
    EXPECT_EQ(item(other, &CNXRFile::getProductName), u"docseal samples");
    other = file;
    os::CScopedFileFaults faults;
    faults.fail(os::FileOp::Open, EACCES);
    EXPECT_EQ(item(other, &CNXRFile::getProductName), u"docseal Beispiele");

    const auto lines = readLogLines(reg.logPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"Error in call to GetFileVersionInfoSize\" <Error: 0x0000000d>"), std::string::npos);
}

TEST(FileVersion, FilesWithoutAVersionResource)
{
    ScopedRegistry reg;
    reg.enableLogging(2);
    ScratchDir dir;
    S out;

    // ELF: this test program itself.
    CNXRFile elf(S("/proc/self/exe"));
    EXPECT_FALSE(elf.getCompanyName(&out));
    EXPECT_FALSE(elf.getLanguage(&out));
    EXPECT_EQ(os::getFileVersionInfoSize("/proc/self/exe"), 0u);
    EXPECT_EQ(os::getLastError(), os::kErrorBadImage);

    // A PE image whose resource directory entry is empty.
    std::string image = readFile(kExe);
    wr32(image, resourceDirectoryEntry(image), 0);
    writeFile(dir.file("nores.exe"), image);
    CNXRFile noResource(S(dir.file("nores.exe").c_str()));
    EXPECT_FALSE(noResource.getFileVersion(&out));

    // A version block without its translation table.
    image = readFile(kExe);
    image[findWide(image, u"Translation")] = 'X';
    writeFile(dir.file("notrans.exe"), image);
    CNXRFile noTranslation(S(dir.file("notrans.exe").c_str()));
    EXPECT_FALSE(noTranslation.getFileVersion(&out));
    EXPECT_FALSE(noTranslation.getLanguage(&out));

    // Not there at all; a folder; an empty file.
    const std::string missing = dir.file("missing.exe");
    CNXRFile absent(S(missing.c_str()));
    EXPECT_FALSE(absent.getCompanyName(&out));
    EXPECT_FALSE(absent.getLanguage(&out));
    CNXRFile folder(S(dir.path().c_str()));
    EXPECT_FALSE(folder.getCompanyName(&out));
    writeFile(dir.file("empty.exe"), "");
    CNXRFile empty(S(dir.file("empty.exe").c_str()));
    EXPECT_FALSE(empty.getCompanyName(&out));
    EXPECT_EQ(out.getLength(), 0u);

    const auto lines = readLogLines(reg.logPath());
    const std::string sizeError = "\"Error in call to GetFileVersionInfoSize\" <Error: ";
    EXPECT_EQ(countLines(lines, sizeError + "0x00000008>"), 3u); // ELF twice, empty file
    EXPECT_EQ(countLines(lines, sizeError + "0x0000003d>"), 1u); // no resource directory
    EXPECT_EQ(countLines(lines, sizeError + "0x00000015>"), 1u); // a folder
    EXPECT_EQ(countLines(lines, "\"Error in call to VerQueryValue\" <Error: 0x0000003d>"), 2u);
    EXPECT_EQ(countLines(lines, "\"The specified file, " + missing + ", is invalid.\""), 2u);
    EXPECT_EQ(lines.size(), 9u);
}

TEST(FileVersion, TruncatedImagesFailCleanly)
{
    ScratchDir dir;
    for (const std::string& sample : {kExe, kDll}) {
        const std::string image = readFile(sample);
        const auto block = versionBlock(sample);
        const size_t blockEnd = image.find(std::string(block.begin(), block.end())) + block.size();
        ASSERT_LE(blockEnd, image.size());
        CScratchImage scratch(dir.file("cut.bin"), image);
        for (size_t n = image.size(); n-- > 0;) {
            scratch.truncate(n);
            const uint32_t size = os::getFileVersionInfoSize(scratch.path());
            if (n < blockEnd) {
                ASSERT_EQ(size, 0u) << sample << " cut at " << n;
                ASSERT_EQ(os::getLastError(), os::kErrorBadImage) << sample << " cut at " << n;
            } else {
                ASSERT_EQ(size, block.size()) << sample << " cut at " << n;
            }
        }
    }
}

TEST(FileVersion, DamagedImagesFailCleanly)
{
    ScratchDir dir;
    for (const std::string& sample : {kExe, kDll}) {
        const std::string image = readFile(sample);
        CScratchImage scratch(dir.file("damaged.bin"), image);
        // Every byte set to values that break offsets, counts and flags.
        for (size_t at = 0; at < image.size(); ++at) {
            for (char v : {'\x00', '\xff', '\x80'}) {
                if (image[at] == v)
                    continue;
                scratch.patch(at, &v, 1);
                readImage(scratch.path(), image.size());
                if (HasFatalFailure())
                    FAIL() << sample << ": byte " << at << " set to " << int(uint8_t(v));
            }
            scratch.restore(at, 1);
        }
        // Every aligned 32-bit field set to large values, just past the file
        // and just short of its end.
        for (size_t at = 0; at + 4 <= image.size(); at += 4) {
            for (uint32_t v : {0xFFFFFFFFu, 0x7FFFFFFFu, uint32_t(image.size()), uint32_t(image.size() - 2)}) {
                scratch.patch(at, &v, 4);
                readImage(scratch.path(), image.size());
                if (HasFatalFailure())
                    FAIL() << sample << ": field at " << at << " set to " << v;
            }
            scratch.restore(at, 4);
        }
    }
}

TEST(FileVersion, GettersOnDamagedBlocksFailOrAnswer)
{
    // Through the object, which reads the item text out of the block: a
    // damaged node type or length must not make it read past the block.
    ScratchDir dir;
    const std::string image = readFile(kExe);
    const auto block = versionBlock(kExe);
    const size_t start = image.find(std::string(block.begin(), block.end()));
    ASSERT_NE(start, std::string::npos);
    CScratchImage scratch(dir.file("damaged.exe"), image);
    CNXRFile file(S(scratch.path().c_str()));
    for (size_t at = start; at < start + block.size(); ++at) {
        for (char v : {'\x00', '\xff'}) {
            scratch.patch(at, &v, 1);
            ASSERT_TRUE(file.setFilename(S(scratch.path().c_str())));
            S out;
            if (file.getCompanyName(&out)) {
                EXPECT_LE(out.getLength(), block.size() / 2);
            }
        }
        scratch.restore(at, 1);
    }
}

TEST(FileVersion, DamagedBlocksNeverReadPastTheirEnd)
{
    const auto block = versionBlock(kDll);
    const uint32_t n = uint32_t(block.size());
    // Every shorter length of the block, as a block of exactly that size.
    for (uint32_t len = 0; len <= n; ++len) {
        queryEverything(block.data(), len);
        if (HasFatalFailure())
            FAIL() << "block cut to " << len;
    }
    // Every byte and every 16-bit length field damaged.
    for (uint32_t at = 0; at < n; ++at) {
        for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x01), uint8_t(0x7F)}) {
            auto damaged = block;
            damaged[at] = v;
            queryEverything(damaged.data(), n);
            if (HasFatalFailure())
                FAIL() << "byte " << at << " set to " << int(v);
        }
    }
}
