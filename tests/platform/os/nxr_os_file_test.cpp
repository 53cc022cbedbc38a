// The file facility: dispositions and reads with a limit. Locks, the fault
// seams and a file-size limit (EFBIG, not SIGXFSZ) are exercised by the
// service's and the program's tests.
#include "nxr_os_error.h"
#include "nxr_os_file.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace nxr::os;
using nxrtest::readFile;
using nxrtest::writeFile;

namespace {

uint32_t err(int e) { return static_cast<uint32_t>(e); }

// Opens with the disposition, writes all of data and closes.
bool writeWhole(const std::string& path, FileDisposition disposition, const std::string& data)
{
    const FileHandle h = fileOpenWrite(path, disposition);
    const bool bWritten = h != kInvalidFile && fileWriteAll(h, data.data(), data.size());
    return h != kInvalidFile && fileClose(h) && bWritten;
}

} // namespace

TEST(OsFile, WriteReadBackAndDispositions)
{
    nxrtest::ScratchDir dir;
    const std::string path = dir.file("a.bin");
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + 3);
    EXPECT_EQ(fileOpenRead(path), kInvalidFile);
    EXPECT_EQ(getLastError(), err(ENOENT));
    EXPECT_EQ(fileOpenWrite(path, FileDisposition::OpenExisting), kInvalidFile);

    FileHandle h = fileOpenWrite(path, FileDisposition::CreateNew, 0600);
    ASSERT_NE(h, kInvalidFile);
    ASSERT_TRUE(fileWriteAll(h, content.data(), content.size()) && fileSync(h));
    FileInfo info;
    ASSERT_TRUE(fileGetInfo(h, info));
    EXPECT_TRUE(info.ullSize == content.size() && info.ulMode == 0600u && info.bRegular);
    ASSERT_TRUE(fileClose(h));
    EXPECT_EQ(fileOpenWrite(path, FileDisposition::CreateNew), kInvalidFile);
    EXPECT_EQ(getLastError(), err(EEXIST));

    ASSERT_NE(h = fileOpenRead(path), kInvalidFile);
    char head[10];
    size_t got = 0;
    ASSERT_TRUE(fileRead(h, head, sizeof(head), got));
    EXPECT_EQ(std::string(head, got), content.substr(0, 10));
    std::vector<uint8_t> rest;
    EXPECT_FALSE(fileReadAll(h, rest, 1000)) << "more than the limit";
    EXPECT_EQ(getLastError(), err(EFBIG));
    ASSERT_TRUE(fileReadAll(h, rest));
    EXPECT_EQ(std::string(rest.begin(), rest.end()), content.substr(10));
    EXPECT_TRUE(fileClose(h));

    writeFile(path, "0123456789");
    ASSERT_TRUE(writeWhole(path, FileDisposition::OpenAlways, "ab"));
    EXPECT_EQ(readFile(path), "ab23456789") << "opening keeps the content";
    ASSERT_TRUE(writeWhole(path, FileDisposition::CreateAlways, "xyz"));
    EXPECT_EQ(readFile(path), "xyz");
}
