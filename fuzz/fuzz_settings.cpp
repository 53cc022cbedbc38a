// The settings file: the input is the whole file (UTF-8, UTF-8 with a mark,
// or UTF-16LE with its mark), read through the registry queries and the
// log-settings accessors that interpret its values.
//
// Properties: a value written after whatever the input holds (behind an
// empty line, which ends any continued line) is always found; a string value
// read through the log settings never exceeds the size that setting allows.
#include "fuzz_common.h"
#include "nxr_logconfig.h"
#include "nxr_os_registry.h"

#include <string>

using namespace nxr;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("DOCSEAL_REGISTRY", (docseal_fuzz::scratchDir() + "/settings.reg").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A UTF-16 file cannot take the UTF-8 probe; it is read as it is.
    const bool bUtf16 = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    std::string file(reinterpret_cast<const char*>(data), size);
    if (!bUtf16)
        file += "\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Docseal\\Probe]\n\"Probe\"=dword:00C0FFEE\n";
    docseal_fuzz::writeInput(docseal_fuzz::scratchDir() + "/settings.reg",
                             reinterpret_cast<const uint8_t*>(file.data()), file.size());
    os::regSettingsChanged();
    if (!bUtf16) {
        uint32_t ulProbe = 0;
        FUZZ_REQUIRE(os::regQueryDword(u"SOFTWARE\\Docseal\\Probe", u"Probe", ulProbe) && ulProbe == 0xC0FFEE);
    }

    uint32_t ulValue = 0;
    std::u16string text;
    os::regQueryDword(NXR_LOG_SETTINGS_KEY, u"Logging", ulValue);
    os::regQueryString(NXR_LOG_SETTINGS_KEY, u"TextOutput", text);
    os::regQueryDword(u"\\software\\CORVANE\\logs\\", u"logdetail", ulValue);
    os::regQueryString(u"", u"", text);
    os::regQueryDword(u"SOFTWARE", u"x", ulValue);

    (void)CNXRLogSettings::logging();
    (void)CNXRLogSettings::logDetail();
    for (const char16_t* pszProgram : {u"docseal", u"fuzz_settings", u"a"}) {
        (void)CNXRLogSettings::programEntryExists(pszProgram);
        (void)CNXRLogSettings::programOutputMask(pszProgram);
        (void)CNXRLogSettings::programDetailMask(pszProgram);
        std::u16string path;
        if (CNXRLogSettings::programLogPath(pszProgram, path))
            FUZZ_REQUIRE(!path.empty() && path.size() <= NXR_LOG_PATH_UNITS);
    }
    bool bOccurs = false;
    (void)CNXRLogSettings::allowObjects(u"CNXRXmlCrypt", bOccurs);
    (void)CNXRLogSettings::excludeObjects(u"CNXRBuffer", bOccurs);
    std::u16string location;
    if (CNXRLogSettings::outputLocation(NXR_OUTPUT_TEXT, location, NXR_TEXT_OUTPUT_BYTES))
        FUZZ_REQUIRE((location.size() + 1) * sizeof(char16_t) <= NXR_TEXT_OUTPUT_BYTES);
    return 0;
}
