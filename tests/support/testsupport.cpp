#include "testsupport.h"

#include "nxr_os_registry.h"
#include "nxr_os_text.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nxrtest {

ScratchDir::ScratchDir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/docseal-test-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

ScopedRegistry::ScopedRegistry()
    : m_regPath(m_dir.file("registry.reg")), m_logPath(m_dir.file("logs/test.log"))
{
    if (const char* old = std::getenv("DOCSEAL_REGISTRY")) {
        m_saved = old;
        m_hadSaved = true;
    }
    ::setenv("DOCSEAL_REGISTRY", m_regPath.c_str(), 1);
    nxr::os::regSettingsChanged();
}

ScopedRegistry::~ScopedRegistry()
{
    if (m_hadSaved)
        ::setenv("DOCSEAL_REGISTRY", m_saved.c_str(), 1);
    else
        ::unsetenv("DOCSEAL_REGISTRY");
    nxr::os::regSettingsChanged();
}

void ScopedRegistry::writeLogsKey(const std::vector<std::string>& valueLines)
{
    std::string body = "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Logs]\r\n";
    for (const auto& line : valueLines)
        body += line + "\r\n";
    // Write beside and rename, so a reader never sees half a file and the
    // inode changes even when size and time stamp would not.
    const std::string tmp = m_regPath + ".new";
    writeFile(tmp, body);
    std::filesystem::rename(tmp, m_regPath);
    nxr::os::regSettingsChanged();
}

void ScopedRegistry::enableLogging(uint32_t ulDetail)
{
    char detail[32];
    std::snprintf(detail, sizeof(detail), "\"LogDetail\"=dword:%08x", ulDetail);
    writeLogsKey({"\"Logging\"=dword:00000001", detail, "\"TextOutput\"=\"" + m_logPath + "\""});
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> readLogLines(const std::string& path)
{
    const std::string raw = readFile(path);
    std::u16string text;
    size_t i = 0;
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE)
        i = 2;
    for (; i + 1 < raw.size(); i += 2)
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                             (static_cast<unsigned char>(raw[i + 1]) << 8)));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u"\r\n", start);
        if (end == std::u16string::npos)
            end = text.size();
        lines.push_back(nxr::os::toUtf8Lossy(text.substr(start, end - start)));
        start = end + 2;
    }
    return lines;
}

size_t countLogLines(const std::string& path, const std::vector<std::string>& pieces)
{
    size_t n = 0;
    for (const std::string& line : readLogLines(path))
        n += std::all_of(pieces.begin(), pieces.end(), [&](const std::string& p) { return line.find(p) != line.npos; });
    return n;
}

std::string repeat(const std::string& s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

std::set<std::string> namesIn(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

int modeOf(const std::string& path) { return static_cast<int>(std::filesystem::status(path).permissions()); }

RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& prefix)
{
    const auto quoted = [](const std::string& word) {
        std::string out = "'";
        for (const char c : word)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    };
    std::string command = prefix + "exec " + quoted(program);
    for (const auto& arg : args)
        command += " " + quoted(arg);
    RunResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    char chunk[4096];
    for (size_t n; pipe && (n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;)
        result.out.append(chunk, n);
    const int status = pipe ? ::pclose(pipe) : -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace nxrtest
