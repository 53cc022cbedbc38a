#include "docseal_progress.h"

#include <cstdio>
#include <unistd.h>

namespace {

void writeAll(const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t w = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (w <= 0)
            return;
        done += static_cast<size_t>(w);
    }
}

} // namespace

CTerminalProgress::CTerminalProgress(std::string verb)
    : m_verb(std::move(verb)), m_bTerminal(::isatty(STDERR_FILENO) == 1)
{
}

CTerminalProgress::~CTerminalProgress() { clear(); }

void CTerminalProgress::advanced(uint64_t ullDone, uint64_t ullTotal)
{
    if (!m_bTerminal || ullTotal < kShownFrom)
        return;
    const Clock::time_point now = Clock::now();
    if (m_bDrawn && now - m_lastDrawn < std::chrono::milliseconds(100))
        return;
    m_lastDrawn = now;
    m_bDrawn = true;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    const double mbDone = double(ullDone) / 1e6, mbTotal = double(ullTotal) / 1e6;
    char line[160];
    std::snprintf(line, sizeof(line), "\r\033[Kdocseal: %s %3d%%  %.1f of %.1f MB  %.1f MB/s", m_verb.c_str(),
                  int(ullDone * 100 / ullTotal), mbDone, mbTotal, seconds > 0 ? mbDone / seconds : 0.0);
    writeAll(line);
}

void CTerminalProgress::clear()
{
    if (m_bDrawn)
        writeAll("\r\033[K");
    m_bDrawn = false;
}
