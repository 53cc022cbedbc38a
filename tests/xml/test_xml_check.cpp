// The two ways the XML layer reads a document: the streaming check
// (checkXMLInMem) and the DOM load (loadXMLFromMem). They must agree, refuse
// what is not XML, never read outside the document and stay within bounds
// on documents that cost more than their size. Network and FIFO entities,
// floods and entity chains are tried in tests/assurance.
#include "xmlxercesvm.h"

#include "testsupport.h"

#include <gtest/gtest.h>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLURL.hpp>

#include <algorithm>
#include <iconv.h>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace nxr;
using nxrtest::bytesOf;
using nxrtest::repeat;
namespace fs = std::filesystem;

namespace {


bool scans(const std::string& document) { return CXmlXercesVM().checkXMLInMem(bytesOf(document)); }

// The text in another character set (glibc's converter).
std::string encoded(const char* pszCharset, const std::string& utf8)
{
    const iconv_t converter = ::iconv_open(pszCharset, "UTF-8");
    std::string out(utf8.size() * 4 + 8, '\0');
    char *pIn = const_cast<char*>(utf8.data()), *pOut = out.data();
    size_t ulIn = utf8.size(), ulOut = out.size();
    EXPECT_NE(::iconv(converter, &pIn, &ulIn, &pOut, &ulOut), size_t(-1)) << pszCharset;
    ::iconv_close(converter);
    return out.substr(0, out.size() - ulOut);
}
bool loads(const std::string& document) { return CXmlXercesVM().loadXMLFromMem(bytesOf(document)); }

std::vector<fs::path> corpus(const char* pszKind)
{
    std::vector<fs::path> files(fs::directory_iterator(fs::path(NXR_XML_CORPUS) / pszKind), {});
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST(XmlCheck, BothReadersAcceptTheGoodCorpusAndRefuseTheBad)
{
    for (const auto& [kind, bGood] : {std::pair{"good", true}, std::pair{"bad", false}}) {
        const auto files = corpus(kind);
        ASSERT_GE(files.size(), bGood ? 10u : 12u);
        for (const auto& file : files) {
            SCOPED_TRACE(file.filename().string());
            const std::string document = nxrtest::readFile(file.string());
            EXPECT_EQ(scans(document), bGood);
            EXPECT_EQ(loads(document), bGood);
        }
    }
}

// Each document below reaches outside itself or costs far more than its
// size. Those that name an external entity would be well-formed if the parser
// fetched it, so a refusal shows that nothing was read; an external DTD is
// skipped. Both readers refuse for the reason the log gives, and accept the
// same declarations where nothing is fetched or the use is moderate. Inside
// an attribute value the parser builds the whole value before anyone sees
// it, so only the expansion count, lowered by the length of the entity, can
// stop it early.
TEST(XmlCheck, DocumentsThatReachOutsideOrCostTooMuchAreRefused)
{
    nxrtest::ScratchDir dir;
    const std::string text = dir.file("text.ent"), decl = dir.file("decl.ent");
    const std::string dtd = "<!DOCTYPE d SYSTEM \"" + dir.file("d.dtd") + "\"><d/>";
    nxrtest::writeFile(text, "MARKER");
    nxrtest::writeFile(decl, "<!ENTITY inner \"MARKER\">");
    nxrtest::writeFile(dir.file("d.dtd"), "<!ATTLIST d marker CDATA \"MARKER\">");
    std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE b [\n<!ENTITY l0 \"lol\">\n";
    for (int i = 1; i <= 9; ++i)
        bomb += "<!ENTITY l" + std::to_string(i) + " \"" + repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">\n";
    bomb += "]>\n";
    const std::string entity = "<!DOCTYPE d [<!ENTITY e \"" + std::string(100000, 'x') + "\">]>";
    const std::string attlist = "<!DOCTYPE d [<!ATTLIST e v CDATA \"" + std::string(10000, 'y') + "\">]>";
    const auto nested = [](size_t n) { return repeat("<a>", n) + repeat("</a>", n); };
    // Declarations on one start tag, refused (or passed) before the parser
    // has read past them.
    const auto declarations = [](size_t n) {
        std::string tag = "<d";
        for (size_t i = 0; i < n; ++i)
            tag += " xmlns:p" + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
        return tag + "/>";
    };
    // Tokens at their limits and one byte over, in the encodings the
    // measure follows, and a document in one it cannot follow.
    const std::string big(NXR_XML_MAX_TOKEN_BYTES, 'v'), name(NXR_XML_MAX_NAME_BYTES, 'n');
    const std::string iso2022 = "<?xml version='1.0' encoding='ISO-2022-JP'?>";
    const struct {
        std::string document;
        const char* pszRefusal; // what the log says when refused; null when accepted
    } cases[] = {
        {"<" + name + "/>", nullptr},
        {"<" + name + "n/>", "a name longer than 50000 bytes, docseal's limit"},
        {"<d>&" + name + "n;</d>", "a name longer than"},
        {"<d a='" + big + "'/>", nullptr},
        {"<d a='" + big + "v'/>", "an attribute value longer than 10000000 bytes, docseal's limit"},
        {"<d><!--" + big + "c--></d>", "a comment longer than"},
        {"<d><?pi " + big + "?></d>", "a processing instruction longer than"},
        {"<d><![CDATA[" + big.substr(1) + "]]]></d>", nullptr},
        {"<d><![CDATA[" + big + "]]]></d>", "a CDATA section longer than"},
        {"<d" + std::string(NXR_XML_MAX_TAG_BYTES, ' ') + "/>", "a tag longer than 10100000 bytes"},
        {"<!DOCTYPE d [<!ENTITY e '" + big + "v'>]><d/>", "an entity value or literal longer than"},
        {"<!DOCTYPE d [<?pi x?><!-- " + big + "-->]><d/>", "a comment longer than"},
        {"<!DOCTYPE d [<!ELEMENT d" + std::string(NXR_XML_MAX_TOKEN_BYTES, ' ') + "EMPTY>]><d/>", "a markup declaration"},
        {encoded("UTF-16", "<" + name.substr(name.size() / 2) + "/>"), nullptr},
        {"\xFE\xFF" + encoded("UTF-16BE", "<" + name.substr(name.size() / 2 - 1) + "/>"), "a name longer than"},
        {encoded("UTF-16BE", "<?xml version='1.0' encoding='UTF-16'?><" + name.substr(name.size() / 2 - 1) + "/>"),
         "a name longer than"}, // no mark
        {encoded("IBM037", "<?xml version='1.0' encoding='IBM037'?><" + name + "n/>"), "a name longer than"},
        {iso2022 + "<d>" + big.substr(iso2022.size() + 7) + "</d>", nullptr},
        {iso2022 + "<d>" + big + "</d>", "a document longer than 10000000 bytes in an encoding whose markup"},
        {"<!DOCTYPE d [<!ENTITY ext SYSTEM \"" + text + "\">]><d>&ext;</d>", "external entity"},
        {"<!DOCTYPE d [<!ENTITY ext SYSTEM \"file://" + text + "\">]><d>&ext;</d>", "external entity"},
        {"<!DOCTYPE d [<!ENTITY % ext SYSTEM \"" + decl + "\"> %ext;]><d>&inner;</d>", "external entity"},
        {"<!DOCTYPE d [<!ENTITY ext SYSTEM \"" + text + "\">]><d/>", nullptr},
        {dtd, nullptr},
        {bomb + "<b>&l9;</b>", "entity expansions, docseal's limit"},
        {entity + "<d>" + repeat("&e;", 2000) + "</d>", "entity expansions, docseal's limit"},
        {entity + "<d a=\"" + repeat("&e;", 2000) + "\"/>", "entity expansions, docseal's limit"},
        {entity + "<d a=\"&e;\">" + repeat("&e;", 5) + "</d>", nullptr},
        {attlist + "<d>" + repeat("<e/>", 5000) + "</d>", "attribute values expanding to more than"},
        {attlist + "<d>" + repeat("<e/>", 50) + "</d>", nullptr},
        {nested(NXR_XML_MAX_ELEMENT_DEPTH), nullptr},
        {nested(NXR_XML_MAX_ELEMENT_DEPTH + 1), "more than 512 nested elements, docseal's limit"},
        {nested(200000), "more than 512 nested elements, docseal's limit"},
        {declarations(NXR_XML_MAX_NAMESPACES_IN_SCOPE), nullptr},
        {declarations(NXR_XML_MAX_NAMESPACES_IN_SCOPE + 1), "more than 256 namespace declarations in scope, docseal's limit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document.substr(0, 80));
        nxrtest::ScopedRegistry registry;
        registry.enableLogging(NXR_LEVEL_EXCEPTION_BAD);
        EXPECT_EQ(scans(c.document), !c.pszRefusal);
        EXPECT_EQ(loads(c.document), !c.pszRefusal);
        const auto lines = nxrtest::readLogLines(registry.logPath());
        EXPECT_EQ(lines.empty(), !c.pszRefusal);
        for (size_t i = 0; c.pszRefusal && i < lines.size(); ++i)
            EXPECT_NE(lines[i].find(c.pszRefusal), std::string::npos) << lines[i];
    }
    CXmlXercesVM vm;
    ASSERT_TRUE(vm.loadXMLFromMem(bytesOf(dtd)));
    xercesc::DOMElement* pElement = nullptr;
    EXPECT_FALSE(vm.getElementByAttribute(u"d", u"marker", u"MARKER", pElement));
}

// The check keeps no document; the library stays initialised while any
// wrapper holds a document, and only that long.
TEST(XmlCheck, LibraryLivesAsLongAsTheWrappersThatUseIt)
{
    const uint32_t ulBefore = CXercesLibraryRef::count();
    {
        auto first = std::make_unique<CXmlXercesVM>();
        CXmlXercesVM second;
        ASSERT_TRUE(first->initXMLMemDoc());
        EXPECT_TRUE(second.checkXMLInMem(bytesOf("<x/>")));
        EXPECT_FALSE(second.isObjectValid());
        ASSERT_TRUE(second.loadXMLFromMem(bytesOf("<kept/>")));
        EXPECT_EQ(CXercesLibraryRef::count(), ulBefore + 2);
        first.reset();
        CNXRBuffer<NXR_BYTE> out;
        ASSERT_TRUE(second.flushToMemBuffer(out));
        EXPECT_NE(std::string(reinterpret_cast<const char*>(out.getBuffer()), out.getNumElems()).find("<kept/>"),
                  std::string::npos);
        EXPECT_EQ(CXercesLibraryRef::count(), ulBefore + 1);
    }
    EXPECT_EQ(CXercesLibraryRef::count(), ulBefore);
}

// A panic of the library is a failure of the call, never the end of the
// process.
TEST(XmlCheck, ALibraryPanicFailsTheCall)
{
    CXercesLibraryRef library;
    EXPECT_THROW(nxrXercesCall([] { xercesc::XMLPlatformUtils::panic(xercesc::PanicHandler::Panic_MutexErr); }),
                 CXercesException);
}

// The check over arriving bytes makes no record per read: the road holds its
// records until the verdict, and any made per read would grow with the
// document.
TEST(XmlCheck, ArrivingCheckRecordsDoNotGrowWithTheDocument)
{
    nxrtest::ScopedRegistry registry;
    registry.enableLogging(NXR_LEVEL_ENTRY);
    std::vector<size_t> entries;
    for (const size_t ulCopies : {100, 100000}) {
        {
            const std::string doc = "<r>" + repeat("<e a='1'>text</e>", ulCopies) + "</r>";
            CNXRArrivingBytes bytes(doc.size(), static_cast<uint32_t>(doc.size()));
            ASSERT_TRUE(bytes.append(reinterpret_cast<const uint8_t*>(doc.data()), doc.size()));
            bytes.finish();
            EXPECT_TRUE(CXmlXercesVM().checkXMLArriving(bytes));
        }
        entries.push_back(nxrtest::countLogLines(registry.logPath(), {"<ENTRY>"}));
    }
    EXPECT_EQ(entries[1], 2 * entries[0]);
}

// The parser linked from its archive carries our network accessor: no URL
// opens, and no HTTP client library is in the process.
TEST(XmlCheck, TheParserCannotReachTheNetwork)
{
#if NXR_XERCES_OFFLINE
    CXercesLibraryRef library;
    for (const char16_t* url : {u"http://127.0.0.1:9/x.dtd", u"ftp://127.0.0.1/x.dtd"}) {
        xercesc::XMLURL parsed(url);
        EXPECT_THROW(std::unique_ptr<xercesc::BinInputStream>(parsed.makeNewStream()), xercesc::MalformedURLException);
    }
    const std::string maps = nxrtest::readFile("/proc/self/maps");
    EXPECT_EQ(maps.find("libcurl"), std::string::npos);
    EXPECT_EQ(maps.find("libxerces"), std::string::npos);
#else
    GTEST_SKIP() << "built with the shared parser library";
#endif
}

// The light scanner, where the check uses it, gives the full one's verdict
// (alone) and, with the full one retelling its refusals, the same reason,
// line and column: on the corpora, and where the two part or the check's own
// limits and namespace rules meet their events.
TEST(XmlCheck, LightAndFullScannersGiveTheSameVerdicts)
{
    const auto wide = [](const std::string& ascii) {
        std::string out = "\xFF\xFE";
        for (const char c : ascii)
            out += std::string{c, '\0'};
        return out;
    };
    const auto declarations = [](size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
        return out;
    };
    std::vector<std::string> documents = {
        "<!DOCTYPE d [<!ATTLIST d xmlns:p CDATA 'urn:p'>]><d><p:e/></d>", wide("<d a='") + "\x00\xD8" + wide("'/>").substr(2),
        wide("<?xml version='1.0' encoding='UTF-16'?><d a='") + "\x00\xD8" + wide("'/>").substr(2),
        "<d a='\xED\xA0\x80'/>", "<d a='&#xD800;'/>", "<d>\xF0\x90\x80\x80</d>", "<xmlns:x/>", "<p:d/>",
        "<d xmlns:a='u' xmlns:b='u' a:x='1' b:x='2'/>", "<d xmlns:p=''/>", "<?xml version='1.1'?><d xmlns:p=''/>",
        "<d xmlns:xml='urn:x'/>", "<d xmlns='urn:d' xmlns:x='urn:x' x:a='1' a='2'>\n<x:e/>\n</x:d>",
        "<?xml version='1.0' encoding='ISO-8859-1'?><d>\xE9</d>", "<?xml version='1.0' encoding='US-ASCII'?><d>\xE9</d>",
        "<?xml version='1.1' encoding='utf-8'?><d>\xC2\x85</d>", "<?xml version='1.0' encoding='UTF-7'?><d/>",
        repeat("<a>", NXR_XML_MAX_ELEMENT_DEPTH + 1) + repeat("</a>", NXR_XML_MAX_ELEMENT_DEPTH + 1),
        "<d" + declarations(NXR_XML_MAX_NAMESPACES_IN_SCOPE + 1) + "/>",
        "<d" + declarations(200) + ">" + repeat("<e" + declarations(56) + "/>", 300) + "</d>",
        "<d" + declarations(200) + ">" + repeat("<e" + declarations(30) + ">", 2) + "</e></e></d>",
        "<d" + declarations(NXR_XML_MAX_NAMESPACES_IN_SCOPE) + ">" + repeat("<e>", NXR_XML_MAX_ELEMENT_DEPTH) + "</d>"};
    for (const char* pszFolder : {NXR_XML_CORPUS "/good", NXR_XML_CORPUS "/bad", NXR_FUZZ_XML_CORPUS})
        for (const auto& file : fs::directory_iterator(pszFolder))
            documents.push_back(nxrtest::readFile(file.path().string()));
    const auto reason = [](const std::string& document, NxrScanners scanners) {
        nxrChooseScanners(scanners);
        try {
            nxrScanXML(reinterpret_cast<const XMLByte*>(document.data()), document.size(), u"doc");
            return std::u16string(u"accepted");
        } catch (const CXercesException& e) {
            return std::u16string(e.getMessage());
        }
    };
    const CXercesLibraryRef library;
    for (const auto& document : documents) {
        SCOPED_TRACE(document.substr(0, 80));
        const std::u16string full = reason(document, NxrScanners::Full);
        EXPECT_EQ(reason(document, NxrScanners::LightWhereItFits), full);
        EXPECT_EQ(reason(document, NxrScanners::LightAlone) == u"accepted", full == u"accepted");
    }
    nxrChooseScanners(NxrScanners::LightWhereItFits);
}

TEST(XmlCheck, ChecksRunOnManyThreadsAtOnce)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&failures] {
            for (int i = 0; i < 50; ++i)
                if (!scans("<a><b>" + std::to_string(i) + "</b></a>") || scans("<a><b></a>"))
                    ++failures;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
}
