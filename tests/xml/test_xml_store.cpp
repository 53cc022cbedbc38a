// The labelled-value store of the document wrapper (whose operations go
// through the element operations).
#include "xmlxercesvm.h"

#include "nxr_os_file.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>

using namespace nxr;
namespace fs = std::filesystem;

namespace {

std::string textOf(CXmlXercesBase& wrapper)
{
    CNXRBuffer<NXR_BYTE> out;
    if (!wrapper.flushToMemBuffer(out))
        return "(no document)";
    return std::string(reinterpret_cast<const char*>(out.getBuffer()), out.getNumElems());
}

} // namespace

// Values are added after those under the same label and found and removed
// first come, first served.
TEST(XmlStore, ValuesUnderOneLabel)
{
    CXmlXercesBase store;
    ASSERT_TRUE(store.initXMLMemDoc());
    CNXRWCharString value;
    EXPECT_FALSE(store.get(u"colour", value));
    ASSERT_TRUE(store.set(u"colour", u"red", false));
    ASSERT_TRUE(store.set(u"colour", u"blue", false));
    EXPECT_NE(textOf(store).find("<colour><Value>red</Value><Version>XML_VERSION</Version></colour>"),
              std::string::npos);
    for (const char* pszFirst : {"red", "blue"}) {
        ASSERT_TRUE(store.get(u"colour", value));
        EXPECT_EQ(value.toUtf8(), pszFirst);
        ASSERT_TRUE(store.deleteValue(u"colour", false));
    }
    EXPECT_FALSE(store.get(u"colour", value));
    EXPECT_FALSE(store.deleteValue(u"colour", false));
    EXPECT_FALSE(store.set(u"bad label", u"x", false));
}

// A store's file: created when missing, rewritten with its permissions
// kept, read back; a broken file or a failing write leaves the file alone.
TEST(XmlStore, TheStoresFile)
{
    nxrtest::ScratchDir dir;
    const std::string path = dir.file("store.xml");
    const CNXRWCharString special(u"a < b & c \u00e9\u20ac\U0001F600");
    {
        CXmlXercesBase store;
        ASSERT_TRUE(store.setPath(path.c_str())); // no file yet: a new store
        ASSERT_TRUE(store.set(u"k", special, true));
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        ASSERT_TRUE(store.set(u"k2", u"v2", true));
        // A failing write keeps the file and leaves no temporary behind.
        os::CScopedFileFaults faults;
        faults.fail(os::FileOp::Write, ENOSPC);
        EXPECT_FALSE(store.set(u"k3", u"v3", true));
        EXPECT_FALSE(store.deleteValue(u"k2", true));
        CNXRWCharString kept;
        EXPECT_TRUE(store.get(u"k2", kept));
    }
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    CXmlXercesBase reopened;
    ASSERT_TRUE(reopened.setPath(path.c_str()));
    CNXRWCharString value;
    ASSERT_TRUE(reopened.get(u"k", value));
    EXPECT_TRUE(value == special);
    ASSERT_TRUE(reopened.get(u"k2", value));
    EXPECT_EQ(value.toUtf8(), "v2");
    EXPECT_FALSE(reopened.get(u"k3", value));

    // A broken file is refused and never replaced by an empty store.
    const std::string broken = dir.file("broken.xml");
    nxrtest::writeFile(broken, "<TarnFile><k>");
    CXmlXercesBase store;
    EXPECT_FALSE(store.setPath(broken.c_str()));
    EXPECT_FALSE(store.isObjectValid());
    EXPECT_FALSE(store.flush());
    EXPECT_EQ(nxrtest::readFile(broken), "<TarnFile><k>");

    // An empty path gives a new store that has nowhere to go; a store never
    // given a path writes "uninitialized" in the working folder.
    CXmlXercesBase empty, unnamed;
    ASSERT_TRUE(empty.setPath(u""));
    EXPECT_TRUE(empty.isObjectValid());
    EXPECT_FALSE(empty.flush());
    const auto cwd = fs::current_path();
    fs::current_path(dir.path());
    const bool bFlushed = unnamed.initXMLMemDoc() && unnamed.flush();
    fs::current_path(cwd);
    ASSERT_TRUE(bFlushed);
    EXPECT_NE(nxrtest::readFile(dir.file("uninitialized")).find("TarnFile"), std::string::npos);
}

// A refused call leaves the store as it was: a second setPath keeps the
// first path, and a value that cannot be written does not stay behind to
// fail every later write.
TEST(XmlStore, RefusedCallsChangeNothing)
{
    nxrtest::ScratchDir dir;
    const std::string first = dir.file("first.xml"), other = dir.file("other.xml");
    nxrtest::writeFile(other, "<TarnFile/>");
    CXmlXercesBase store;
    ASSERT_TRUE(store.setPath(first.c_str()));
    EXPECT_FALSE(store.setPath(other.c_str()));
    EXPECT_FALSE(store.set(u"ctl", u"\x01", true));
    ASSERT_TRUE(store.set(u"k", u"v", true));
    EXPECT_EQ(nxrtest::readFile(other), "<TarnFile/>");
    CXmlXercesBase reopened;
    CNXRWCharString value;
    ASSERT_TRUE(reopened.setPath(first.c_str()));
    EXPECT_TRUE(reopened.get(u"k", value));
    EXPECT_FALSE(reopened.get(u"ctl", value));
}

