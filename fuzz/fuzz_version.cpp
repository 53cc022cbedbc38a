// The PE version reader. The input is taken twice: as a program file, read
// through getFileVersionInfoSize and getFileVersionInfo and queried; and as a
// version-information block on its own, queried directly. The seeds are two
// small images with version resources (32-bit program, 64-bit library).
//
// Properties: the reported size is what getFileVersionInfo copies; every
// value a query returns lies within the block it was asked about.
#include "fuzz_common.h"
#include "nxr_os_version.h"

#include <string>
#include <string_view>
#include <vector>

using namespace nxr;

namespace {

constexpr std::u16string_view kQueries[] = {
    u"\\",
    u"\\VarFileInfo\\Translation",
    u"\\StringFileInfo\\040904b0\\FileVersion",
    u"\\StringFileInfo\\040904B0\\ProductName",
    u"\\StringFileInfo\\040904e4\\CompanyName",
    u"\\StringFileInfo",
    u"\\\\",
    u"",
    u"StringFileInfo\\\\040904b0\\",
};

void queryAll(const uint8_t* pBlock, uint32_t ulSize)
{
    for (const auto query : kQueries) {
        const void* pValue = nullptr;
        uint32_t ulLen = 0;
        bool bText = false;
        if (!os::verQueryValue(pBlock, ulSize, query, &pValue, &ulLen, &bText))
            continue;
        if (ulLen == 0)
            continue;
        const auto* p = static_cast<const uint8_t*>(pValue);
        const uint64_t ullBytes = bText ? uint64_t(ulLen) * 2 : ulLen;
        FUZZ_REQUIRE(p >= pBlock && uint64_t(p - pBlock) + ullBytes <= ulSize);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = docseal_fuzz::scratchDir() + "/image.dll";
    docseal_fuzz::writeInput(path, data, size);

    const uint32_t ulSize = os::getFileVersionInfoSize(path);
    if (ulSize != 0) {
        // Room past the block, filled with a pattern, shows any write beyond
        // the size asked for.
        std::vector<uint8_t> block(size_t(ulSize) + 64, 0xA5);
        FUZZ_REQUIRE(os::getFileVersionInfo(path, 0, ulSize, block.data()));
        for (size_t i = ulSize; i < block.size(); ++i)
            FUZZ_REQUIRE(block[i] == 0xA5);
        queryAll(block.data(), ulSize);
        // A smaller copy is refused or cut; either way no write beyond it.
        std::vector<uint8_t> small(ulSize / 2 + 8, 0xA5);
        (void)os::getFileVersionInfo(path, 0, ulSize / 2, small.data());
        for (size_t i = ulSize / 2; i < small.size(); ++i)
            FUZZ_REQUIRE(small[i] == 0xA5);
    }
    if (size <= UINT32_MAX)
        queryAll(data, static_cast<uint32_t>(size));
    return 0;
}
