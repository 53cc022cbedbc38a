// What the fuzz targets share: a private scratch folder, quiet logging, and
// a check that stops the run when a property of the code under test fails.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace docseal_fuzz {

// Stops the run with a message; libFuzzer keeps the input that did it.
[[noreturn]] inline void fail(const char* pszWhat)
{
    std::fprintf(stderr, "property violated: %s\n", pszWhat);
    std::abort();
}

#define FUZZ_REQUIRE(cond)                                                                                             \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ::docseal_fuzz::fail(#cond);                                                                               \
    } while (0)

// A folder of the process's own under $TMPDIR (or /tmp), created once. It is
// left behind when the run ends: libFuzzer ends the process with _exit.
inline const std::string& scratchDir()
{
    static const std::string s_dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/docseal-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            fail("cannot create a scratch folder");
        return pattern;
    }();
    return s_dir;
}

// Points the logging settings at a file that does not exist, so every record
// is dropped after one failed stat(2), whatever the machine's settings say.
inline void quietLogging()
{
    ::setenv("DOCSEAL_REGISTRY", (scratchDir() + "/no-such-settings.reg").c_str(), 1);
}

// Writes the whole input to path, replacing it.
inline void writeInput(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        fail("cannot write the input file");
    if (size != 0 && std::fwrite(data, 1, size, f) != size)
        fail("cannot write the input file");
    if (std::fclose(f) != 0)
        fail("cannot write the input file");
}

} // namespace docseal_fuzz
