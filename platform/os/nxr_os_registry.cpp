#include "nxr_os_registry.h"

#include "nxr_os_text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// A registry query answers "absent" for a missing file, key or value, the way
// the native call returns a status; it does not change the thread's
// last-error value, which matters because the logging layer queries the
// registry for every record.

namespace nxr::os {

namespace {

constexpr const char* kDefaultRegistryPath = "/etc/docseal/registry.reg";

// A file modified less than this long before it was read may still change
// without its size or time stamps moving (time stamps come from a coarse
// clock, and some file systems keep whole or even two seconds). Such a file is
// read again at each check until the window has passed.
constexpr int64_t kRacyWindowNs = 2'000'000'000;

// How long the result of one check of the file stands.
constexpr int64_t kRecheckNs = 1'000'000;

// A larger settings file is taken as absent rather than read into memory.
constexpr uint64_t kMaxSettingsBytes = 1u << 20;

enum class ValueType { Dword, String, Other };

struct Value {
    ValueType type = ValueType::Other;
    uint32_t dword = 0;
    std::u16string text;
};

// Lower-cased key path below HKEY_LOCAL_MACHINE -> lower-cased value name -> value.
using ValueMap = std::map<std::u16string, Value>;
using KeyMap = std::map<std::u16string, ValueMap>;

char16_t asciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

std::u16string lowered(std::u16string_view s)
{
    std::u16string out(s);
    for (auto& c : out)
        c = asciiLower(c);
    return out;
}

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view trim(std::u16string_view s)
{
    while (!s.empty() && (isBlank(s.front()) || s.front() == u'\r'))
        s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == u'\r'))
        s.remove_suffix(1);
    return s;
}

bool startsWithNoCase(std::u16string_view s, std::u16string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (asciiLower(s[i]) != asciiLower(prefix[i]))
            return false;
    return true;
}

// Key paths compare as lower case without surrounding backslashes.
std::u16string normalizeKeyPath(std::u16string_view path)
{
    path = trim(path);
    while (!path.empty() && path.front() == u'\\')
        path.remove_prefix(1);
    while (!path.empty() && path.back() == u'\\')
        path.remove_suffix(1);
    return lowered(path);
}

// "[HKEY_LOCAL_MACHINE\Some\Key]" or "[HKLM\Some\Key]" -> "some\key".
// Any other hive, a deletion section "[-...]" or a malformed header yields
// nothing: the values that follow it belong to no key we answer for.
std::optional<std::u16string> parseSectionHeader(std::u16string_view line)
{
    if (line.size() < 2 || line.front() != u'[' || line.back() != u']')
        return std::nullopt;
    std::u16string_view inner = trim(line.substr(1, line.size() - 2));
    if (inner.empty() || inner.front() == u'-')
        return std::nullopt;
    for (std::u16string_view hive : {std::u16string_view(u"HKEY_LOCAL_MACHINE"), std::u16string_view(u"HKLM")}) {
        if (!startsWithNoCase(inner, hive))
            continue;
        std::u16string_view rest = inner.substr(hive.size());
        if (rest.empty())
            return std::u16string();
        if (rest.front() != u'\\')
            continue;
        return normalizeKeyPath(rest);
    }
    return std::nullopt;
}

// Reads a quoted string starting at s[pos] == '"', undoing the \\ and \"
// escapes. A backslash before any other character stays as it is. On success
// pos is just past the closing quote.
bool parseQuoted(std::u16string_view s, size_t& pos, std::u16string& out)
{
    if (pos >= s.size() || s[pos] != u'"')
        return false;
    out.clear();
    for (size_t i = pos + 1; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == u'"') {
            pos = i + 1;
            return true;
        }
        if (c == u'\\' && i + 1 < s.size() && (s[i + 1] == u'\\' || s[i + 1] == u'"')) {
            out.push_back(s[i + 1]);
            ++i;
            continue;
        }
        out.push_back(c);
    }
    return false;
}

int hexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// "0000001b": one to eight hex digits.
std::optional<uint32_t> parseDword(std::u16string_view digits)
{
    digits = trim(digits);
    if (digits.empty() || digits.size() > 8)
        return std::nullopt;
    uint32_t v = 0;
    for (const char16_t c : digits) {
        const int d = hexDigit(c);
        if (d < 0)
            return std::nullopt;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return v;
}

std::u16string decodeFile(const std::string& raw)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(raw[i]); };
    if (raw.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        std::u16string text;
        text.reserve(raw.size() / 2);
        for (size_t i = 2; i + 1 < raw.size(); i += 2)
            text.push_back(static_cast<char16_t>(byte(i) | (byte(i + 1) << 8)));
        return text;
    }
    std::string_view body(raw);
    if (raw.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
        body.remove_prefix(3);
    return toUtf16Lossy(body);
}

std::vector<std::u16string_view> splitLines(std::u16string_view text)
{
    std::vector<std::u16string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string_view::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

KeyMap parseRegistryText(std::u16string_view text)
{
    KeyMap keys;
    ValueMap* current = nullptr;
    const std::vector<std::u16string_view> lines = splitLines(text);

    for (size_t n = 0; n < lines.size(); ++n) {
        const std::u16string_view line = trim(lines[n]);
        // Anything that is neither a section nor a "Name"=value line is
        // skipped: the header line ("Windows Registry Editor Version 5.00" or
        // "REGEDIT4"), comments, "@=" default values, junk.
        if (line.empty() || line.front() == u';')
            continue;
        if (line.front() == u'[') {
            const auto key = parseSectionHeader(line);
            current = key ? &keys[*key] : nullptr;
            continue;
        }
        if (line.front() != u'"')
            continue;

        size_t pos = 0;
        std::u16string name;
        if (!parseQuoted(line, pos, name))
            continue;
        while (pos < line.size() && isBlank(line[pos]))
            ++pos;
        if (pos >= line.size() || line[pos] != u'=')
            continue;
        const std::u16string_view data = trim(line.substr(pos + 1));

        if (startsWithNoCase(data, u"hex")) {
            // Binary and typed-hex values are not used by this program; they
            // read as absent. A trailing backslash continues them on the next
            // lines, which are consumed so they cannot be mistaken for entries.
            while (!trim(lines[n]).empty() && trim(lines[n]).back() == u'\\' && n + 1 < lines.size())
                ++n;
            if (current)
                (*current)[lowered(name)] = Value{};
            continue;
        }
        if (!current)
            continue;

        Value value;
        if (data == u"-") {
            current->erase(lowered(name));
            continue;
        }
        if (!data.empty() && data.front() == u'"') {
            size_t vpos = 0;
            if (!parseQuoted(data, vpos, value.text) || vpos != data.size())
                continue;
            value.type = ValueType::String;
        } else if (startsWithNoCase(data, u"dword:")) {
            const auto v = parseDword(data.substr(6));
            if (!v)
                continue;
            value.type = ValueType::Dword;
            value.dword = *v;
        } else {
            continue;
        }
        (*current)[lowered(name)] = std::move(value);
    }
    return keys;
}

struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;

    static FileIdentity of(const struct stat& st)
    {
        FileIdentity id;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        id.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
        return id;
    }
    bool operator==(const FileIdentity&) const = default;
};

// The parsed settings file, shared by the whole process. The fields the
// query's fast path reads without the lock are atomic.
struct RegistryCache {
    std::mutex mutex;
    std::atomic<int64_t> validUntilNs{0}; // monotonic time until which the last check stands
    std::atomic<uint64_t> generation{1};  // moves whenever what queries answer may have changed
    std::string checkedPath;              // the path of the last check
    bool present = false;                 // the last check's verdict
    bool loaded = false; // whether the fields below describe a file that was read
    std::string path;
    FileIdentity identity;
    bool racy = false;
    std::string raw;
    KeyMap keys;
};

// Never destroyed: a thread still running while the process exits may log,
// and so query, after static destructors have run.
RegistryCache& cache()
{
    static RegistryCache* const s_pCache = new RegistryCache;
    return *s_pCache;
}

int64_t nowNs(clockid_t clock = CLOCK_REALTIME)
{
    struct timespec ts {};
    ::clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

const char* currentRegistryPath()
{
    const char* env = std::getenv("DOCSEAL_REGISTRY");
    return (env != nullptr && *env != '\0') ? env : kDefaultRegistryPath;
}

// Reads the whole file into out; false on an error or when it holds more
// than kMaxSettingsBytes (it may have grown since its size was taken).
bool readWhole(int fd, std::string& out)
{
    out.clear();
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        if (out.size() + static_cast<size_t>(n) > kMaxSettingsBytes)
            return false;
        out.append(chunk, static_cast<size_t>(n));
    }
}

void forget(RegistryCache& c)
{
    if (c.loaded)
        c.generation.fetch_add(1, std::memory_order_relaxed);
    c.loaded = false;
    c.path.clear();
    c.raw.clear();
    c.keys.clear();
}

// Whether st describes a file the settings may come from: a regular file of
// at most kMaxSettingsBytes. A FIFO or a device is never opened, so nothing
// waits for a writer and no device acts on an open.
bool usable(const struct stat& st)
{
    return S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= kMaxSettingsBytes;
}

// Brings the cache up to date with the file at path; returns whether the
// cache now holds a file. The file is read again only when its identity
// changed since it was read, or it had changed just before (racy).
// Called with the cache's mutex held.
bool refresh(RegistryCache& c, const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !usable(st)) {
        forget(c);
        return false;
    }
    if (c.loaded && !c.racy && c.path == path && c.identity == FileIdentity::of(st))
        return true;

    // Without waiting, should a FIFO have taken the name since.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat opened {};
    std::string raw;
    const bool ok = fd >= 0 && ::fstat(fd, &opened) == 0 && usable(opened) && readWhole(fd, raw);
    if (fd >= 0)
        ::close(fd);
    if (!ok) {
        forget(c);
        return false;
    }

    const FileIdentity identity = FileIdentity::of(opened);
    if (!(c.loaded && c.path == path && c.raw == raw)) {
        c.keys = parseRegistryText(decodeFile(raw));
        c.generation.fetch_add(1, std::memory_order_relaxed);
    }
    c.loaded = true;
    c.path = path;
    c.identity = identity;
    c.raw = std::move(raw);
    // Changed within the window before it was read: another change may
    // follow without moving the identity. A time stamp in the future says
    // nothing of that, and must not make every check read the file.
    const int64_t sinceChange = nowNs() - std::max(identity.mtimeNs, identity.ctimeNs);
    c.racy = sinceChange >= 0 && sinceChange < kRacyWindowNs;
    return true;
}

// Whether the file at path holds settings, checking it again when the last
// check was of another path, was dropped, or is older than kRecheckNs. Called
// with the cache's mutex held.
bool current(RegistryCache& c)
{
    const int64_t now = nowNs(CLOCK_MONOTONIC);
    if (now < c.validUntilNs.load(std::memory_order_relaxed))
        return c.present;
    const char* path = currentRegistryPath();
    if (c.checkedPath != path) {
        c.checkedPath = path;
        c.generation.fetch_add(1, std::memory_order_relaxed);
    }
    c.present = refresh(c, c.checkedPath);
    c.validUntilNs.store(now + kRecheckNs, std::memory_order_release);
    return c.present;
}

// Looks the value up under the cache's lock and hands it to use().
template <typename Use>
bool withValue(std::u16string_view subKey, std::u16string_view valueName, Use use)
{
    RegistryCache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!current(c))
        return false;
    const auto key = c.keys.find(normalizeKeyPath(subKey));
    if (key == c.keys.end())
        return false;
    const auto value = key->second.find(lowered(valueName));
    if (value == key->second.end())
        return false;
    return use(value->second);
}

} // namespace

std::string registryPath()
{
    return currentRegistryPath();
}

void regSettingsChanged()
{
    RegistryCache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.validUntilNs.store(0, std::memory_order_release);
}

uint64_t regSettingsGeneration()
{
    RegistryCache& c = cache();
    // Within the time the last check stands nothing is looked at again, so
    // the lock is needed only when the file is due to be checked.
    if (nowNs(CLOCK_MONOTONIC) < c.validUntilNs.load(std::memory_order_acquire))
        return c.generation.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(c.mutex);
    current(c);
    return c.generation.load(std::memory_order_relaxed);
}

bool regQueryDword(std::u16string_view subKey, std::u16string_view valueName, uint32_t& ulValue)
{
    return withValue(subKey, valueName, [&](const Value& v) {
        if (v.type != ValueType::Dword)
            return false;
        ulValue = v.dword;
        return true;
    });
}

bool regQueryString(std::u16string_view subKey, std::u16string_view valueName, std::u16string& value)
{
    return withValue(subKey, valueName, [&](const Value& v) {
        if (v.type != ValueType::String)
            return false;
        value = v.text;
        return true;
    });
}

} // namespace nxr::os
