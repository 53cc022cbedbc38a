// The parser library's memory. Xerces-C++ copies and transcodes what it
// reads into blocks of its own; CNXRParserMemory hands those blocks out with
// their size in a small header in front, so that each block is wiped before
// it is released and no document byte outlives its use in freed memory.
#pragma once
#include <xercesc/framework/MemoryManager.hpp>

#include <cstddef>
#include <cstdint>

namespace nxr {

class CNXRParserMemory : public xercesc::MemoryManager {
public:
    // The one instance the library runs on.
    static CNXRParserMemory& instance();

    xercesc::MemoryManager* getExceptionMemoryManager() override { return this; }
    // Throws the library's OutOfMemoryException when no block can be had,
    // which the library passes on unchanged.
    void* allocate(XMLSize_t ulBytes) override;
    void deallocate(void* p) override;

    // Whether released blocks are wiped (on by default). Only the bench turns
    // it off, to measure what the wiping costs; the program never does.
    static void setWiping(bool bWipe) noexcept;

    // While one lives, the blocks held may grow by at most ulBytes beyond
    // those held when it was made; an allocation past that throws the
    // library's OutOfMemoryException, and takeCapRefusal() then tells that
    // the cap, not the system, refused it. One at a time in a process.
    class CCap {
    public:
        explicit CCap(uint64_t ullBytes) noexcept;
        ~CCap();
        CCap(const CCap&) = delete;
        CCap& operator=(const CCap&) = delete;
    };
    // Whether a cap refused a block since the last call; clears it.
    static bool takeCapRefusal() noexcept;

    // Tests: called with each block as it is released, after its wipe.
    using ReleaseObserver = void (*)(const void* p, size_t ulBytes);
    static void setReleaseObserverForTesting(ReleaseObserver pfnObserver) noexcept;
};

} // namespace nxr
