#include "nxr_os_error.h"
#include "nxr_os_vmem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace nxr::os;

namespace {

// The VmFlags line of /proc/self/smaps for the mapping that starts at p.
std::string mappingFlags(const void* p)
{
    char start[32];
    std::snprintf(start, sizeof(start), "%lx-", reinterpret_cast<unsigned long>(p));
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inMapping = false;
    while (std::getline(smaps, line)) {
        if (line.rfind(start, 0) == 0)
            inMapping = true;
        else if (inMapping && line.rfind("VmFlags:", 0) == 0)
            return line;
    }
    return {};
}

} // namespace

TEST(OsVmem, BlocksAreZeroedLockableLeftOutOfDumpsAndFreedOnce)
{
    const size_t size = 3 * 4096 + 100;
    auto* p = static_cast<unsigned char*>(vmemAlloc(size));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < size; ++i)
        ASSERT_EQ(p[i], 0) << i;
    std::memset(p, 0xA5, size);
    EXPECT_NE(mappingFlags(p).find(" dd"), std::string::npos) << mappingFlags(p);
    ASSERT_TRUE(vmemLock(p, size)) << std::strerror(static_cast<int>(getLastError()));
    EXPECT_NE(mappingFlags(p).find(" lo"), std::string::npos) << mappingFlags(p);
    EXPECT_TRUE(vmemUnlock(p, size));

    EXPECT_FALSE(vmemFree(p + 4096)) << "not the start of the block";
    EXPECT_TRUE(vmemFree(p));
    EXPECT_FALSE(vmemFree(p)) << "released twice";
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(vmemAlloc(0), nullptr);
}

TEST(OsVmem, LockFailsOverTheMemlockLimit)
{
    // In a child: RLIMIT_MEMLOCK lowered to 0, and privileges dropped when
    // running as root (root may lock past the limit).
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const struct rlimit zero = {0, 0};
        if (::setrlimit(RLIMIT_MEMLOCK, &zero) != 0)
            ::_exit(3);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        void* p = vmemAlloc(4096);
        if (p == nullptr)
            ::_exit(4);
        setLastError(0);
        if (vmemLock(p, 4096))
            ::_exit(1);
        const uint32_t err = getLastError();
        if (err != EPERM && err != ENOMEM)
            ::_exit(2);
        // The block is still there to be used and released.
        static_cast<char*>(p)[100] = 1;
        ::_exit(vmemFree(p) ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot lower the limit or drop privileges here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: lock succeeded, 2: wrong error, 4/5: alloc/free failed";
}

TEST(OsVmem, FaultSeams)
{
    {
        CScopedVmemFault failAlloc(VmemOp::Alloc, ENOMEM);
        EXPECT_EQ(vmemAlloc(4096), nullptr);
        EXPECT_EQ(getLastError(), static_cast<uint32_t>(ENOMEM));
    }
    void* p = vmemAlloc(4096);
    ASSERT_NE(p, nullptr);
    {
        CScopedVmemFault failLock(VmemOp::Lock, EAGAIN);
        EXPECT_FALSE(vmemLock(p, 4096));
        EXPECT_EQ(getLastError(), static_cast<uint32_t>(EAGAIN));
        CScopedVmemFault failFree(VmemOp::Free, EFAULT);
        EXPECT_FALSE(vmemFree(p));
    }
    EXPECT_TRUE(vmemFree(p)) << "a failed release leaves the block allocated";
}
