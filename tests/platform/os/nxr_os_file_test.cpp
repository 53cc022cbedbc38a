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

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string readAllOf(const std::string& path)
{
    const FileHandle h = fileOpenRead(path);
    EXPECT_NE(h, kInvalidFile);
    std::vector<uint8_t> data;
    EXPECT_TRUE(fileReadAll(h, data));
    EXPECT_TRUE(fileClose(h));
    return std::string(data.begin(), data.end());
}

} // namespace

TEST(File, WriteThenReadBackWithModeAndSize)
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

    EXPECT_EQ(readAllOf(path), content);

    h = fileOpenRead(path);
    ASSERT_NE(h, kInvalidFile);
    char head[10];
    size_t got = 0;
    ASSERT_TRUE(fileRead(h, head, sizeof(head), got));
    EXPECT_EQ(std::string(head, got), content.substr(0, 10));
    std::vector<uint8_t> rest;
    setLastError(0);
    EXPECT_FALSE(fileReadAll(h, rest, 1000)) << "more than the limit";
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(EFBIG));
    EXPECT_TRUE(fileClose(h));

    ASSERT_TRUE(pathGetInfo(dir.path(), info));
    EXPECT_TRUE(info.bDirectory);
}

TEST(File, DispositionsAndMissingFiles)
{
    ScratchDir dir;
    const std::string path = dir.file("d.txt");
    setLastError(0);
    EXPECT_EQ(fileOpenRead(path), kInvalidFile);
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(fileOpenWrite(path, FileDisposition::OpenExisting), kInvalidFile);
    EXPECT_FALSE(pathExists(path));

    writeFile(path, "0123456789");
    FileHandle h = fileOpenWrite(path, FileDisposition::OpenAlways);
    ASSERT_NE(h, kInvalidFile);
    ASSERT_TRUE(fileWriteAll(h, "ab", 2));
    ASSERT_TRUE(fileClose(h));
    EXPECT_EQ(readFile(path), "ab23456789") << "opening keeps the content";

    h = fileOpenWrite(path, FileDisposition::OpenAlways);
    ASSERT_TRUE(fileWriteAll(h, "xyz", 3));
    ASSERT_TRUE(fileTruncate(h, 3));
    ASSERT_TRUE(fileClose(h));
    EXPECT_EQ(readFile(path), "xyz");

    h = fileOpenWrite(path, FileDisposition::CreateAlways);
    ASSERT_TRUE(fileClose(h));
    EXPECT_EQ(readFile(path), "");

    EXPECT_EQ(fileOpenWrite(path, FileDisposition::CreateNew), kInvalidFile);
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(EEXIST));
}

TEST(File, RenameReplacesAndUnlinkRemoves)
{
    ScratchDir dir;
    writeFile(dir.file("new"), "new");
    writeFile(dir.file("old"), "old");
    ASSERT_TRUE(fileRename(dir.file("new"), dir.file("old")));
    EXPECT_EQ(readFile(dir.file("old")), "new");
    EXPECT_FALSE(pathExists(dir.file("new")));
    ASSERT_TRUE(fileUnlink(dir.file("old")));
    EXPECT_FALSE(fileUnlink(dir.file("old")));
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(ENOENT));
    EXPECT_FALSE(fileRename(dir.file("old"), dir.file("x")));
}

TEST(File, ExclusiveLockIsASharingViolationForOthers)
{
    ScratchDir dir;
    const std::string path = dir.file("locked");
    writeFile(path, "x");
    const FileHandle first = fileOpenRead(path);
    const FileHandle second = fileOpenWrite(path, FileDisposition::OpenExisting);
    ASSERT_NE(first, kInvalidFile);
    ASSERT_NE(second, kInvalidFile);
    ASSERT_TRUE(fileLockExclusive(first));
    setLastError(0);
    EXPECT_FALSE(fileLockExclusive(second));
    EXPECT_EQ(getLastError(), kErrorSharingViolation);

    // Another process sees the same.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const FileHandle h = fileOpenRead(path);
        ::_exit(h != kInvalidFile && !fileLockExclusive(h) && getLastError() == kErrorSharingViolation ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_TRUE(fileClose(first));
    EXPECT_TRUE(fileLockExclusive(second)) << "closing released the lock";
    EXPECT_TRUE(fileClose(second));
}

TEST(File, WritePastTheSizeLimitFailsWithEfbig)
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

TEST(FileFaults, ShortWritesContinueUntilAnInjectedFailure)
{
    ScratchDir dir;
    const std::string path = dir.file("short");
    const std::string data(100, 'q');
    {
        CScopedFileFaults faults;
        faults.shortWrites(7);
        FileHandle h = fileOpenWrite(path, FileDisposition::CreateAlways);
        ASSERT_TRUE(fileWriteAll(h, data.data(), data.size()));
        ASSERT_TRUE(fileClose(h));
        EXPECT_EQ(readFile(path), data);

        // The disk "fills up" at the fourth write call: 3 * 10 bytes landed.
        faults.shortWrites(10).fail(FileOp::Write, ENOSPC, 4, 1);
        h = fileOpenWrite(path, FileDisposition::CreateAlways);
        EXPECT_FALSE(fileWriteAll(h, data.data(), data.size()));
        EXPECT_EQ(getLastError(), static_cast<uint32_t>(ENOSPC));
        ASSERT_TRUE(fileClose(h));
        EXPECT_EQ(readFile(path), data.substr(0, 30));
    }
    FileHandle h = fileOpenWrite(path, FileDisposition::CreateAlways);
    EXPECT_TRUE(fileWriteAll(h, data.data(), data.size())) << "faults cleared with the scope";
    EXPECT_TRUE(fileClose(h));
}

TEST(FileFaults, NthCallFailsOnceAndFailedCloseStillReleases)
{
    ScratchDir dir;
    const std::string path = dir.file("f");
    writeFile(path, "content");
    CScopedFileFaults faults;
    faults.fail(FileOp::Open, EACCES, 2, 1);
    const FileHandle a = fileOpenRead(path);
    EXPECT_NE(a, kInvalidFile);
    EXPECT_EQ(fileOpenRead(path), kInvalidFile);
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(EACCES));
    const FileHandle c = fileOpenRead(path);
    EXPECT_NE(c, kInvalidFile);

    faults.fail(FileOp::Read, EIO);
    std::vector<uint8_t> data;
    EXPECT_FALSE(fileReadAll(a, data));
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(EIO));
    clearFileFaultsForTesting();
    EXPECT_TRUE(fileReadAll(a, data));
    EXPECT_EQ(data, bytes("content")) << "the failed read consumed nothing";

    faults.fail(FileOp::Close, EIO);
    EXPECT_FALSE(fileClose(a));
    EXPECT_EQ(::fcntl(a, F_GETFD), -1) << "the descriptor was released all the same";
    EXPECT_FALSE(fileClose(c));
    clearFileFaultsForTesting();

    faults.fail(FileOp::Fsync, EIO).fail(FileOp::Rename, EXDEV).fail(FileOp::Stat, EACCES).fail(FileOp::Lock, ENOLCK);
    const FileHandle w = fileOpenWrite(path, FileDisposition::OpenExisting);
    ASSERT_NE(w, kInvalidFile);
    EXPECT_FALSE(fileSync(w));
    EXPECT_FALSE(fileLockExclusive(w));
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(ENOLCK));
    EXPECT_FALSE(pathExists(path));
    EXPECT_FALSE(fileRename(path, dir.file("g")));
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(EXDEV));
    clearFileFaultsForTesting();
    EXPECT_TRUE(fileClose(w));
    EXPECT_TRUE(pathExists(path)) << "the injected rename did nothing";
}
