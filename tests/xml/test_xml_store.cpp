// The document wrapper's life cycle, its element operations, the
// labelled-value store and the function store.
#include "xmlxercesvm.h"

#include "nxr_os_file.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>

using namespace nxr;

namespace {

CNXRBuffer<NXR_BYTE> bytesOf(const std::string& s)
{
    return CNXRBuffer<NXR_BYTE>(reinterpret_cast<const NXR_BYTE*>(s.data()), static_cast<uint32_t>(s.size()), 0);
}

std::string textOf(CXmlXercesBase& wrapper)
{
    CNXRBuffer<NXR_BYTE> out;
    if (!wrapper.flushToMemBuffer(out))
        return "(no document)";
    return std::string(reinterpret_cast<const char*>(out.getBuffer()), out.getNumElems());
}

std::string utf8(const CNXRWCharString& s)
{
    return s.toUtf8();
}

} // namespace

TEST(XmlWrapper, EachWrapperTakesOneDocument)
{
    CXmlXercesBase fresh;
    EXPECT_FALSE(fresh.isObjectValid());
    EXPECT_EQ(textOf(fresh), "(no document)");
    ASSERT_TRUE(fresh.initXMLMemDoc());
    EXPECT_TRUE(fresh.isObjectValid());
    EXPECT_NE(textOf(fresh).find("<TarnFile xmlns=\"urn:docseal:TarnFile\"/>"), std::string::npos);
    EXPECT_FALSE(fresh.initXMLMemDoc());
    EXPECT_FALSE(fresh.loadXMLFromMem(bytesOf("<a/>")));

    // Any root element; a failed load leaves room for another.
    CXmlXercesBase loaded;
    EXPECT_FALSE(loaded.loadXMLFromMem(bytesOf("<a><b></a>")));
    EXPECT_FALSE(loaded.isObjectValid());
    ASSERT_TRUE(loaded.loadXMLFromMem(bytesOf("<other attr=\"1\"/>")));
    EXPECT_FALSE(loaded.loadXMLFromMem(bytesOf("<other/>")));
}

TEST(XmlWrapper, ElementOperations)
{
    CXmlXercesBase doc;
    ASSERT_TRUE(doc.loadXMLFromMem(bytesOf("<r><e/><e k=\"x\">one</e><e k=\"y\"><f/></e></r>")));
    xercesc::DOMElement* pFound = nullptr;
    ASSERT_TRUE(doc.getElementByAttribute(u"e", u"k", u"y", pFound));
    xercesc::DOMElement* pSecond = nullptr;
    ASSERT_TRUE(doc.getElementByLabel(u"e", pSecond, 2));
    EXPECT_EQ(pFound, pSecond);
    EXPECT_FALSE(doc.getElementByAttribute(u"e", u"k", u"Y", pFound));
    EXPECT_FALSE(doc.getElementByAttribute(u"none", u"k", u"x", pFound));
    EXPECT_FALSE(doc.getElementByLabel(u"e", pFound, 3));

    CNXRWCharString text;
    ASSERT_TRUE(doc.getElementByLabel(u"e", pFound, 1));
    ASSERT_TRUE(doc.readTextNode(pFound, text));
    EXPECT_EQ(utf8(text), "one");
    ASSERT_TRUE(doc.getElementByLabel(u"e", pFound, 0));
    EXPECT_FALSE(doc.readTextNode(pFound, text)); // no child
    ASSERT_TRUE(doc.getElementByLabel(u"e", pFound, 2));
    EXPECT_FALSE(doc.readTextNode(pFound, text)); // an element child holds no text

    xercesc::DOMElement* pNew = nullptr;
    EXPECT_FALSE(doc.createElement(u"not a name", pNew));
    ASSERT_TRUE(doc.createElement(u"n", pNew));
    ASSERT_TRUE(doc.setAttribute(pNew, u"k", u"z"));
    ASSERT_TRUE(doc.attachToElement(pNew, pFound));
    EXPECT_TRUE(doc.getElementByAttribute(u"n", u"k", u"z", pFound));

    xercesc::DOMElement* pRoot = nullptr;
    ASSERT_TRUE(doc.getElementByLabel(u"r", pRoot, 0));
    EXPECT_FALSE(doc.deleteNode(pRoot));
    EXPECT_TRUE(doc.isObjectValid());
    ASSERT_TRUE(doc.deleteNode(pFound));
    EXPECT_EQ(textOf(doc).find("<n "), std::string::npos);
}

TEST(XmlStore, ValuesUnderOneLabel)
{
    CXmlXercesBase store;
    ASSERT_TRUE(store.initXMLMemDoc());
    CNXRWCharString value;
    EXPECT_FALSE(store.get(u"colour", value));
    ASSERT_TRUE(store.set(u"colour", u"red", false));
    ASSERT_TRUE(store.set(u"colour", u"blue", false));
    ASSERT_TRUE(store.get(u"colour", value));
    EXPECT_EQ(utf8(value), "red");
    EXPECT_NE(textOf(store).find("<colour><Value>red</Value><Version>XML_VERSION</Version></colour>"),
              std::string::npos);

    ASSERT_TRUE(store.deleteValue(u"colour", false));
    ASSERT_TRUE(store.get(u"colour", value));
    EXPECT_EQ(utf8(value), "blue");
    ASSERT_TRUE(store.deleteValue(u"colour", false));
    EXPECT_FALSE(store.get(u"colour", value));
    EXPECT_FALSE(store.deleteValue(u"colour", false));
    EXPECT_FALSE(store.set(u"bad label", u"x", false));
}

TEST(XmlStore, ValuesSurviveTheFile)
{
    nxrtest::ScratchDir dir;
    const std::string path = dir.file("store.xml");
    const CNXRWCharString special(u"a < b & c \u00e9\u20ac\U0001F600");
    {
        CXmlXercesBase store;
        ASSERT_TRUE(store.setPath(path.c_str())); // no file yet: a new store
        ASSERT_TRUE(store.set(u"k", special, true));
        ::chmod(path.c_str(), 0600);
        ASSERT_TRUE(store.set(u"k2", u"v2", true));
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    CXmlXercesBase reopened;
    ASSERT_TRUE(reopened.setPath(path.c_str()));
    CNXRWCharString value;
    ASSERT_TRUE(reopened.get(u"k", value));
    EXPECT_TRUE(value == special);
    ASSERT_TRUE(reopened.get(u"k2", value));
    EXPECT_EQ(utf8(value), "v2");
    // Nothing but the store itself was left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()),
              1);
}

TEST(XmlStore, BrokenOrUnwritableFilesAreLeftAlone)
{
    nxrtest::ScratchDir dir;
    const std::string broken = dir.file("broken.xml");
    nxrtest::writeFile(broken, "<TarnFile><k>");
    CXmlXercesBase store;
    EXPECT_FALSE(store.setPath(broken.c_str()));
    EXPECT_FALSE(store.isObjectValid());
    EXPECT_FALSE(store.flush());
    EXPECT_EQ(nxrtest::readFile(broken), "<TarnFile><k>");

    const std::string good = dir.file("good.xml");
    nxrtest::writeFile(good, "<TarnFile/>");
    CXmlXercesBase other;
    ASSERT_TRUE(other.setPath(good.c_str()));
    {
        os::CScopedFileFaults faults;
        faults.fail(os::FileOp::Write, ENOSPC);
        EXPECT_FALSE(other.set(u"k", u"v", true));
    }
    EXPECT_EQ(nxrtest::readFile(good), "<TarnFile/>");
    EXPECT_FALSE(nxrtest::fileExists(good + "." + std::to_string(::getpid()) + "-0.tmp"));

    CXmlXercesBase empty;
    ASSERT_TRUE(empty.setPath(u""));
    EXPECT_TRUE(empty.isObjectValid());
    EXPECT_FALSE(empty.flush());
}

TEST(XmlStore, WithoutAPathFlushWritesUninitialized)
{
    nxrtest::ScratchDir dir;
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    CXmlXercesBase store;
    const bool bFlushed = store.initXMLMemDoc() && store.flush();
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(bFlushed);
    EXPECT_NE(nxrtest::readFile(dir.file("uninitialized")).find("TarnFile"), std::string::npos);
}

TEST(XmlFunctions, OrderNumbersAreFourHexDigits)
{
    CXmlXercesVM vm;
    ASSERT_TRUE(vm.initXMLMemDoc());
    ASSERT_TRUE(vm.setFunction(u"start", 10, false));
    ASSERT_TRUE(vm.setFunction(u"last", 0xFFFF, false));
    const std::string text = textOf(vm);
    EXPECT_NE(text.find("<FUNCTION><ORDER>000A</ORDER><COMMAND>start</COMMAND><VERSION>1.0</VERSION></FUNCTION>"),
              std::string::npos);
    EXPECT_NE(text.find("<ORDER>FFFF</ORDER>"), std::string::npos);

    CNXRWCharString command, version;
    ASSERT_TRUE(vm.getFunction(10, command, version));
    EXPECT_EQ(utf8(command), "start");
    EXPECT_EQ(utf8(version), "1.0");
    EXPECT_FALSE(vm.getFunction(11, command, version));

    CXmlXercesVM decimal;
    ASSERT_TRUE(decimal.loadXMLFromMem(
        bytesOf("<TarnFile><FUNCTION><ORDER/></FUNCTION>"
                "<FUNCTION><ORDER>10</ORDER><COMMAND>decimal</COMMAND><VERSION>1.0</VERSION></FUNCTION>"
                "<FUNCTION><ORDER>000A</ORDER><COMMAND>hex</COMMAND><VERSION>1.0</VERSION></FUNCTION></TarnFile>")));
    ASSERT_TRUE(decimal.getFunction(10, command, version));
    EXPECT_EQ(utf8(command), "hex");
}

TEST(XmlFunctions, FirstFunctionWithANumberWins)
{
    CXmlXercesVM vm;
    ASSERT_TRUE(vm.initXMLMemDoc());
    ASSERT_TRUE(vm.setFunction(u"first", 3, false));
    ASSERT_TRUE(vm.setFunction(u"second", 3, false));
    CNXRWCharString command, version;
    ASSERT_TRUE(vm.getFunction(3, command, version));
    EXPECT_EQ(utf8(command), "first");
    ASSERT_TRUE(vm.deleteFunction(3));
    ASSERT_TRUE(vm.getFunction(3, command, version));
    EXPECT_EQ(utf8(command), "second");
    ASSERT_TRUE(vm.deleteFunction(3));
    EXPECT_FALSE(vm.deleteFunction(3));
}

TEST(XmlFunctions, Parameters)
{
    CXmlXercesVM vm;
    ASSERT_TRUE(vm.initXMLMemDoc());
    ASSERT_TRUE(vm.setFunction(u"run", 1, false));
    ASSERT_TRUE(vm.setParameter(u"speed", 1, u"fast", false));
    ASSERT_TRUE(vm.setParameter(u"speed", 1, u"slow", false));
    CNXRWCharString value;
    ASSERT_TRUE(vm.getParameter(1, u"speed", value));
    EXPECT_EQ(utf8(value), "fast");
    EXPECT_FALSE(vm.getParameter(1, u"colour", value));

    // No function 2: nothing is read, added or removed.
    const std::string before = textOf(vm);
    EXPECT_FALSE(vm.getParameter(2, u"speed", value));
    EXPECT_FALSE(vm.setParameter(u"speed", 2, u"x", false));
    EXPECT_FALSE(vm.deleteFunction(2));
    EXPECT_EQ(textOf(vm), before);
}
