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
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace nxr;
using nxrtest::repeat;

namespace {

// Under AddressSanitizer every entity expansion costs the parser a fresh
// reader whose buffers the sanitizer poisons (about half a millisecond each),
// so there the documents that expand entities tens of thousands of times are
// left to the plain build; and its shadow memory needs far more address
// space than the limit below allows.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Where a check must not reach: fd becomes readable when it is used (a
// client arrives at a listening socket), or the FIFO at fifo gets a reader
// (a writer can then open it without waiting).
struct Watch {
    int fd = -1;
    std::string fifo;
    bool touched() const
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (fd >= 0)
            return ::poll(&p, 1, 0) > 0;
        const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        return w >= 0 && ::close(w) == 0;
    }
};

// Checks the document in a child under a CPU limit (which stops a check
// whose work is not bounded) and an address-space limit (one whose memory
// is not). With a watch, the parent polls it while the child runs and
// kills a child caught touching it. Returns whether the check accepted the
// document, or nothing, with the reason in how, when the child did not
// finish on its own.
std::optional<bool> checkInChild(const std::string& document, std::string& how, const Watch* pWatch = nullptr)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const struct rlimit cpu = {20, 20}, as = {rlim_t(1) << 30, rlim_t(1) << 30};
        ::setrlimit(RLIMIT_CPU, &cpu);
        if (!kAddressSanitizer)
            ::setrlimit(RLIMIT_AS, &as);
        CXmlXercesVM vm;
        ::_exit(vm.checkXMLInMem(CNXRBuffer<NXR_BYTE>(reinterpret_cast<const NXR_BYTE*>(document.data()),
                                                      uint32_t(document.size()), 0))
                    ? 0
                    : 1);
    }
    int status = 0;
    if (pid < 0) {
        how = "no child";
        return std::nullopt;
    }
    for (; ::waitpid(pid, &status, pWatch ? WNOHANG : 0) == 0; ::usleep(20000)) {
        if (pWatch->touched()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            how = "touched the watched resource";
            return std::nullopt;
        }
    }
    how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                              : "exit status " + std::to_string(WEXITSTATUS(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
        return std::nullopt;
    return WEXITSTATUS(status) == 0;
}

// Runs each document and expects it to finish on its own with the verdict
// given (any verdict where none is given).
void expectVerdicts(const std::vector<std::pair<std::string, std::optional<bool>>>& documents,
                    const Watch* pWatch = nullptr)
{
    for (const auto& [document, expected] : documents) {
        SCOPED_TRACE(document.substr(0, 80));
        std::string how;
        const std::optional<bool> verdict = checkInChild(document, how, pWatch);
        ASSERT_TRUE(verdict.has_value()) << how;
        if (expected) {
            EXPECT_EQ(*verdict, *expected);
        }
    }
}

} // namespace

// A used external entity cannot be had: refused. An external DTD is
// skipped, and schema and XInclude hints are only attributes: accepted. In
// no case is the resource opened.
TEST(HostileXml, NetworkAndFifoEntitiesAndDtdsAreNeverOpened)
{
    Watch network;
    network.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(network.fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(network.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(network.fd, 4), 0);
    ASSERT_EQ(::getsockname(network.fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";
    expectVerdicts({{"<!DOCTYPE d [<!ENTITY e SYSTEM \"" + url + "\">]><d>&e;</d>", false},
                    {"<!DOCTYPE d [<!ENTITY % p SYSTEM \"" + url + "\"> %p;]><d/>", false},
                    {"<!DOCTYPE d [<!ENTITY e PUBLIC \"-//X//Y\" \"" + url + "\">]><d a=\"1\">&e;</d>", false},
                    {"<!DOCTYPE d SYSTEM \"" + url + "\"><d/>", true},
                    {"<?xml version=\"1.0\"?><!DOCTYPE d PUBLIC \"-//X//DTD//EN\" \"" + url + "\"><d/>", true},
                    {"<d xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"urn:x " +
                         url + "\" xsi:noNamespaceSchemaLocation=\"" + url + "\"/>",
                     true},
                    {"<d xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + url + "\"/></d>", true}},
                   &network);
    ::close(network.fd);

    nxrtest::ScratchDir dir;
    Watch fifo;
    fifo.fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.fifo.c_str(), 0600), 0);
    expectVerdicts({{"<!DOCTYPE d [<!ENTITY e SYSTEM \"" + fifo.fifo + "\">]><d>&e;</d>", false},
                    {"<!DOCTYPE d [<!ENTITY e SYSTEM \"file://" + fifo.fifo + "\">]><d>&e;</d>", false},
                    {"<!DOCTYPE d [<!ENTITY % p SYSTEM \"" + fifo.fifo + "\"> %p;]><d/>", false},
                    {"<!DOCTYPE d SYSTEM \"" + fifo.fifo + "\"><d/>", true}},
                   &fifo);
}

// Bombs of both shapes are refused by the check, not by the kernel; a chain
// of entities each naming the next, thousands deep, is a stack of readers
// that must not run the process out of stack or time.
TEST(HostileXml, EntityBombsAndDeepChainsStayWithinLimits)
{
    std::string billion = "<!DOCTYPE b [<!ENTITY l0 \"lollollollollol\">";
    for (int i = 1; i <= 12; ++i)
        billion += "<!ENTITY l" + std::to_string(i) + " \"" + repeat("&l" + std::to_string(i - 1) + ";", 12) + "\">";
    billion += "]>";
    std::vector<std::pair<std::string, std::optional<bool>>> documents = {
        {"<!DOCTYPE q [<!ENTITY x \"" + std::string(200000, 'x') + "\">]><q>" + repeat("&x;", 20000) + "</q>", false},
        {billion + "<b>&l12;</b>", false}};
    if (!kAddressSanitizer)
        documents.push_back({billion + "<b a=\"&l12;\"/>", false});
    for (const int depth : {2000, kAddressSanitizer ? 4000 : 20000}) {
        std::string chain = "<!DOCTYPE d [<!ENTITY e0 \"<x/>\">";
        for (int i = 1; i <= depth; ++i)
            chain += "<!ENTITY e" + std::to_string(i) + " \"&e" + std::to_string(i - 1) + ";\">";
        documents.push_back({chain + "]><d>&e" + std::to_string(depth) + ";</d>", std::nullopt});
    }
    expectVerdicts(documents);
}

namespace {

std::string declarations(size_t from, size_t to)
{
    std::string out;
    for (size_t i = from; i < to; ++i)
        out += " xmlns:p" + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
    return out;
}

std::string prefixed(size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += " p" + std::to_string(i) + ":a=\"" + std::to_string(i) + "\"";
    return out;
}

// UTF-7 with every character of text in its base64 form: "xmlns" appears
// in none of the byte patterns the declaration count looks for.
std::string utf7Hidden(const std::string& text)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out = "+";
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        bits = (bits << 16) | static_cast<unsigned char>(c); // as UTF-16BE
        for (count += 16; count >= 6;)
            out.push_back(kAlphabet[(bits >> (count -= 6)) & 0x3F]);
    }
    if (count > 0)
        out.push_back(kAlphabet[(bits << (6 - count)) & 0x3F]);
    return out + "-";
}

} // namespace

// One element with a great many attributes, or namespace declarations:
// duplicates must still be found, and the work stay bounded. Attributes
// that share a local name under many prefixes cost the library the square of
// their number, so namespace declarations in scope are bounded, however they
// are spread over the elements and in whatever encoding (the count looks for
// the bytes of "xmlns" in the encodings that spell it plainly; any other is
// bounded by a full pass before it is read with namespaces); documents that
// declare many namespaces, one or a few at a time, still pass.
TEST(HostileXml, AttributeAndNamespaceFloodsStayWithinLimits)
{
    const size_t count = 100000, flood = 5000, limit = NXR_XML_MAX_NAMESPACES_IN_SCOPE;
    std::string attributes;
    for (size_t i = 0; i < NXR_XML_MAX_ATTRIBUTES; ++i)
        attributes += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    // The declarations spread over nested elements, 200 to a level.
    std::string spread;
    for (size_t level = 0; level < flood / 200; ++level)
        spread += "<e" + declarations(level * 200, level * 200 + 200) + ">";
    spread += "<x" + prefixed(flood) + "/>" + repeat("</e>", flood / 200);

    std::vector<std::pair<std::string, std::optional<bool>>> documents = {
        {"<d" + attributes + "/>", true},
        {"<d" + attributes + " a7=\"again\"/>", false},
        {"<d" + attributes + " b=\"1\"/>", false}, // more attributes than the limit
        {"<d" + declarations(0, flood) + prefixed(flood) + "/>", false},
        {"<d" + declarations(0, count) + prefixed(count) + "/>", false},
        {"<d" + declarations(0, limit + 1) + "/>", false},
        {spread, false},
        {"<?xml version=\"1.0\" encoding=\"UTF-16\"?><d" + declarations(0, flood) + "/>", false},
        // At the limit: every element may use all the prefixes in scope.
        {"<d" + declarations(0, limit) + ">" + repeat("<e" + prefixed(limit) + "/>", 2000) + "</d>", true},
        // Many declarations in the document, few in scope at a time.
        {"<d>" + repeat("<e xmlns=\"urn:e\" xmlns:q=\"urn:q\" q:a=\"1\"/>", 50000) + "</d>", true},
    };
    const std::string decl = "<?xml version=\"1.0\" encoding=\"";
    for (const size_t n : {size_t(3), count}) {
        const std::string text = declarations(0, n) + prefixed(n);
        std::string wide = "\xFF\xFE";
        for (const char c : "<d" + text + "/>")
            wide += std::string{c, '\0'};
        for (const std::string& document :
             {wide, decl + "Shift_JIS\"?><d" + text + "/>", decl + "UTF-7\"?><d" + utf7Hidden(text) + "/>"})
            documents.push_back({document, n < limit});
    }
    expectVerdicts(documents);
}
