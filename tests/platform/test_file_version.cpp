// Version resources: the items of the sample PE files (tests/data, made by
// make_pe.sh), the first-translation rule, the cache, files without a version
// resource (fuzz_version damages images and blocks).
#include "nxr_file.h"
#include "nxr_os_file.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace nxr;
using nxrtest::countLogLines;
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

} // namespace

TEST(FileVersion, ReadsTheItemsOfTheFirstTranslation)
{
    CNXRFile exe(S(kExe.c_str()));
    using Getter = bool (CNXRFile::*)(S*);
    const std::pair<Getter, std::u16string> items[] = {
        {&CNXRFile::getComments, u"Sample program for the version reader tests"},
        {&CNXRFile::getCompanyName, u"Docseal Test Works"},
        {&CNXRFile::getFileDescription, u"Version resource sample (32-bit)"},
        {&CNXRFile::getFileVersion, u"1.2.3.4"}, {&CNXRFile::getVersion, u"1.2.3.4"},
        {&CNXRFile::getInternalName, u"sample32"}, {&CNXRFile::getLegalCopyright, u"Copyright (C) Docseal Test Works"},
        {&CNXRFile::getLegalTrademarks, u"None registered"}, {&CNXRFile::getOriginalFilename, u"sample32.exe"},
        {&CNXRFile::getPrivateBuildDescription, u"built by tests/data/make_pe.sh"},
        {&CNXRFile::getProductName, u"docseal samples"}, {&CNXRFile::getProductVersion, u"1.2"},
        {&CNXRFile::getSpecialBuildDescription, u"plain"}, {&CNXRFile::getLanguage, u"0409 04b0"}};
    for (const auto& [getter, text] : items)
        EXPECT_EQ(item(exe, getter), text);

    nxrtest::ScopedRegistry reg;
    reg.enableLogging(2);
    CNXRFile dll(S(kDll.c_str()));
    EXPECT_EQ(item(dll, &CNXRFile::getLanguage), u"0407 04e4");
    EXPECT_EQ(item(dll, &CNXRFile::getCompanyName), u"Docseal Testwerke"); // block name in upper case
    EXPECT_EQ(item(dll, &CNXRFile::getComments), u"");                     // present and empty
    EXPECT_EQ(item(dll, &CNXRFile::getSpecialBuildDescription), u"<failed>"); // only under the second
    S out;
    EXPECT_FALSE(dll.getFileInfoItem(S(std::string(227, 'x').c_str()), &out));
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Error in call to VerQueryValue\" <Error: 0x0000003d>"}), 1u);
    EXPECT_EQ(countLogLines(reg.logPath(), {"A bad argument was provided ( itemName )"}), 1u);
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
    EXPECT_EQ(countLogLines(reg.logPath(), {"\"Error in call to GetFileVersionInfoSize\" <Error: 0x0000000d>"}), 1u);
}

// Files without a version block, for each reason: another format, no
// resource directory, no file, a folder, a FIFO (refused at once, never
// waited on).
TEST(FileVersion, FilesWithoutAVersionResource)
{
    nxrtest::ScratchDir dir;
    std::string image = readFile(kExe);
    const uint32_t ulNt = uint32_t(uint8_t(image[0x3C])) | uint32_t(uint8_t(image[0x3D])) << 8;
    std::memset(image.data() + ulNt + 24 + 96 + 16, 0, 8); // PE32: no resource directory
    nxrtest::writeFile(dir.file("nores.exe"), image);
    ASSERT_EQ(::mkfifo(dir.file("pipe.exe").c_str(), 0600), 0);
    for (const std::string& path : {std::string("/proc/self/exe"), dir.file("nores.exe"), dir.file("missing.exe"),
                                    dir.path(), dir.file("pipe.exe")}) {
        CNXRFile file(S(path.c_str()));
        EXPECT_EQ(item(file, &CNXRFile::getCompanyName), u"<failed>") << path;
    }
}

