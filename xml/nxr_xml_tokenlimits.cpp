#include "nxr_xml_tokenlimits.h"

#include <xercesc/sax/SAXException.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <string.h>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace xercesc;

namespace nxr {

namespace {

constexpr uint8_t kNonAscii = 0x80; // a unit that is no ASCII character

bool isSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// What ends a name: white space and the markup characters around names.
constexpr std::array<bool, 256> kEndsName = [] {
    std::array<bool, 256> table{};
    for (const char c : std::string_view(" \t\r\n<>&%;\"'=/()|,[]?*+!"))
        table[static_cast<uint8_t>(c)] = true;
    return table;
}();

// EBCDIC (code page 037 and its kin) to ASCII, for the characters the lexer
// looks at; every other byte is kNonAscii. NEL counts as a line end, and the
// brackets of code page 1047 as brackets.
constexpr std::array<uint8_t, 256> kEbcdic = [] {
    std::array<uint8_t, 256> table{};
    table.fill(kNonAscii);
    constexpr std::string_view kMarkup = " \t\n\n\r<>!?-\"'=/&;%()|,*+[][]#._:";
    constexpr uint8_t kCodes[] = {0x40, 0x05, 0x25, 0x15, 0x0D, 0x4C, 0x6E, 0x5A, 0x6F, 0x60, 0x7F,
                                  0x7D, 0x7E, 0x61, 0x50, 0x5E, 0x6C, 0x4D, 0x5D, 0x4F, 0x6B, 0x5C,
                                  0x4E, 0xBA, 0xBB, 0xAD, 0xBD, 0x7B, 0x4B, 0x6D, 0x7A};
    static_assert(sizeof(kCodes) == kMarkup.size());
    for (size_t i = 0; i < kMarkup.size(); ++i)
        table[kCodes[i]] = static_cast<uint8_t>(kMarkup[i]);
    for (int i = 0; i < 9; ++i) {
        table[0x81 + i] = static_cast<uint8_t>('a' + i), table[0x91 + i] = static_cast<uint8_t>('j' + i);
        table[0xC1 + i] = static_cast<uint8_t>('A' + i), table[0xD1 + i] = static_cast<uint8_t>('J' + i);
    }
    for (int i = 0; i < 8; ++i)
        table[0xA2 + i] = static_cast<uint8_t>('s' + i), table[0xE2 + i] = static_cast<uint8_t>('S' + i);
    for (int i = 0; i < 10; ++i)
        table[0xF0 + i] = static_cast<uint8_t>('0' + i);
    return table;
}();

// The first of p..pEnd that is one of the four bytes (which may repeat), or
// pEnd: sixteen bytes at a time where the processor allows.
const uint8_t* findAny(const uint8_t* p, const uint8_t* pEnd, uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a)), vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c)), vd = _mm_set1_epi8(static_cast<char>(d));
    for (; pEnd - p >= 16; p += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                                        _mm_or_si128(_mm_cmpeq_epi8(x, vc), _mm_cmpeq_epi8(x, vd))));
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; p != pEnd; ++p)
        if (*p == a || *p == b || *p == c || *p == d)
            return p;
    return pEnd;
}

// The first '<' in p..pEnd followed there by '!' or '?', or pEnd.
const uint8_t* findMarkup(const uint8_t* p, const uint8_t* pEnd)
{
#if defined(__SSE2__)
    const __m128i open = _mm_set1_epi8('<'), bang = _mm_set1_epi8('!'), question = _mm_set1_epi8('?');
    for (; pEnd - p >= 17; p += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const int mask = _mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(x, open), _mm_or_si128(_mm_cmpeq_epi8(y, bang), _mm_cmpeq_epi8(y, question))));
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; pEnd - p >= 2; ++p)
        if (p[0] == '<' && (p[1] == '!' || p[1] == '?'))
            return p;
    return pEnd;
}

// Where the first cEnd cEnd '>' in p..pEnd begins, or null.
const uint8_t* findCloser(const uint8_t* p, const uint8_t* pEnd, uint8_t cEnd)
{
    for (; pEnd - p >= 3; ++p) {
        p = static_cast<const uint8_t*>(std::memchr(p, cEnd, static_cast<size_t>(pEnd - p - 2)));
        if (p == nullptr)
            return nullptr;
        if (p[1] == cEnd && p[2] == '>')
            return p;
    }
    return nullptr;
}

// Encodings that switch meaning by state or spell ASCII otherwise, whose
// markup a byte lexer cannot follow.
bool isUnfollowable(std::string_view encoding)
{
    std::string upper(encoding);
    for (char& c : upper)
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    static constexpr std::string_view kPrefixes[] = {"ISO-2022", "ISO2022", "CSISO2022", "UTF-7", "UTF7",
                                                     "HZ", "BOCU", "SCSU", "IMAP"};
    return std::any_of(std::begin(kPrefixes), std::end(kPrefixes),
                       [&](std::string_view prefix) { return upper.starts_with(prefix); });
}

// The value of the encoding pseudo-attribute in the text of an XML
// declaration; empty when there is none.
std::string_view declaredEncoding(std::string_view declaration)
{
    const size_t at = declaration.find("encoding");
    if (at == std::string_view::npos)
        return {};
    std::string_view rest = declaration.substr(at + 8);
    while (!rest.empty() && (isSpace(static_cast<uint8_t>(rest[0])) || rest[0] == '='))
        rest.remove_prefix(1);
    if (rest.empty() || (rest[0] != '"' && rest[0] != '\''))
        return {};
    const size_t end = rest.find(rest[0], 1);
    return end == std::string_view::npos ? std::string_view() : rest.substr(1, end - 1);
}

} // namespace

CNXRTokenLimits::CNXRTokenLimits() : m_segment(static_cast<uint32_t>(NXR_XML_MAX_NAME_BYTES + kPiece))
{
    if (!m_segment.isValid())
        NXR_THROW(CMemAllocException, u"m_segment");
    m_pSegment = m_segment.getBuffer();
}

void CNXRTokenLimits::refuse(NxrXmlLimit limit, uint64_t ullAmount)
{
    throw SAXException(nxrXmlLimitText(limit, ullAmount).c_str());
}

// Adds units to a length held in units; refuses once its bytes pass the limit.
void CNXRTokenLimits::grow(uint64_t& ullLength, uint64_t ullUnits, uint64_t ullLimit, NxrXmlLimit limit)
{
    ullLength += ullUnits;
    if (ullLength * m_ulUnit > ullLimit)
        refuse(limit, ullLimit);
}

// How the document spells its characters, from its first four bytes, as the
// parser tells it: UCS-4 and UTF-16 (with or without a byte-order mark, either
// byte order), EBCDIC, and otherwise an ASCII-compatible set.
uint32_t CNXRTokenLimits::start()
{
    const NxrMarkupUnit unit = nxrSenseMarkup(std::string_view(reinterpret_cast<const char*>(m_partial), m_ulPartial));
    m_state = State::Text;
    if (unit.spelling == NxrMarkupUnit::Ebcdic)
        m_mode = Mode::Ebcdic;
    if (unit.ulLength == 1)
        return 0;
    m_mode = Mode::Wide;
    m_ulUnit = unit.ulLength;
    m_ulAt = unit.ulAt;
    return unit.ulMark; // a byte-order mark is no character
}

void CNXRTokenLimits::feed(const uint8_t* p, size_t n)
{
    m_ullTotal += n;
    if (m_state == State::Start) {
        while (m_ulPartial < 4 && n != 0)
            m_partial[m_ulPartial++] = *p++, --n;
        if (m_ulPartial < 4)
            return;
        // The first characters, after any byte-order mark, are measured
        // first.
        const uint32_t ulSkip = start();
        uint8_t head[4] = {};
        const uint32_t ulHead = m_ulPartial - ulSkip;
        std::memcpy(head, m_partial + ulSkip, ulHead);
        m_ulPartial = 0;
        m_ullTotal -= ulHead;
        feed(head, ulHead);
    }
    if (m_mode == Mode::Ebcdic) {
        for (const uint8_t* const pEnd = p + n; p != pEnd; ++p)
            step(kEbcdic[*p]);
    } else if (m_mode == Mode::Wide) {
        for (; n != 0; ++p, --n) {
            m_partial[m_ulPartial++] = *p;
            if (m_ulPartial < m_ulUnit)
                continue;
            m_ulPartial = 0;
            uint8_t c = m_partial[m_ulAt] < 0x80 ? m_partial[m_ulAt] : kNonAscii;
            for (uint32_t i = 0; i < m_ulUnit; ++i)
                if (i != m_ulAt && m_partial[i] != 0)
                    c = kNonAscii;
            step(c);
        }
    } else {
        while (n != 0 && m_mode == Mode::Ascii) {
            const size_t ulUsed = m_bExact ? exactPart(p, n, true) : fastPart(p, n);
            p += ulUsed;
            n -= ulUsed;
        }
    }
    if (m_mode == Mode::Document && m_ullTotal > NXR_XML_MAX_TOKEN_BYTES)
        refuse(NxrXmlLimit::Document, NXR_XML_MAX_TOKEN_BYTES);
}

// ASCII-compatible bytes, taken quickly: between two '<' of a document there
// is a start or end tag (whose values hold no '<') and text, so when no two
// '<' are further apart than the longest name, nothing in between can pass a
// limit. Comments, CDATA sections and PIs may hold '<': those of a piece are
// measured by their closing characters, and any other "<!" or "<?" is
// stepped through. The bytes since the last '<' are kept, to be stepped
// through when they grow longer than a name may be. Returns the bytes used;
// the exact lexer takes over when m_bExact is set.
size_t CNXRTokenLimits::fastPart(const uint8_t* p, size_t n)
{
    n = std::min<size_t>(n, kPiece);
    if (m_bLastOpen) {
        m_bLastOpen = false;
        if (*p == '!' || *p == '?') {
            // The '<' ended the bytes before: the markup starts there.
            m_bExact = true;
            m_state = State::Open;
            m_ulSegment = 0;
            return 0;
        }
    }
    const uint8_t* const pBegin = p;
    const uint8_t* const pEnd = p + n;
    const uint8_t* const pMarkup = findMarkup(p, pEnd);
    const size_t ulPlain = static_cast<size_t>(pMarkup - p);
    const void* pFirst = std::memchr(p, '<', ulPlain);
    if (m_ulSegment + (pFirst ? static_cast<size_t>(static_cast<const uint8_t*>(pFirst) - p) : ulPlain) >
        NXR_XML_MAX_NAME_BYTES)
        return replay();
    if (pFirst != nullptr) {
        m_bMarkupSeen = true;
        const uint8_t* pLast = static_cast<const uint8_t*>(::memrchr(p, '<', ulPlain));
        m_ulSegment = 0;
        p = pLast;
    }
    std::memcpy(m_pSegment + m_ulSegment, p, static_cast<size_t>(pMarkup - p));
    m_ulSegment += static_cast<size_t>(pMarkup - p);
    if (pMarkup == pEnd) {
        m_bLastOpen = ulPlain != 0 && pEnd[-1] == '<';
        return ulPlain;
    }
    // A comment or CDATA section that ends within the piece is shorter than
    // any limit; anything else is stepped through.
    m_ulSegment = 0;
    const std::string_view rest(reinterpret_cast<const char*>(pMarkup), static_cast<size_t>(pEnd - pMarkup));
    for (const auto& [key, cEnd] : {std::pair{std::string_view("<!--"), uint8_t('-')},
                                    std::pair{std::string_view("<![CDATA["), uint8_t(']')}}) {
        if (!rest.starts_with(key))
            continue;
        if (const uint8_t* pClose = findCloser(pMarkup + key.size(), pEnd, cEnd))
            return static_cast<size_t>(pClose + 3 - pBegin);
        break;
    }
    m_bExact = true;
    m_state = State::Text;
    return ulPlain;
}

// The bytes kept since the last '<' grew long: they are stepped through from
// there, and the exact lexer goes on.
size_t CNXRTokenLimits::replay()
{
    m_bExact = true;
    m_state = State::Text;
    for (size_t ulDone = 0; ulDone < m_ulSegment;)
        ulDone += exactPart(m_pSegment + ulDone, m_ulSegment - ulDone, false);
    nxrWipe(m_pSegment, m_ulSegment);
    m_ulSegment = 0;
    return 0;
}

// The exact lexer over ASCII-compatible bytes: long stretches are searched,
// markup is stepped. Hands back to fastPart (when bMayLeave) at a '<' of the
// text that starts a tag. Returns the bytes used.
size_t CNXRTokenLimits::exactPart(const uint8_t* p, size_t n, bool bMayLeave)
{
    const uint8_t* const pStart = p;
    while (n != 0 && m_mode == Mode::Ascii) {
        size_t ulUsed = 0;
        switch (m_state) {
        case State::Text:
            ulUsed = skipText(p, n);
            if (bMayLeave && ulUsed + 1 < n && p[ulUsed] == '<' && p[ulUsed + 1] != '!' && p[ulUsed + 1] != '?') {
                m_bExact = false;
                m_ulSegment = 0;
                return static_cast<size_t>(p + ulUsed - pStart);
            }
            break;
        case State::Tag: ulUsed = m_bDoctype || m_bDeclaration ? 0 : skipTag(p, n); break;
        case State::Literal: ulUsed = skipUntil(p, n, m_cQuote); break;
        case State::Comment: ulUsed = m_ulMatched == 0 ? skipUntil(p, n, '-') : 0; break;
        case State::CData: ulUsed = m_ulMatched == 0 ? skipUntil(p, n, ']') : 0; break;
        case State::Pi: ulUsed = m_ulMatched == 0 && !m_bPiTarget && !m_bCaptureDecl ? skipUntil(p, n, '?') : 0; break;
        default: break;
        }
        p += ulUsed;
        n -= ulUsed;
        if (n != 0) {
            step(*p < 0x80 ? *p : kNonAscii);
            ++p;
            --n;
        }
    }
    return static_cast<size_t>(p - pStart);
}

// Text up to the next '<' or '&'.
size_t CNXRTokenLimits::skipText(const uint8_t* p, size_t n)
{
    return static_cast<size_t>(findAny(p, p + n, '<', '&', '<', '&') - p);
}

// Within a start or end tag, the bytes up to the next '>', quote or '=':
// names and white space, whose names cannot be longer than the stretch (and
// the name it goes on with). A stretch that could hold a name over the limit
// is stepped through instead, name by name.
size_t CNXRTokenLimits::skipTag(const uint8_t* p, size_t n)
{
    const size_t ulStretch = static_cast<size_t>(findAny(p, p + n, '>', '"', '\'', '=') - p);
    if (m_ullRun + ulStretch <= NXR_XML_MAX_NAME_BYTES) {
        // The name that goes on past the stretch starts after its last
        // white space.
        size_t ulName = 0;
        while (ulName < ulStretch && !kEndsName[p[ulStretch - ulName - 1]])
            ++ulName;
        m_ullRun = ulName == ulStretch ? m_ullRun + ulStretch : ulName;
        growTag(ulStretch);
    } else {
        for (size_t i = 0; i < ulStretch; ++i)
            step(p[i] < 0x80 ? p[i] : kNonAscii);
    }
    return ulStretch;
}

// Body bytes up to the next cEnd, which are all the token's.
size_t CNXRTokenLimits::skipUntil(const uint8_t* p, size_t n, uint8_t cEnd)
{
    const void* pFound = std::memchr(p, cEnd, n);
    const size_t ulBody = pFound ? static_cast<size_t>(static_cast<const uint8_t*>(pFound) - p) : n;
    switch (m_state) {
    case State::Literal:
        grow(m_ullToken, ulBody, NXR_XML_MAX_TOKEN_BYTES,
             m_bDoctype || m_bDeclaration ? NxrXmlLimit::Literal : NxrXmlLimit::AttributeValue);
        growTag(ulBody);
        break;
    case State::Comment: grow(m_ullToken, ulBody, NXR_XML_MAX_TOKEN_BYTES, NxrXmlLimit::Comment); break;
    case State::CData: grow(m_ullToken, ulBody, NXR_XML_MAX_TOKEN_BYTES, NxrXmlLimit::CData); break;
    default: grow(m_ullToken, ulBody, NXR_XML_MAX_TOKEN_BYTES, NxrXmlLimit::ProcessingInstruction); break;
    }
    return ulBody;
}

// A whole start tag, or declaration of the internal subset, is held by the
// parser too (all its attributes at once); the document type declaration's
// own subset is measured declaration by declaration.
void CNXRTokenLimits::growTag(uint64_t ullUnits)
{
    if (m_bDeclaration)
        grow(m_ullTag, ullUnits, NXR_XML_MAX_TOKEN_BYTES, NxrXmlLimit::Declaration);
    else if (!m_bDoctype)
        grow(m_ullTag, ullUnits, NXR_XML_MAX_TAG_BYTES, NxrXmlLimit::Tag);
}

// Closing characters (the dashes of "-->", the brackets of "]]>", the '?' of
// "?>") are held back until it is known whether they close the token; those
// that do not are the token's.
void CNXRTokenLimits::closer(uint8_t c, uint8_t cCloser, uint32_t ulClosers, NxrXmlLimit limit)
{
    if (c == cCloser) {
        if (m_ulMatched == ulClosers)
            grow(m_ullToken, 1, NXR_XML_MAX_TOKEN_BYTES, limit);
        else
            ++m_ulMatched;
        return;
    }
    if (c == '>' && m_ulMatched == ulClosers) {
        m_state = m_bInSubset ? State::Subset : State::Text;
        m_ulMatched = 0;
        return;
    }
    grow(m_ullToken, m_ulMatched + 1, NXR_XML_MAX_TOKEN_BYTES, limit);
    m_ulMatched = 0;
}

void CNXRTokenLimits::openTag(bool bDoctype, bool bDeclaration)
{
    m_state = State::Tag;
    m_bDoctype = bDoctype;
    m_bDeclaration = bDeclaration;
    m_ullRun = 0;
    m_ullTag = 0;
    m_ullAttributes = 0;
}

void CNXRTokenLimits::step(uint8_t c)
{
    switch (m_state) {
    case State::Start:
    case State::Text:
        if (c == '<')
            m_state = State::Open;
        else if (c == '&')
            m_state = State::Reference, m_ullRun = 0;
        return;
    case State::Reference:
        if (!kEndsName[c])
            return grow(m_ullRun, 1, NXR_XML_MAX_NAME_BYTES, NxrXmlLimit::Name);
        m_state = m_bInSubset ? State::Subset : State::Text;
        if (c != ';')
            step(c);
        return;
    case State::Open: {
        const bool bFirst = !m_bMarkupSeen;
        m_bMarkupSeen = true;
        if (c == '!') {
            m_state = State::Bang;
        } else if (c == '?') {
            m_state = State::Pi;
            m_ullToken = 0;
            m_ullRun = 0;
            m_ulMatched = 0;
            m_bPiTarget = true;
            m_bCaptureDecl = bFirst;
        } else {
            openTag(false, m_bInSubset);
            if (c != '/')
                step(c);
        }
        return;
    }
    case State::Bang:
        if (c == '-') {
            m_state = State::BangDash;
        } else if (c == '[' && !m_bInSubset) {
            m_state = State::CDataKey;
            m_ulMatched = 1;
        } else {
            openTag(!m_bInSubset, m_bInSubset);
            step(c);
        }
        return;
    case State::BangDash:
        if (c == '-') {
            m_state = State::Comment;
            m_ullToken = 0;
            m_ulMatched = 0;
        } else {
            openTag(!m_bInSubset, m_bInSubset);
            step(c);
        }
        return;
    case State::CDataKey: {
        static constexpr std::string_view kKey = "[CDATA[";
        if (c == static_cast<uint8_t>(kKey[m_ulMatched])) {
            if (++m_ulMatched == kKey.size()) {
                m_state = State::CData;
                m_ullToken = 0;
                m_ulMatched = 0;
            }
            return;
        }
        openTag(true, false);
        step(c);
        return;
    }
    case State::Tag:
        growTag(1);
        if (c == '>') {
            m_state = m_bInSubset ? State::Subset : State::Text;
        } else if (c == '"' || c == '\'') {
            m_state = State::Literal;
            m_cQuote = c;
            m_ullToken = 0;
            m_ullRun = 0;
        } else if (c == '=' && !m_bDoctype && !m_bDeclaration) {
            m_ullRun = 0;
            if (++m_ullAttributes > NXR_XML_MAX_ATTRIBUTES)
                refuse(NxrXmlLimit::Attributes, NXR_XML_MAX_ATTRIBUTES);
        } else if (c == '[' && m_bDoctype) {
            m_state = State::Subset;
            m_bInSubset = true;
        } else if (kEndsName[c]) {
            m_ullRun = 0;
        } else {
            grow(m_ullRun, 1, NXR_XML_MAX_NAME_BYTES, NxrXmlLimit::Name);
        }
        return;
    case State::Literal:
        growTag(1);
        if (c == m_cQuote)
            m_state = State::Tag;
        else
            grow(m_ullToken, 1, NXR_XML_MAX_TOKEN_BYTES,
                 m_bDoctype || m_bDeclaration ? NxrXmlLimit::Literal : NxrXmlLimit::AttributeValue);
        return;
    case State::Comment: return closer(c, '-', 2, NxrXmlLimit::Comment);
    case State::CData: return closer(c, ']', 2, NxrXmlLimit::CData);
    case State::Pi:
        if (m_bCaptureDecl && m_declaration.size() < 256)
            m_declaration.push_back(static_cast<char>(c));
        if (m_bPiTarget) {
            if (!isSpace(c) && c != '?')
                grow(m_ullRun, 1, NXR_XML_MAX_NAME_BYTES, NxrXmlLimit::Name);
            else
                m_bPiTarget = false;
        }
        if (c == '>' && m_ulMatched == 1)
            endPi();
        return closer(c, '?', 1, NxrXmlLimit::ProcessingInstruction);
    case State::Subset:
        if (c == '<') {
            m_state = State::Open;
        } else if (c == '%') {
            m_state = State::Reference;
            m_ullRun = 0;
        } else if (c == ']') {
            m_bInSubset = false;
            openTag(true, false);
        }
        return;
    }
}

// The end of a PI: after the XML declaration, whether the encoding it names
// can be followed.
void CNXRTokenLimits::endPi()
{
    if (!m_bCaptureDecl)
        return;
    m_bCaptureDecl = false;
    if (m_mode == Mode::Ascii && isUnfollowable(declaredEncoding(m_declaration)))
        m_mode = Mode::Document;
    m_declaration.clear();
}

// ---------------------------------------------------------------------------

XMLSize_t CNXRTokenLimitStream::readBytes(XMLByte* const pToFill, const XMLSize_t ulMax)
{
    const XMLSize_t ulCount = m_inner->readBytes(pToFill, ulMax);
    m_limits.feed(pToFill, ulCount);
    return ulCount;
}

BinInputStream* CNXRTokenLimitSource::makeStream() const
{
    BinInputStream* pStream = m_inner.makeStream();
    return pStream ? new CNXRTokenLimitStream(pStream) : nullptr;
}

} // namespace nxr
