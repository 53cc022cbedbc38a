// The two ways the XML layer reads a document: the streaming check
// (checkXMLInMem) and the DOM load (loadXMLFromMem). They must agree, refuse
// what is not XML, never read outside the document and stay within bounds
// on hostile input.
#include "xmlxercesvm.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace nxr;
namespace fs = std::filesystem;

namespace {

CNXRBuffer<NXR_BYTE> bytesOf(const std::string& s)
{
    if (s.empty())
        return CNXRBuffer<NXR_BYTE>();
    return CNXRBuffer<NXR_BYTE>(reinterpret_cast<const NXR_BYTE*>(s.data()), static_cast<uint32_t>(s.size()), 0);
}

bool scans(const std::string& document)
{
    CXmlXercesVM vm;
    return vm.checkXMLInMem(bytesOf(document));
}

bool loads(const std::string& document)
{
    CXmlXercesVM vm;
    return vm.loadXMLFromMem(bytesOf(document));
}

std::vector<fs::path> corpus(const char* pszKind)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(NXR_XML_CORPUS) / pszKind))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string repeat(const std::string& s, size_t n)
{
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string nested(size_t ulDepth)
{
    return repeat("<a>", ulDepth) + repeat("</a>", ulDepth);
}

} // namespace

TEST(XmlCheck, WellFormedCorpusPassesBothReaders)
{
    const auto files = corpus("good");
    ASSERT_GE(files.size(), 10u);
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string document = nxrtest::readFile(file.string());
        EXPECT_TRUE(scans(document));
        EXPECT_TRUE(loads(document));
    }
}

TEST(XmlCheck, BrokenCorpusFailsBothReaders)
{
    const auto files = corpus("bad");
    ASSERT_GE(files.size(), 12u);
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string document = nxrtest::readFile(file.string());
        EXPECT_FALSE(scans(document));
        EXPECT_FALSE(loads(document));
    }
}

// Every prefix of every well-formed document, and each one with a byte
// replaced by markup or by a byte that is never UTF-8: the two readers give
// the same verdict on each.
TEST(XmlCheck, ReadersAgreeOnTruncatedAndDamagedDocuments)
{
    // Kept initialised across the many short parses.
    const CXercesLibraryRef library;
    size_t ulRefused = 0;
    for (const auto& file : corpus("good")) {
        const std::string document = nxrtest::readFile(file.string());
        for (size_t i = 0; i < document.size(); ++i) {
            std::vector<std::string> variants = {document.substr(0, i)};
            for (char c : {'<', '&', '\xff'}) {
                variants.push_back(document);
                variants.back()[i] = c;
            }
            for (const auto& variant : variants) {
                const bool bScans = scans(variant);
                ASSERT_EQ(bScans, loads(variant)) << file.filename() << " at byte " << i;
                ulRefused += bScans ? 0 : 1;
            }
        }
    }
    EXPECT_GT(ulRefused, 0u);
}

TEST(XmlCheck, EntityBombIsRefused)
{
    std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE b [\n<!ENTITY l0 \"lol\">\n";
    for (int i = 1; i <= 9; ++i)
        bomb += "<!ENTITY l" + std::to_string(i) + " \"" + repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">\n";
    bomb += "]>\n";
    EXPECT_FALSE(scans(bomb + "<b>&l9;</b>"));
    EXPECT_FALSE(loads(bomb + "<b>&l9;</b>"));
    EXPECT_FALSE(scans(bomb + "<b a=\"&l9;\"/>"));
}

// One large entity referenced many times: few expansions, much text.
TEST(XmlCheck, LargeEntityRepeatedBeyondTheDocumentsSizeIsRefused)
{
    const std::string declaration = "<!DOCTYPE d [<!ENTITY e \"" + std::string(100000, 'x') + "\">]>";
    EXPECT_FALSE(scans(declaration + "<d>" + repeat("&e;", 2000) + "</d>"));
    EXPECT_FALSE(loads(declaration + "<d>" + repeat("&e;", 2000) + "</d>"));
    EXPECT_FALSE(scans(declaration + "<d a=\"" + repeat("&e;", 2000) + "\"/>"));
    // Moderate use of the same entity is fine.
    EXPECT_TRUE(scans(declaration + "<d a=\"&e;\">" + repeat("&e;", 5) + "</d>"));
    EXPECT_TRUE(loads(declaration + "<d a=\"&e;\">" + repeat("&e;", 5) + "</d>"));
}

// Inside an attribute value the parser builds the whole value before anyone
// sees it, so only the expansion count, lowered by the length of the entity,
// can stop it early. The log names the reason.
TEST(XmlCheck, LargeEntityInAnAttributeIsStoppedByTheExpansionCount)
{
    nxrtest::ScopedRegistry registry;
    registry.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
    const std::string entity(20000, 'x');
    EXPECT_FALSE(scans("<!DOCTYPE d [<!ENTITY e \"" + entity + "\">]><d a=\"" + repeat("&e;", 2000) + "\"/>"));
    const auto lines = nxrtest::readLogLines(registry.logPath());
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("entity expansions") != std::string::npos;
    }));
}

TEST(XmlCheck, DefaultedAttributesRepeatedBeyondTheDocumentsSizeAreRefused)
{
    const std::string declaration = "<!DOCTYPE d [<!ATTLIST e v CDATA \"" + std::string(10000, 'y') + "\">]>";
    EXPECT_FALSE(scans(declaration + "<d>" + repeat("<e/>", 5000) + "</d>"));
    EXPECT_FALSE(loads(declaration + "<d>" + repeat("<e/>", 5000) + "</d>"));
    EXPECT_TRUE(scans(declaration + "<d>" + repeat("<e/>", 50) + "</d>"));
}

TEST(XmlCheck, NestingIsBounded)
{
    EXPECT_TRUE(scans(nested(NXR_XML_MAX_ELEMENT_DEPTH)));
    EXPECT_TRUE(loads(nested(NXR_XML_MAX_ELEMENT_DEPTH)));
    EXPECT_FALSE(scans(nested(NXR_XML_MAX_ELEMENT_DEPTH + 1)));
    EXPECT_FALSE(loads(nested(NXR_XML_MAX_ELEMENT_DEPTH + 1)));
    EXPECT_FALSE(scans(nested(200000)));
}

// Each document below would be well-formed if the parser fetched what it
// names, so a refusal shows that nothing was read.
TEST(XmlCheck, ExternalEntitiesAreNeverRead)
{
    nxrtest::ScratchDir dir;
    nxrtest::writeFile(dir.file("text.ent"), "MARKER");
    nxrtest::writeFile(dir.file("decl.ent"), "<!ENTITY inner \"MARKER\">");
    const std::string text = dir.file("text.ent");
    const std::vector<std::string> documents = {
        "<!DOCTYPE d [<!ENTITY ext SYSTEM \"" + text + "\">]><d>&ext;</d>",
        "<!DOCTYPE d [<!ENTITY ext SYSTEM \"file://" + text + "\">]><d>&ext;</d>",
        "<!DOCTYPE d [<!ENTITY % ext SYSTEM \"" + dir.file("decl.ent") + "\"> %ext;]><d>&inner;</d>",
    };
    for (const auto& document : documents) {
        SCOPED_TRACE(document);
        EXPECT_FALSE(scans(document));
        EXPECT_FALSE(loads(document));
    }
    // Declared but not used: nothing to read, nothing refused.
    EXPECT_TRUE(scans("<!DOCTYPE d [<!ENTITY ext SYSTEM \"" + text + "\">]><d/>"));
}

TEST(XmlCheck, ExternalDtdIsSkipped)
{
    nxrtest::ScratchDir dir;
    nxrtest::writeFile(dir.file("d.dtd"), "<!ATTLIST d marker CDATA \"MARKER\">");
    const std::string document = "<!DOCTYPE d SYSTEM \"" + dir.file("d.dtd") + "\"><d/>";
    EXPECT_TRUE(scans(document));

    CXmlXercesVM vm;
    ASSERT_TRUE(vm.loadXMLFromMem(bytesOf(document)));
    xercesc::DOMElement* pElement = nullptr;
    EXPECT_FALSE(vm.getElementByAttribute(u"d", u"marker", u"MARKER", pElement));
}

TEST(XmlCheck, CheckLeavesTheWrapperWithoutADocument)
{
    CXmlXercesVM vm;
    EXPECT_TRUE(vm.checkXMLInMem(bytesOf("<a/>")));
    EXPECT_FALSE(vm.isObjectValid());
    EXPECT_TRUE(vm.loadXMLFromMem(bytesOf("<a/>")));
    EXPECT_TRUE(vm.isObjectValid());
}

// The library stays initialised while any wrapper holds a document, and only
// that long.
TEST(XmlCheck, LibraryLivesAsLongAsTheWrappersThatUseIt)
{
    const uint32_t ulBefore = CXercesLibraryRef::count();
    {
        auto first = std::make_unique<CXmlXercesVM>();
        CXmlXercesVM second;
        ASSERT_TRUE(first->initXMLMemDoc());
        ASSERT_TRUE(second.loadXMLFromMem(bytesOf("<kept/>")));
        EXPECT_EQ(CXercesLibraryRef::count(), ulBefore + 2);
        first.reset();
        CNXRBuffer<NXR_BYTE> out;
        ASSERT_TRUE(second.flushToMemBuffer(out));
        EXPECT_NE(std::string(reinterpret_cast<const char*>(out.getBuffer()), out.getNumElems()).find("<kept/>"),
                  std::string::npos);
        EXPECT_TRUE(second.checkXMLInMem(bytesOf("<x/>")));
        EXPECT_EQ(CXercesLibraryRef::count(), ulBefore + 1);
    }
    EXPECT_EQ(CXercesLibraryRef::count(), ulBefore);
}

TEST(XmlCheck, ChecksRunOnManyThreadsAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 50; ++i) {
                CXmlXercesVM vm;
                if (!vm.checkXMLInMem(bytesOf("<a><b>" + std::to_string(i) + "</b></a>")) ||
                    vm.checkXMLInMem(bytesOf("<a><b></a>")))
                    ++failures[t];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
