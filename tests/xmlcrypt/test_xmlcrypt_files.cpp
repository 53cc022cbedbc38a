// The output's fallback where a file system has no unnamed files: a short
// named temporary, whatever the length of the output's name, that SIGTERM
// removes. (Everything else the outputs and inputs do is tested through the
// program.) Each case runs in a child, under a time limit.
#include "nxr_os_file.h"
#include "nxr_xmlcrypt_files.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace nxr;
using namespace nxrtest;

TEST(XmlCryptOutputs, NamedTemporaryFallback)
{
    const std::string kNew = "<doc>the new content</doc>", kLong(255, 'n');
    for (const bool bInterrupt : {false, true}) {
        ScratchDir dir;
        writeFile(dir.file("old"), "old");
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(10);
            os::setFileFaultForTesting(os::FileOp::OpenUnnamed, EOPNOTSUPP);
            CNXROutputFile out(CNXRWCharString(dir.file(bInterrupt ? "old" : kLong).c_str()), 0644);
            out.write(reinterpret_cast<const NXR_BYTE*>(kNew.data()), kNew.size());
            if (bInterrupt) {
                // The temporary is there until the signal.
                if (std::distance(std::filesystem::directory_iterator(dir.path()), {}) != 2)
                    ::_exit(3);
                ::raise(SIGTERM);
            }
            out.commit();
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (bInterrupt) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
            EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"old"});
            EXPECT_EQ(readFile(dir.file("old")), "old");
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"old", kLong}));
            EXPECT_EQ(readFile(dir.file(kLong)), kNew);
        }
    }
}
