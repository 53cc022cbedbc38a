#include "nxr_os_error.h"
#include "nxr_os_file.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace nxr::os;
using nxrtest::readFile;
using nxrtest::ScratchDir;
using nxrtest::writeFile;

namespace {

uint32_t err(int e) { return static_cast<uint32_t>(e); }

void writeWhole(const std::string& path, FileDisposition disposition, const std::string& data)
{
    const FileHandle h = fileOpenWrite(path, disposition);
    ASSERT_NE(h, kInvalidFile);
    EXPECT_TRUE(fileWriteAll(h, data.data(), data.size()));
    EXPECT_TRUE(fileClose(h));
}

} // namespace

TEST(OsFile, WriteReadBackModeSizeAndLimit)
{
    ScratchDir dir;
    const std::string path = dir.file("a.bin");
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + 3);

    FileHandle h = fileOpenWrite(path, FileDisposition::CreateNew, 0600);
    ASSERT_NE(h, kInvalidFile);
    ASSERT_TRUE(fileWriteAll(h, content.data(), content.size()));
    ASSERT_TRUE(fileSync(h));
    FileInfo info;
    ASSERT_TRUE(fileGetInfo(h, info));
    EXPECT_EQ(info.ullSize, content.size());
    EXPECT_EQ(info.ulMode, 0600u);
    EXPECT_TRUE(info.bRegular);
    ASSERT_TRUE(fileClose(h));

    h = fileOpenRead(path);
    ASSERT_NE(h, kInvalidFile);
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
}

TEST(OsFile, DispositionsRenameAndUnlink)
{
    ScratchDir dir;
    const std::string path = dir.file("d.txt");
    EXPECT_EQ(fileOpenRead(path), kInvalidFile);
    EXPECT_EQ(getLastError(), err(ENOENT));
    EXPECT_EQ(fileOpenWrite(path, FileDisposition::OpenExisting), kInvalidFile);

    writeFile(path, "0123456789");
    writeWhole(path, FileDisposition::OpenAlways, "ab");
    EXPECT_EQ(readFile(path), "ab23456789") << "opening keeps the content";
    writeWhole(path, FileDisposition::CreateAlways, "xyz");
    EXPECT_EQ(readFile(path), "xyz");
    EXPECT_EQ(fileOpenWrite(path, FileDisposition::CreateNew), kInvalidFile);
    EXPECT_EQ(getLastError(), err(EEXIST));

    writeFile(dir.file("new"), "new");
    ASSERT_TRUE(fileRename(dir.file("new"), path));
    EXPECT_EQ(readFile(path), "new");
    EXPECT_FALSE(pathExists(dir.file("new")));
    ASSERT_TRUE(fileUnlink(path));
    EXPECT_FALSE(fileUnlink(path));
    EXPECT_EQ(getLastError(), err(ENOENT));
}

TEST(OsFile, ExclusiveLockIsASharingViolationForOtherHandles)
{
    ScratchDir dir;
    const std::string path = dir.file("locked");
    writeFile(path, "x");
    const FileHandle first = fileOpenRead(path);
    const FileHandle second = fileOpenWrite(path, FileDisposition::OpenExisting);
    ASSERT_TRUE(fileLockExclusive(first));
    EXPECT_FALSE(fileLockExclusive(second));
    EXPECT_EQ(getLastError(), kErrorSharingViolation);
    ASSERT_TRUE(fileClose(first));
    EXPECT_TRUE(fileLockExclusive(second)) << "closing released the lock";
    EXPECT_TRUE(fileClose(second));
}

TEST(OsFile, WritePastTheSizeLimitFailsWithEfbig)
{
    ScratchDir dir;
    const std::string path = dir.file("big");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ignoreFileSizeSignal();
        const struct rlimit limit = {4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(3);
        const FileHandle h = fileOpenWrite(path, FileDisposition::CreateAlways);
        const std::string data(10000, 'z');
        if (h == kInvalidFile || fileWriteAll(h, data.data(), data.size()))
            ::_exit(1);
        ::_exit(getLastError() == EFBIG ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(path), std::string(4096, 'z')) << "what fitted was written";
}

TEST(OsFileFaults, ShortWritesContinueUntilAnInjectedFailure)
{
    ScratchDir dir;
    const std::string path = dir.file("short");
    const std::string data(100, 'q');
    {
        CScopedFileFaults faults;
        faults.shortWrites(7);
        writeWhole(path, FileDisposition::CreateAlways, data);
        EXPECT_EQ(readFile(path), data);

        // The disk "fills up" at the fourth write call: 3 * 10 bytes landed.
        faults.shortWrites(10).fail(FileOp::Write, ENOSPC, 4, 1);
        const FileHandle h = fileOpenWrite(path, FileDisposition::CreateAlways);
        EXPECT_FALSE(fileWriteAll(h, data.data(), data.size()));
        EXPECT_EQ(getLastError(), err(ENOSPC));
        ASSERT_TRUE(fileClose(h));
        EXPECT_EQ(readFile(path), data.substr(0, 30));
    }
    writeWhole(path, FileDisposition::CreateAlways, data); // faults cleared with the scope
    EXPECT_EQ(readFile(path), data);
}

TEST(OsFileFaults, NthCallFailsAndFailedCloseStillReleases)
{
    ScratchDir dir;
    const std::string path = dir.file("f");
    writeFile(path, "content");
    CScopedFileFaults faults;
    faults.fail(FileOp::Open, EACCES, 2, 1);
    const FileHandle a = fileOpenRead(path);
    EXPECT_EQ(fileOpenRead(path), kInvalidFile);
    EXPECT_EQ(getLastError(), err(EACCES));
    const FileHandle c = fileOpenRead(path);
    ASSERT_NE(a, kInvalidFile);
    ASSERT_NE(c, kInvalidFile);

    faults.fail(FileOp::Read, EIO, 1, 1);
    std::vector<uint8_t> data;
    EXPECT_FALSE(fileReadAll(a, data));
    EXPECT_EQ(getLastError(), err(EIO));
    EXPECT_TRUE(fileReadAll(a, data));
    EXPECT_EQ(std::string(data.begin(), data.end()), "content") << "the failed read consumed nothing";

    faults.fail(FileOp::Close, EIO, 1, 1);
    EXPECT_FALSE(fileClose(a));
    EXPECT_EQ(::fcntl(a, F_GETFD), -1) << "the descriptor was released all the same";
    EXPECT_TRUE(fileClose(c));

    faults.fail(FileOp::Rename, EXDEV).fail(FileOp::Stat, EACCES);
    EXPECT_FALSE(pathExists(path));
    EXPECT_FALSE(fileRename(path, dir.file("g")));
    EXPECT_EQ(getLastError(), err(EXDEV));
    clearFileFaultsForTesting();
    EXPECT_TRUE(pathExists(path)) << "the injected rename did nothing";
}
