#include "nxr_os_error.h"
#include "nxr_os_vmem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

using namespace nxr::os;

namespace {

// The VmFlags line of /proc/self/smaps for the mapping that starts at p.
std::string mappingFlags(const void* p)
{
    char start[32];
    std::snprintf(start, sizeof(start), "%lx-", reinterpret_cast<unsigned long>(p));
    std::ifstream smaps("/proc/self/smaps");
    bool inMapping = false;
    for (std::string line; std::getline(smaps, line);) {
        inMapping = inMapping || line.rfind(start, 0) == 0;
        if (inMapping && line.rfind("VmFlags:", 0) == 0)
            return line;
    }
    return {};
}

} // namespace

// Over the memlock limit, locking fails and the block stays usable: see the
// secure buffer's tests, which lower the limit in a child process.
TEST(OsVmem, BlocksAreZeroedLockableLeftOutOfDumpsAndFreedOnce)
{
    const size_t size = 3 * 4096 + 100;
    auto* p = static_cast<unsigned char*>(vmemAlloc(size));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(std::all_of(p, p + size, [](unsigned char c) { return c == 0; }));
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

