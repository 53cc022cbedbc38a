// Hostile documents against the XML check on the encryption road (the
// streaming scan): what the check's own tests do not cover yet. External
// entities and DTDs that name a network address or a FIFO, where any attempt
// to read would show (a connection arrives, the FIFO gets a reader) or hang;
// and documents built to cost time or memory (entity chains, attribute
// and namespace floods, bombs), each checked in a child process under
// resource limits, so that a check that ran away would be stopped by the
// kernel and show as a killed child rather than a slow test.
#include "xmlxercesvm.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace nxr;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Under AddressSanitizer every entity expansion costs the parser a fresh
// reader whose buffers the sanitizer poisons (about half a millisecond each),
// so there the documents that expand entities tens of thousands of times are
// left to the plain build.
constexpr bool kManyExpansions = !kAddressSanitizer;

bool scans(const std::string& document)
{
    CXmlXercesVM vm;
    return vm.checkXMLInMem(CNXRBuffer<NXR_BYTE>(reinterpret_cast<const NXR_BYTE*>(document.data()),
                                                 static_cast<uint32_t>(document.size()), 0));
}

std::string repeat(const std::string& s, size_t n)
{
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

// How a check run in a child process ended.
struct ChildVerdict {
    bool bFinished = false; // exited on its own (not killed by a limit)
    bool bAccepted = false;
    std::string how;
};

// Forks, applies the limits and checks the document in the child. The CPU
// limit stops a check whose work is not bounded; the address-space limit (not
// under AddressSanitizer, whose shadow memory needs far more) one whose
// memory is not. onWait, when given, runs in the parent instead of a plain
// wait and returns false to have the child killed (it must reap it).
ChildVerdict checkInChild(const std::string& document, rlim_t cpuSeconds = 20, rlim_t addressSpaceMb = 1024)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const struct rlimit cpu = {cpuSeconds, cpuSeconds};
        ::setrlimit(RLIMIT_CPU, &cpu);
        if (!kAddressSanitizer) {
            const rlim_t bytes = addressSpaceMb << 20;
            const struct rlimit as = {bytes, bytes};
            ::setrlimit(RLIMIT_AS, &as);
        }
        ::_exit(scans(document) ? 0 : 1);
    }
    ChildVerdict verdict;
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        verdict.how = "no child";
        return verdict;
    }
    verdict.bFinished = WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1);
    verdict.bAccepted = verdict.bFinished && WEXITSTATUS(status) == 0;
    verdict.how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                      : "exit status " + std::to_string(WEXITSTATUS(status));
    return verdict;
}

// Runs the check on the document in a child, while the parent watches fd
// for a reader's or a client's arrival (POLLIN on a listening socket) or
// asks probe() whether the resource was opened. Returns whether the child
// finished without touching it; a child caught touching it is killed.
struct Watch {
    int fd = -1;                   // becomes readable when the resource is used
    bool (*probe)(const std::string&) = nullptr; // or asked between waits
    std::string probeArg;
};

bool checkWithoutTouching(const std::string& document, const Watch& watch, bool& bAccepted)
{
    int done[2];
    if (::pipe(done) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(done[0]);
        const bool bScans = scans(document);
        ::_exit(bScans ? 0 : 1);
    }
    ::close(done[1]);
    bool bTouched = false;
    for (;;) {
        struct pollfd fds[2] = {{done[0], POLLIN, 0}, {watch.fd, POLLIN, 0}};
        // Without a probe the wait needs no timeout: one of the two happens.
        const int n = ::poll(fds, watch.fd >= 0 ? 2 : 1, watch.probe ? 50 : -1);
        if (watch.probe && watch.probe(watch.probeArg)) {
            bTouched = true;
            break;
        }
        if (n > 0 && watch.fd >= 0 && (fds[1].revents & POLLIN)) {
            bTouched = true;
            break;
        }
        if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP)))
            break;
    }
    ::close(done[0]);
    if (bTouched)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    bAccepted = !bTouched && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return !bTouched && WIFEXITED(status);
}

// A FIFO has a reader exactly when a writer can open it without waiting.
bool fifoHasReader(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

TEST(HostileXml, NetworkEntitiesAndDtdsAreNeverFetched)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";

    const std::vector<std::pair<std::string, bool>> documents = {
        // A used external entity cannot be had: refused.
        {"<!DOCTYPE d [<!ENTITY e SYSTEM \"" + url + "\">]><d>&e;</d>", false},
        {"<!DOCTYPE d [<!ENTITY % p SYSTEM \"" + url + "\"> %p;]><d/>", false},
        {"<!DOCTYPE d [<!ENTITY e PUBLIC \"-//X//Y\" \"" + url + "\">]><d a=\"1\">&e;</d>", false},
        // An external DTD is skipped: accepted without reading it.
        {"<!DOCTYPE d SYSTEM \"" + url + "\"><d/>", true},
        {"<?xml version=\"1.0\"?><!DOCTYPE d PUBLIC \"-//X//DTD//EN\" \"" + url + "\"><d/>", true},
        // Schema and XInclude hints are only attributes.
        {"<d xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"urn:x " + url +
             "\" xsi:noNamespaceSchemaLocation=\"" + url + "\"/>",
         true},
        {"<d xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + url + "\"/></d>", true},
    };
    for (const auto& [document, bExpected] : documents) {
        SCOPED_TRACE(document);
        bool bAccepted = false;
        EXPECT_TRUE(checkWithoutTouching(document, {listener, nullptr, ""}, bAccepted));
        EXPECT_EQ(bAccepted, bExpected);
    }
    ::close(listener);
}

TEST(HostileXml, FifoEntitiesAndDtdsAreNeverOpened)
{
    nxrtest::ScratchDir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, bool>> documents = {
        {"<!DOCTYPE d [<!ENTITY e SYSTEM \"" + fifo + "\">]><d>&e;</d>", false},
        {"<!DOCTYPE d [<!ENTITY e SYSTEM \"file://" + fifo + "\">]><d>&e;</d>", false},
        {"<!DOCTYPE d [<!ENTITY % p SYSTEM \"" + fifo + "\"> %p;]><d/>", false},
        {"<!DOCTYPE d SYSTEM \"" + fifo + "\"><d/>", true},
    };
    for (const auto& [document, bExpected] : documents) {
        SCOPED_TRACE(document);
        bool bAccepted = false;
        EXPECT_TRUE(checkWithoutTouching(document, {-1, fifoHasReader, fifo}, bAccepted));
        EXPECT_EQ(bAccepted, bExpected);
    }
}

// Bombs of both shapes, now under a memory limit as well: refused by the
// check, not by the kernel.
TEST(HostileXml, EntityBombsAreRefusedWithinLimits)
{
    std::string billion = "<!DOCTYPE b [<!ENTITY l0 \"lollollollollol\">";
    for (int i = 1; i <= 12; ++i)
        billion += "<!ENTITY l" + std::to_string(i) + " \"" + repeat("&l" + std::to_string(i - 1) + ";", 12) + "\">";
    billion += "]>";
    const std::string quadratic =
        "<!DOCTYPE q [<!ENTITY x \"" + std::string(200000, 'x') + "\">]><q>" + repeat("&x;", 20000) + "</q>";
    std::vector<std::string> documents = {quadratic, billion + "<b>&l12;</b>"};
    if (kManyExpansions)
        documents.push_back(billion + "<b a=\"&l12;\"/>");
    for (const std::string& document : documents) {
        const ChildVerdict verdict = checkInChild(document);
        EXPECT_TRUE(verdict.bFinished) << verdict.how;
        EXPECT_FALSE(verdict.bAccepted);
    }
}

// A chain of entities each naming the next, thousands deep: the expansion
// is a stack of readers, which must not run the process out of stack or
// time.
TEST(HostileXml, DeepEntityChainsStayWithinLimits)
{
    for (const int depth : {2000, kManyExpansions ? 20000 : 4000}) {
        std::string document = "<!DOCTYPE d [<!ENTITY e0 \"<x/>\">";
        for (int i = 1; i <= depth; ++i)
            document += "<!ENTITY e" + std::to_string(i) + " \"&e" + std::to_string(i - 1) + ";\">";
        document += "]><d>&e" + std::to_string(depth) + ";</d>";
        SCOPED_TRACE(depth);
        const ChildVerdict verdict = checkInChild(document);
        EXPECT_TRUE(verdict.bFinished) << verdict.how;
    }
}

// One element with a great many attributes, or namespace declarations:
// duplicates must still be found, and the work stay bounded. Attributes
// that share a local name under many prefixes cost the library the square of
// their number, so namespace declarations in scope are bounded, however they
// are spread over the elements; documents that declare many namespaces, one
// or a few at a time, still pass.
TEST(HostileXml, AttributeAndNamespaceFloodsStayWithinLimits)
{
    const size_t count = 100000;
    const size_t limit = NXR_XML_MAX_NAMESPACES_IN_SCOPE;
    const auto declarations = [](size_t from, size_t to) {
        std::string out;
        for (size_t i = from; i < to; ++i)
            out += " xmlns:p" + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
        return out;
    };
    const auto prefixed = [](size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += " p" + std::to_string(i) + ":a=\"" + std::to_string(i) + "\"";
        return out;
    };
    std::string attributes;
    for (size_t i = 0; i < count; ++i)
        attributes += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    // The declarations spread over nested elements, 250 to a level.
    std::string spread;
    for (size_t level = 0; level < count / 250; ++level)
        spread += "<e" + declarations(level * 250, level * 250 + 250) + ">";
    spread += "<x" + prefixed(count) + "/>";
    for (size_t level = 0; level < count / 250; ++level)
        spread += "</e>";

    const std::vector<std::pair<std::string, bool>> documents = {
        {"<d" + attributes + "/>", true},
        {"<d" + attributes + " a7=\"again\"/>", false},
        {"<d" + declarations(0, count) + prefixed(count) + "/>", false},
        {"<d" + declarations(0, count) + "/>", false},
        {spread, false},
        {"<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + std::string("<d") + declarations(0, count) + "/>", false},
        // At the limit: every element may use all the prefixes in scope.
        {"<d" + declarations(0, limit) + ">" + repeat("<e" + prefixed(limit) + "/>", 2000) + "</d>", true},
        // Many declarations in the document, few in scope at a time.
        {"<d>" + repeat("<e xmlns=\"urn:e\" xmlns:q=\"urn:q\" q:a=\"1\"/>", 50000) + "</d>", true},
    };
    for (const auto& [document, bExpected] : documents) {
        SCOPED_TRACE(document.substr(0, 60));
        const ChildVerdict verdict = checkInChild(document);
        EXPECT_TRUE(verdict.bFinished) << verdict.how;
        EXPECT_EQ(verdict.bAccepted, bExpected);
    }
}

// UTF-7 with every character of text in its base64 form: "xmlns" appears
// in none of the byte patterns the count looks for.
std::string utf7Hidden(const std::string& text)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    for (const char c : text) {
        bytes.push_back('\0');
        bytes.push_back(c);
    }
    std::string out = "+";
    uint32_t bits = 0;
    int count = 0;
    for (const char b : bytes) {
        bits = (bits << 8) | static_cast<unsigned char>(b);
        count += 8;
        while (count >= 6) {
            count -= 6;
            out.push_back(kAlphabet[(bits >> count) & 0x3F]);
        }
    }
    if (count > 0)
        out.push_back(kAlphabet[(bits << (6 - count)) & 0x3F]);
    return out + "-";
}

std::string utf16le(const std::string& text)
{
    std::string wide = "\xFF\xFE";
    for (const char c : text) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return wide;
}

// The count of declarations looks for the bytes of "xmlns" in the encodings
// that spell it plainly; a document in any other encoding is bounded by the
// full pass before it is read with namespaces.
TEST(HostileXml, NamespaceFloodsInOtherEncodingsAreBoundedToo)
{
    const auto attributes = [](size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += " xmlns:p" + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
        for (size_t i = 0; i < n; ++i)
            out += " p" + std::to_string(i) + ":a=\"1\"";
        return out;
    };
    const std::string decl = "<?xml version=\"1.0\" encoding=\"";
    for (const size_t n : {size_t(3), size_t(20000)}) {
        const bool bExpected = n < NXR_XML_MAX_NAMESPACES_IN_SCOPE;
        const std::vector<std::string> documents = {
            utf16le("<d" + attributes(n) + "/>"),
            decl + "Shift_JIS\"?><d" + attributes(n) + "/>",
            decl + "UTF-7\"?><d" + utf7Hidden(attributes(n)) + "/>",
        };
        for (const auto& document : documents) {
            SCOPED_TRACE(document.substr(0, 50));
            const ChildVerdict verdict = checkInChild(document);
            EXPECT_TRUE(verdict.bFinished) << verdict.how;
            EXPECT_EQ(verdict.bAccepted, bExpected);
        }
    }
}
