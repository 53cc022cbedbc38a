// The file road's two ends, where the program cannot reach them: what an
// output replaces, keeps, refuses and leaves behind (the links, FIFOs and
// read-only outputs a user meets are tested through the program). Each case
// runs in a child, under a time limit, so a case that blocks fails instead of
// hanging, and reports by its exit status.
#include "nxr_os_file.h"
#include "nxr_xmlcrypt_files.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nxr;
using namespace nxrtest;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
const std::string kNew = "<doc>the new content</doc>";
const std::string kLong(255, 'n');

// The folder's entries, recursively: a link's target, a regular file's
// content, or the kind of anything else.
std::map<std::string, std::string> snapshot(const std::string& dir)
{
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(e.path(), dir).string();
        entries[name] = e.is_symlink() ? "-> " + fs::read_symlink(e).string()
                        : e.is_regular_file() ? readFile(e.path()) : std::to_string(int(e.symlink_status().type()));
    }
    return entries;
}

struct stat statOf(const std::string& path)
{
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

// Opens name as an output, writes the new content, and commits it if asked;
// 0 when that all went through, 1 when refused, 2 when a reading check failed.
int writeOutput(const std::string& path, bool bCommit = true)
{
    try {
        CNXROutputFile out(CNXRWCharString(path.c_str()), 0666);
        out.write(reinterpret_cast<const NXR_BYTE*>(kNew.data()), kNew.size());
        if (bCommit)
            out.commit();
        return 0;
    } catch (const CNXRLoggingObject&) {
        return 1;
    }
}

int readInput(const std::string& path)
{
    try {
        CNXRInputFile in(CNXRWCharString(path.c_str()));
        NXR_BYTE piece[8] = {}, at[3] = {};
        std::string got;
        for (size_t n; (n = in.read(piece, sizeof(piece))) != 0;)
            got.append(reinterpret_cast<const char*>(piece), n);
        in.readAt(in.size() - 3, at, 3);
        if (got != kNew || in.size() != kNew.size() || in.permissions() != 0604 || std::string(at, at + 3) != "oc>")
            return 2;
        in.readAt(in.size() - 2, at, 3);
        return 2;
    } catch (const CNXRLoggingObject&) {
        return 1;
    }
}

struct Case {
    const char* pszWhat;
    std::function<void(const std::string& dir)> setup;
    std::function<int(const std::string& dir)> run; // in the child
    int iStatus;                                     // the child's expected exit status (128 + signal)
    std::map<std::string, std::string> changes;      // entries that change, the rest stays
    const char* pszRecord = nullptr;                 // the one log record a refusal leaves
    std::function<void(const std::string& dir)> check = nullptr;
};

void old(const std::string& path, mode_t mode, uid_t owner = ::geteuid())
{
    writeFile(path, "the old content");
    ::chmod(path.c_str(), mode);
    if (owner != ::geteuid()) {
        EXPECT_EQ(::chown(path.c_str(), owner, owner), 0);
    }
}

// Forces the named temporary: a file system without unnamed files.
void withoutUnnamedFiles() { os::setFileFaultForTesting(os::FileOp::OpenUnnamed, EOPNOTSUPP); }

} // namespace

TEST(XmlCryptOutputs, ReplaceKeepRefuseAndLeaveNothing)
{
    // Unprivileged, the cases that need another user are skipped.
    const uid_t me = ::geteuid(), other = me == 0 ? kNobody : me;
    const auto out = [](const std::string& d) { return writeOutput(d + "/out"); };
    const auto expectMode = [](const char* name, mode_t mode, uid_t owner) {
        return [=](const std::string& d) {
            const struct stat st = statOf(d + "/" + name);
            EXPECT_EQ(st.st_mode & 07777, mode) << name;
            EXPECT_EQ(st.st_uid, owner) << name;
        };
    };
    const char* kCreate = "CreateFile call failed for file:";
    const char* kInvalid = " is invalid.";
    const Case cases[] = {
        {"0600 replaced: mode and owner kept", [=](auto& d) { old(d + "/out", 0600, other); }, out, 0,
         {{"out", kNew}}, nullptr, expectMode("out", 0600, other)},
        {"held output refused", [](auto& d) { old(d + "/out", 0644); },
         [](auto& d) {
             CNXRInputFile holder(CNXRWCharString((d + "/out").c_str()));
             return writeOutput(d + "/out");
         },
         1, {}, kCreate},
        {"uncommitted output leaves the folder as it was", [](auto& d) { old(d + "/out", 0644); },
         [](auto& d) { return writeOutput(d + "/out", false); }, 0, {}},
        {"255-byte name, named temporary", [](auto&) {},
         [](auto& d) {
             withoutUnnamedFiles();
             return writeOutput(d + "/" + kLong);
         },
         0, {{kLong, kNew}}},
        {"named temporary removed by SIGTERM", [](auto& d) { old(d + "/out", 0644); },
         [](auto& d) {
             withoutUnnamedFiles();
             CNXROutputFile output(CNXRWCharString((d + "/out").c_str()), 0644);
             // The temporary is there until the signal.
             if (snapshot(d).size() != 2)
                 return 3;
             ::raise(SIGTERM);
             return 4;
         },
         128 + SIGTERM, {}},
        {"input read in pieces and at offsets", [](auto& d) {
             writeFile(d + "/in", kNew);
             ::chmod((d + "/in").c_str(), 0604);
         },
         [](auto& d) { return readInput(d + "/in"); }, 1, {}, kInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        ScratchDir scratch;
        const std::string dir = scratch.path() + "/d";
        fs::create_directory(dir);
        c.setup(dir);
        auto expected = snapshot(dir);
        for (const auto& [name, content] : c.changes)
            expected[name] = content;
        ScopedRegistry reg;
        reg.enableLogging(27);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(10);
            ::umask(027);
            ::_exit(c.run(dir));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), c.iStatus);
        EXPECT_EQ(snapshot(dir), expected);
        if (c.check)
            c.check(dir);
        const auto lines = readLogLines(reg.logPath());
        ASSERT_EQ(lines.size(), c.pszRecord ? 1u : 0u);
        if (c.pszRecord) {
            EXPECT_NE(lines[0].find(c.pszRecord), std::string::npos) << lines[0];
        }
    }
}
