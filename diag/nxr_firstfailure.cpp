#include "nxr_firstfailure.h"

#include <algorithm>
#include <atomic>

namespace nxr {

namespace {

enum : int { SLOT_EMPTY, SLOT_WRITING, SLOT_FULL };

// One slot, claimed by the first writer; later failures (the check of a
// document runs on a thread of its own) leave it as it is.
struct CFailureSlot {
    std::atomic<int> state{SLOT_EMPTY};
    char16_t message[512] = {};
    size_t ulLength = 0;
    uint32_t ulResultValue = 0;
    const char* pszSourceFile = nullptr;
};

CFailureSlot g_slot;

} // namespace

void nxrRememberFailure(std::u16string_view message, uint32_t ulResultValue, const char* pszSourceFile) noexcept
{
    int expected = SLOT_EMPTY;
    if (!g_slot.state.compare_exchange_strong(expected, SLOT_WRITING, std::memory_order_acquire))
        return;
    g_slot.ulLength = std::min(message.size(), std::size(g_slot.message) - 1);
    std::copy_n(message.data(), g_slot.ulLength, g_slot.message);
    g_slot.ulResultValue = ulResultValue;
    g_slot.pszSourceFile = pszSourceFile;
    g_slot.state.store(SLOT_FULL, std::memory_order_release);
}

bool nxrFirstFailure(CNXRFirstFailure& failure) noexcept
{
    if (g_slot.state.load(std::memory_order_acquire) != SLOT_FULL)
        return false;
    failure.message = std::u16string_view(g_slot.message, g_slot.ulLength);
    failure.ulResultValue = g_slot.ulResultValue;
    failure.pszSourceFile = g_slot.pszSourceFile;
    return true;
}

void nxrForgetFailure() noexcept
{
    int expected = SLOT_FULL;
    g_slot.state.compare_exchange_strong(expected, SLOT_EMPTY, std::memory_order_acq_rel);
}

} // namespace nxr
