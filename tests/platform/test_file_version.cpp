// Version resources: the items of the sample PE files (tests/data, made by
// make_pe.sh), the first-translation rule, the cache, files without a version
// resource, and truncated or damaged images and blocks, which must fail
// cleanly without reading past what they hold.
#include "nxr_file.h"
#include "nxr_os_error.h"
#include "nxr_os_file.h"
#include "nxr_os_version.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace nxr;
using nxrtest::readFile;
using S = CNXRWCharString;

namespace {

const std::string kExe = DOCSEAL_TEST_DATA "/sample32.exe";
const std::string kDll = DOCSEAL_TEST_DATA "/sample64.dll";

std::u16string item(CNXRFile& file, bool (CNXRFile::*getter)(S*))
{
    S out(u"untouched");
    return (file.*getter)(&out) ? std::u16string(out.view()) : u"<failed>";
}

// Log lines holding part.
size_t count(const nxrtest::ScopedRegistry& reg, const std::string& part)
{
    const auto lines = nxrtest::readLogLines(reg.logPath());
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != l.npos; });
}

// The version block, in a heap block of exactly its size.
std::vector<uint8_t> versionBlock(const std::string& path)
{
    std::vector<uint8_t> block(os::getFileVersionInfoSize(path));
    EXPECT_TRUE(os::getFileVersionInfo(path, 0, uint32_t(block.size()), block.data()));
    return block;
}

std::u16string queryText(const std::vector<uint8_t>& block, std::u16string_view path)
{
    const void* p = nullptr;
    uint32_t n = 0;
    bool bText = false;
    if (!os::verQueryValue(block.data(), uint32_t(block.size()), path, &p, &n, &bText))
        return u"<missing>";
    std::u16string s(bText ? n : n / 2, u'\0');
    std::memcpy(s.data(), p, s.size() * 2);
    return bText ? s.substr(0, s.find(u'\0')) : s;
}

bool refusedCleanly() { return os::getLastError() == os::kErrorBadImage || os::getLastError() == os::kErrorNoVersion; }

// Every kind of query on a block of exactly ulSize bytes on the heap: each
// either fails for a stated reason or gives a value inside the block (which
// is copied, so that the sanitizer checks every byte of it).
void queryEverything(const uint8_t* pData, uint32_t ulSize)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[ulSize ? ulSize : 1]);
    std::memcpy(copy.get(), pData, ulSize);
    for (std::u16string_view path : {u"\\", u"\\VarFileInfo\\Translation", u"\\StringFileInfo\\040904b0\\CompanyName",
                                     u"\\StringFileInfo\\040704e4\\Comments", u"\\StringFileInfo\\040704e4\\Nothing"}) {
        const void* p = nullptr;
        uint32_t n = 0;
        bool bText = false;
        if (!os::verQueryValue(copy.get(), ulSize, path, &p, &n, &bText)) {
            ASSERT_TRUE(refusedCleanly());
            continue;
        }
        const auto* v = static_cast<const uint8_t*>(p);
        const size_t ulBytes = bText ? size_t(n) * 2 : n;
        ASSERT_TRUE(ulBytes == 0 || (v >= copy.get() && v + ulBytes <= copy.get() + ulSize));
        ASSERT_EQ(std::vector<uint8_t>(v, v + ulBytes).size(), ulBytes);
    }
}

// Reads a file's block as CNXRFile does, then queries it: a clean success or
// a clean refusal at every step.
void readCleanly(const std::string& path, size_t ulFileSize)
{
    const uint32_t n = os::getFileVersionInfoSize(path);
    ASSERT_TRUE(n != 0 || refusedCleanly());
    if (n == 0)
        return;
    ASSERT_LE(n, ulFileSize);
    std::vector<uint8_t> block(n);
    ASSERT_TRUE(os::getFileVersionInfo(path, 0, n, block.data()));
    queryEverything(block.data(), n);
}

} // namespace

TEST(FileVersion, ReadsTheItemsOfTheFirstTranslation)
{
    CNXRFile exe(S(kExe.c_str()));
    EXPECT_EQ(item(exe, &CNXRFile::getComments), u"Sample program for the version reader tests");
    EXPECT_EQ(item(exe, &CNXRFile::getCompanyName), u"Docseal Test Works");
    EXPECT_EQ(item(exe, &CNXRFile::getFileDescription), u"Version resource sample (32-bit)");
    EXPECT_EQ(item(exe, &CNXRFile::getFileVersion), u"1.2.3.4");
    EXPECT_EQ(item(exe, &CNXRFile::getVersion), u"1.2.3.4");
    EXPECT_EQ(item(exe, &CNXRFile::getInternalName), u"sample32");
    EXPECT_EQ(item(exe, &CNXRFile::getLegalCopyright), u"Copyright (C) Docseal Test Works");
    EXPECT_EQ(item(exe, &CNXRFile::getLegalTrademarks), u"None registered");
    EXPECT_EQ(item(exe, &CNXRFile::getOriginalFilename), u"sample32.exe");
    EXPECT_EQ(item(exe, &CNXRFile::getPrivateBuildDescription), u"built by tests/data/make_pe.sh");
    EXPECT_EQ(item(exe, &CNXRFile::getProductName), u"docseal samples");
    EXPECT_EQ(item(exe, &CNXRFile::getProductVersion), u"1.2");
    EXPECT_EQ(item(exe, &CNXRFile::getSpecialBuildDescription), u"plain");
    EXPECT_EQ(item(exe, &CNXRFile::getLanguage), u"0409 04b0");

    nxrtest::ScopedRegistry reg;
    reg.enableLogging(2);
    CNXRFile dll(S(kDll.c_str()));
    EXPECT_EQ(item(dll, &CNXRFile::getLanguage), u"0407 04e4");
    EXPECT_EQ(item(dll, &CNXRFile::getCompanyName), u"Docseal Testwerke"); // block name in upper case
    EXPECT_EQ(item(dll, &CNXRFile::getComments), u"");                     // present and empty
    EXPECT_EQ(item(dll, &CNXRFile::getSpecialBuildDescription), u"<failed>"); // only under the second
    S out;
    EXPECT_FALSE(dll.getFileInfoItem(S(std::string(227, 'x').c_str()), &out));
    EXPECT_EQ(count(reg, "\"Error in call to VerQueryValue\" <Error: 0x0000003d>"), 1u);
    EXPECT_EQ(count(reg, "A bad argument was provided ( itemName )"), 1u);

    // The item is there, under the second translation; keys match in any case.
    const auto block = versionBlock(kDll);
    EXPECT_EQ(queryText(block, u"\\StringFileInfo\\040904b0\\SpecialBuild"), u"only in the second translation");
    EXPECT_EQ(queryText(block, u"StringFileInfo\\\\040904B0\\companyname"), u"Docseal Test Works");
    EXPECT_EQ(queryText(block, u"\\StringFileInfo\\040704e4\\SpecialBuild"), u"<missing>");
    EXPECT_EQ(os::getLastError(), os::kErrorNoVersion);
    const auto fixed = queryText(versionBlock(kExe), u"\\"); // the fixed file information
    ASSERT_EQ(fixed.size(), 26u);
    EXPECT_EQ(fixed.substr(0, 2), (std::u16string{0x04BD, 0xFEEF}));
    EXPECT_EQ(fixed.substr(4, 4), (std::u16string{2, 1, 4, 3})); // version 1.2.3.4
}

TEST(FileVersion, BlockIsReadOnceAndAgainAfterANewName)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(2);
    CNXRFile file(S(kExe.c_str()));
    EXPECT_EQ(item(file, &CNXRFile::getProductName), u"docseal samples");
    {
        // With files no longer opening, the cached block still answers.
        os::CScopedFileFaults faults;
        faults.fail(os::FileOp::Open, EACCES);
        EXPECT_EQ(item(file, &CNXRFile::getInternalName), u"sample32");
        // An assignment takes the cached block along with the name.
        CNXRFile copy;
        copy = file;
        EXPECT_EQ(item(copy, &CNXRFile::getInternalName), u"sample32");
        // A new name empties the cache, so the file is read again.
        EXPECT_TRUE(file.setFilename(S(kExe.c_str())));
        EXPECT_EQ(item(file, &CNXRFile::getInternalName), u"<failed>");
    }
    EXPECT_EQ(item(file, &CNXRFile::getInternalName), u"sample32"); // a failed read left nothing behind
    EXPECT_TRUE(file.setFilename(S(kDll.c_str())));
    EXPECT_EQ(item(file, &CNXRFile::getProductName), u"docseal Beispiele");
    EXPECT_EQ(count(reg, "\"Error in call to GetFileVersionInfoSize\" <Error: 0x0000000d>"), 1u);

    // A read that fails keeps its own reason, at whichever step it fails.
    for (uint32_t ulRead = 1; ulRead <= 8; ++ulRead) {
        os::CScopedFileFaults faults;
        faults.fail(os::FileOp::Read, EIO, ulRead);
        EXPECT_EQ(os::getFileVersionInfoSize(kExe), 0u);
        EXPECT_EQ(os::getLastError(), uint32_t(EIO)) << ulRead;
    }
}

TEST(FileVersion, FilesWithoutAVersionResource)
{
    nxrtest::ScopedRegistry reg;
    reg.enableLogging(2);
    nxrtest::ScratchDir dir;
    CNXRFile elf(S("/proc/self/exe")); // this test program
    EXPECT_EQ(item(elf, &CNXRFile::getCompanyName), u"<failed>");
    EXPECT_EQ(item(elf, &CNXRFile::getLanguage), u"<failed>");

    std::string image = readFile(kExe);
    const uint32_t ulNt = uint32_t(uint8_t(image[0x3C])) | uint32_t(uint8_t(image[0x3D])) << 8;
    std::memset(image.data() + ulNt + 24 + 96 + 16, 0, 8); // PE32: no resource directory
    nxrtest::writeFile(dir.file("nores.exe"), image);
    CNXRFile noResource(S(dir.file("nores.exe").c_str()));
    EXPECT_EQ(item(noResource, &CNXRFile::getFileVersion), u"<failed>");

    image = readFile(kExe);
    image[image.find(std::string("T\0r\0a\0n\0s", 9))] = 'X'; // no translation table
    nxrtest::writeFile(dir.file("notrans.exe"), image);
    CNXRFile noTranslation(S(dir.file("notrans.exe").c_str()));
    EXPECT_EQ(item(noTranslation, &CNXRFile::getFileVersion), u"<failed>");

    const std::string missing = dir.file("missing.exe");
    CNXRFile absent(S(missing.c_str()));
    EXPECT_EQ(item(absent, &CNXRFile::getCompanyName), u"<failed>");
    EXPECT_EQ(item(absent, &CNXRFile::getLanguage), u"<failed>");
    CNXRFile folder(S(dir.path().c_str()));
    EXPECT_EQ(item(folder, &CNXRFile::getCompanyName), u"<failed>");
    ASSERT_EQ(::mkfifo(dir.file("pipe.exe").c_str(), 0600), 0); // refused at once, never waited on
    CNXRFile pipe(S(dir.file("pipe.exe").c_str()));
    EXPECT_EQ(item(pipe, &CNXRFile::getCompanyName), u"<failed>");

    const std::string sizeError = "\"Error in call to GetFileVersionInfoSize\" <Error: ";
    EXPECT_EQ(count(reg, sizeError + "0x00000008>"), 3u); // not a PE image (ENOEXEC)
    EXPECT_EQ(count(reg, sizeError + "0x0000003d>"), 1u); // no version resource (ENODATA)
    EXPECT_EQ(count(reg, sizeError + "0x00000015>"), 1u); // a folder
    EXPECT_EQ(count(reg, "\"Error in call to VerQueryValue\" <Error: 0x0000003d>"), 1u);
    EXPECT_EQ(count(reg, "\"The specified file, " + missing + ", is invalid.\""), 2u);
    EXPECT_EQ(nxrtest::readLogLines(reg.logPath()).size(), 8u);
}

// Every length an image can be cut to: the block is there exactly when the
// file still holds all of it.
TEST(FileVersion, TruncatedImagesFailCleanly)
{
    nxrtest::ScratchDir dir;
    const std::string cut = dir.file("cut.bin");
    for (const std::string& sample : {kExe, kDll}) {
        const std::string image = readFile(sample);
        const auto block = versionBlock(sample);
        const size_t blockEnd = image.find(std::string(block.begin(), block.end())) + block.size();
        ASSERT_LE(blockEnd, image.size());
        nxrtest::writeFile(cut, image);
        for (size_t n = image.size(); n-- > 0;) {
            ASSERT_EQ(::truncate(cut.c_str(), off_t(n)), 0);
            ASSERT_EQ(os::getFileVersionInfoSize(cut), n < blockEnd ? 0 : block.size()) << sample << " cut at " << n;
            ASSERT_TRUE(n >= blockEnd || os::getLastError() == os::kErrorBadImage) << sample << " cut at " << n;
        }
    }
}

// Every byte the reader may look at (the headers with the section table, and
// the resource section) set to values that break offsets, counts and flags;
// every aligned 32-bit field there set to values just past the file, just
// short of its end, and large. The file is patched in place.
TEST(FileVersion, DamagedImagesFailCleanly)
{
    nxrtest::ScratchDir dir;
    const std::string path = dir.file("damaged.bin");
    for (const std::string& sample : {kExe, kDll}) {
        const std::string image = readFile(sample);
        const size_t rsrc = image.find(std::string(".rsrc\0\0\0", 8)); // the last section header
        ASSERT_NE(rsrc, std::string::npos);
        uint32_t ulRsrcData = 0;
        std::memcpy(&ulRsrcData, image.data() + rsrc + 20, 4);
        ASSERT_GT(ulRsrcData, rsrc + 40);
        nxrtest::writeFile(path, image);
        const int fd = ::open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        const auto damage = [&](size_t at, const void* p, size_t n) {
            ASSERT_EQ(::pwrite(fd, p, n, off_t(at)), ssize_t(n));
            ASSERT_NO_FATAL_FAILURE(readCleanly(path, image.size()));
            ASSERT_EQ(::pwrite(fd, image.data() + at, n, off_t(at)), ssize_t(n));
        };
        for (size_t at = 0; at < image.size(); at = at + 1 == rsrc + 40 ? ulRsrcData : at + 1) {
            for (uint8_t v : {0x00, 0xFF, 0x80})
                ASSERT_NO_FATAL_FAILURE(damage(at, &v, 1)) << sample << ": byte " << at << " set to " << int(v);
            if (at % 4 != 0 || at + 4 > image.size())
                continue;
            for (uint32_t v : {uint32_t(image.size()), uint32_t(image.size() - 2), 0x7FFFFFFFu})
                ASSERT_NO_FATAL_FAILURE(damage(at, &v, 4)) << sample << ": field " << at << " set to " << v;
        }
        ::close(fd);
    }
}

TEST(FileVersion, DamagedBlocksNeverReadPastTheirEnd)
{
    const auto block = versionBlock(kDll);
    const uint32_t n = uint32_t(block.size());
    for (uint32_t len = 0; len <= n; ++len)
        ASSERT_NO_FATAL_FAILURE(queryEverything(block.data(), len)) << "block cut to " << len;
    for (uint32_t at = 0; at < n; ++at) {
        for (uint8_t v : {0x00, 0xFF, 0x01, 0x7F}) {
            auto damaged = block;
            damaged[at] = v;
            ASSERT_NO_FATAL_FAILURE(queryEverything(damaged.data(), n)) << "byte " << at << " set to " << int(v);
        }
    }
}
