// One line of progress on standard error, for a person at a terminal:
// percent, megabytes done of the total, and the rate. Shown only when
// standard error is a terminal and the document is large enough for the wait
// to be noticed; redrawn at most ten times a second; cleared at the end.
#pragma once
#include "nxr_xmlcrypt.h"

#include <chrono>
#include <cstdint>
#include <string>

class CTerminalProgress : public nxr::CNXRProgress {
public:
    // Documents smaller than this finish before a line would help.
    static constexpr uint64_t kShownFrom = 64ull << 20;

    explicit CTerminalProgress(std::string verb);
    ~CTerminalProgress() override;
    CTerminalProgress(const CTerminalProgress&) = delete;
    CTerminalProgress& operator=(const CTerminalProgress&) = delete;

    void advanced(uint64_t ullDone, uint64_t ullTotal) override;
    // Removes the line, if one was drawn.
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    const std::string m_verb;
    const bool m_bTerminal;
    const Clock::time_point m_start = Clock::now();
    Clock::time_point m_lastDrawn{};
    bool m_bDrawn = false;
};
