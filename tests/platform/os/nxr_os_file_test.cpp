// The file facility: dispositions, reads with a limit and the size limit.
// Locks and the fault seams are exercised by the service's tests.
#include "nxr_os_error.h"
#include "nxr_os_file.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
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

// In a child with RLIMIT_FSIZE lowered: the write fails with EFBIG instead of
// the process being killed by SIGXFSZ, and what fitted was written.
TEST(OsFile, WritePastTheSizeLimitFailsWithEfbig)
{
    nxrtest::ScratchDir dir;
    const std::string path = dir.file("big");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ignoreFileSizeSignal();
        const struct rlimit limit = {4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(3);
        const bool bWritten = writeWhole(path, FileDisposition::CreateAlways, std::string(10000, 'z'));
        ::_exit(bWritten ? 1 : getLastError() == EFBIG ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(path), std::string(4096, 'z'));
}

