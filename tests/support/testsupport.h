// Shared helpers for the tests.
#pragma once
#include "nxr_buffer.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace nxrtest {

// A byte buffer holding s (none for an empty s), and the bytes of one.
inline nxr::CNXRBuffer<nxr::NXR_BYTE> bytesOf(const std::string& s)
{
    return s.empty() ? nxr::CNXRBuffer<nxr::NXR_BYTE>()
                     : nxr::CNXRBuffer<nxr::NXR_BYTE>(reinterpret_cast<const nxr::NXR_BYTE*>(s.data()),
                                                      uint32_t(s.size()), 0);
}
inline std::string textOf(const nxr::CNXRBuffer<nxr::NXR_BYTE>& b)
{
    return b.getNumElems() ? std::string(reinterpret_cast<const char*>(b.getBuffer()), b.getNumElems()) : "";
}

// A fresh folder under $TMPDIR (or /tmp), removed with its contents when the
// object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Points DOCSEAL_REGISTRY at a settings file of its own for its lifetime and
// restores the previous value afterwards. write() replaces the file's body
// (UTF-8, header line added).
class ScopedRegistry {
public:
    ScopedRegistry();
    ~ScopedRegistry();
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

    // Writes the header and a [HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\Logs]
    // section holding the given value lines, e.g. "\"Logging\"=dword:00000001".
    void writeLogsKey(const std::vector<std::string>& valueLines);
    // Turns logging on with the given detail mask, writing to logPath().
    void enableLogging(uint32_t ulDetail);
    const std::string& logPath() const { return m_logPath; }
    const std::string& path() const { return m_regPath; }

private:
    ScratchDir m_dir;
    std::string m_regPath;
    std::string m_logPath;
    std::string m_saved;
    bool m_hadSaved = false;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

// The log file's lines as UTF-8, byte-order mark dropped, CR LF removed.
std::vector<std::string> readLogLines(const std::string& path);
// The lines of the log that contain every one of the pieces.
size_t countLogLines(const std::string& path, const std::vector<std::string>& pieces);
// s written n times over.
std::string repeat(const std::string& s, size_t n);

// The names in a folder.
std::set<std::string> namesIn(const std::string& folder);
// A file's permission bits (links followed).
int modeOf(const std::string& path);

struct RunResult {
    int status = -1; // the exit status, or 128 + the signal that ended it
    std::string out;
};

// Runs the program through the shell, every argument quoted as it is, after
// the shell commands in prefix; collects its standard output.
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& prefix = "");
// The built program (in the program's own tests), ended by a time limit if it
// hangs (status 124).
RunResult docseal(const std::vector<std::string>& args, const std::string& prefix = "");

} // namespace nxrtest
