#include "nxr_os_registry.h"
#include "nxr_os_text.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>

using namespace nxr::os;
using nxrtest::ScopedRegistry;
using nxrtest::writeFile;

namespace {

constexpr std::u16string_view kLogs = u"SOFTWARE\\Corvane\\Logs";

// UTF-8 text as a UTF-16LE file body with its byte-order mark.
std::string utf16leWithBom(const std::string& utf8)
{
    std::u16string wide;
    EXPECT_TRUE(utf8ToUtf16(utf8, wide));
    std::string out = "\xFF\xFE";
    for (const char16_t u : wide)
        out += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    return out;
}

std::optional<uint32_t> dword(std::u16string_view name, std::u16string_view key = kLogs)
{
    uint32_t v = 0xDEADBEEF;
    if (!regQueryDword(key, name, v)) {
        EXPECT_EQ(v, 0xDEADBEEFu) << "output changed on failure";
        return std::nullopt;
    }
    return v;
}

std::optional<std::string> str(std::u16string_view name, std::u16string_view key = kLogs)
{
    std::u16string v = u"untouched";
    if (!regQueryString(key, name, v)) {
        EXPECT_EQ(v, u"untouched") << "output changed on failure";
        return std::nullopt;
    }
    return toUtf8Lossy(v);
}

} // namespace

TEST(OsRegistry, Utf16ExportWithEscapesCommentsAndOtherKeys)
{
    ScopedRegistry reg;
    writeFile(reg.path(), utf16leWithBom(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; exported by hand\r\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Logs]\r\n"
        "\"Logging\"=dword:00000007\r\n"
        "\"TextOutput\"=\"/wrong/hive.log\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Logs]\r\n"
        "@=\"default value\"\r\n"
        "\"Logging\"=dword:00000001\r\n"
        "\"LogDetail\"  =   dword:0000001b\r\n"
        "\"TextOutput\"=\"C:\\\\logs\\\\say \\\"hi\\\".log\"\r\n"
        "\"docseal\"=\"1,27,/var/log/docseal/journal-\xC3\xA9.log\"\r\n"
        "this line is junk\r\n"
        "\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        "  16,17,18\r\n"
        "\"Expand\"=hex(2):25,00,54,00,00,00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Other]\r\n"
        "\"Logging\"=dword:00000009\r\n"));

    EXPECT_EQ(dword(u"Logging"), 1u);
    EXPECT_EQ(dword(u"LogDetail"), 0x1Bu);
    EXPECT_EQ(str(u"TextOutput"), "C:\\logs\\say \"hi\".log");
    EXPECT_EQ(str(u"docseal"), "1,27,/var/log/docseal/journal-\xC3\xA9.log");
    EXPECT_EQ(dword(u"Logging", u"SOFTWARE\\Corvane\\Other"), 9u);

    // Names of keys and values ignore ASCII case.
    EXPECT_EQ(dword(u"LOGGING", u"software\\corvane\\LOGS"), 1u);
    EXPECT_EQ(str(u"textoutput"), "C:\\logs\\say \"hi\".log");

    // Wrong type, hex values, the default value and missing names read as absent.
    for (const auto* name : {u"TextOutput", u"Blob", u"Missing"})
        EXPECT_EQ(dword(name), std::nullopt) << toUtf8Lossy(name);
    for (const auto* name : {u"Logging", u"Expand", u""})
        EXPECT_EQ(str(name), std::nullopt) << toUtf8Lossy(name);
    EXPECT_EQ(dword(u"Logging", u"SOFTWARE\\Corvane"), std::nullopt);
}

TEST(OsRegistry, Utf8Regedit4WithOddAndMalformedLines)
{
    ScopedRegistry reg;
    writeFile(reg.path(),
              "\xEF\xBB\xBF"
              "REGEDIT4\n\n"
              "  [HKLM\\SOFTWARE\\Corvane\\Logs]  \n"
              "\t\"Logging\" = DWORD:1B\n"
              "\"LogDetail\"=dword:0000001b\n"
              "\"LogDetail\"=dword:00002200\n"     // a later line wins
              "\"TooLong\"=dword:123456789\n"
              "\"NotHex\"=dword:12g4\n"
              "\"Trailing\"=\"text\" junk\n"
              "\"Unterminated\"=\"text\n"
              "\"NoEquals\" \"text\"\n"
              "\"Gone\"=\"here\"\n"
              "\"Gone\"=-\n"
              "\"Empty\"=\"\"\n"
              "[HKLM\\SOFTWARE\\Corvane\\Logs\n"  // broken header: following lines have no key
              "\"Stray\"=dword:00000001\n"
              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Logs]\n"
              "\"Deleted\"=dword:00000001\n");

    EXPECT_EQ(dword(u"Logging"), 0x1Bu);
    EXPECT_EQ(dword(u"LogDetail"), 0x2200u);
    EXPECT_EQ(str(u"Empty"), "");
    for (const auto* name : {u"TooLong", u"NotHex", u"Stray", u"Deleted"})
        EXPECT_EQ(dword(name), std::nullopt) << toUtf8Lossy(name);
    for (const auto* name : {u"Trailing", u"Unterminated", u"NoEquals", u"Gone"})
        EXPECT_EQ(str(name), std::nullopt) << toUtf8Lossy(name);
}

TEST(OsRegistry, SeesEveryChangeOfTheFile)
{
    ScopedRegistry reg;
    EXPECT_EQ(dword(u"Logging"), std::nullopt);

    // Edits made behind the cache's back count once the last check is a
    // millisecond old.
    const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
    const auto inPlace = [&](char digit) {
        writeFile(reg.path(), std::string("REGEDIT4\n[HKLM\\SOFTWARE\\Corvane\\Logs]\n\"Logging\"=dword:0000000") + digit + "\n");
        settle();
    };
    // Rewritten in place right away: same size, same inode, and quite possibly
    // the same time stamps.
    inPlace('1');
    EXPECT_EQ(dword(u"Logging"), 1u);
    inPlace('2');
    EXPECT_EQ(dword(u"Logging"), 2u);

    // Replaced by rename.
    reg.writeLogsKey({"\"Logging\"=dword:00000003"});
    EXPECT_EQ(dword(u"Logging"), 3u);

    // Deleted.
    ASSERT_EQ(std::remove(reg.path().c_str()), 0);
    settle();
    EXPECT_EQ(dword(u"Logging"), std::nullopt);

    // At most 1 MiB is read; a larger file counts as absent and is not read
    // at all.
    const auto bytesRead = [] { return std::stoull(nxrtest::readFile("/proc/self/io").substr(6)); }; // "rchar: N"
    const std::string body = "REGEDIT4\n[HKLM\\SOFTWARE\\Corvane\\Logs]\n\"Logging\"=dword:00000004\n;";
    for (const size_t extra : {1, 0}) {
        writeFile(reg.path(), body + std::string((1u << 20) - body.size() + extra, ';'));
        settle();
        const uint64_t before = bytesRead();
        for (int i = 0; i < 3; ++i, settle())
            EXPECT_EQ(dword(u"Logging"), extra ? std::nullopt : std::optional<uint32_t>(4)) << extra;
        EXPECT_TRUE(!extra || bytesRead() - before < (1u << 20)) << bytesRead() - before;
    }
    // Stamped in the future, it is read once, not again at every check.
    std::filesystem::last_write_time(reg.path(), std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
    settle();
    EXPECT_EQ(dword(u"Logging"), 4u);
    const uint64_t before = bytesRead();
    for (int i = 0; i < 5; ++i, settle())
        EXPECT_EQ(dword(u"Logging"), 4u);
    EXPECT_LT(bytesRead() - before, 1u << 20);
}

