#include "nxr_os_version.h"

#include "nxr_os_error.h"
#include "nxr_os_file.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unistd.h>
#include <vector>

namespace nxr::os {

namespace {

// Layout of the PE/COFF structures this reader uses (all little-endian).
constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kDosLfanewOffset = 0x3C;
constexpr uint32_t kPeSignatureSize = 4;
constexpr uint32_t kCoffHeaderSize = 20;
constexpr uint32_t kCoffNumberOfSections = 2;
constexpr uint32_t kCoffSizeOfOptionalHeader = 16;
constexpr uint16_t kOptionalMagicPe32 = 0x10B;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
// Offset of the data directories in the optional header; the count of
// directories is the 32-bit value just before them.
constexpr uint32_t kDataDirectoriesPe32 = 96;
constexpr uint32_t kDataDirectoriesPe32Plus = 112;
constexpr uint32_t kDataDirectorySize = 8;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kResourceDirectoryHeaderSize = 16;
constexpr uint32_t kResourceEntrySize = 8;
constexpr uint32_t kResourceDataEntrySize = 16;
constexpr uint32_t kResourceSubdirectoryBit = 0x80000000u;
constexpr uint32_t kResourceNameIsStringBit = 0x80000000u;
constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kVersionResourceId = 1;

// A version block node starts with three 16-bit values: its length, its
// value's length and its type (1 text, 0 binary), then its UTF-16 key.
constexpr uint32_t kNodeHeaderSize = 6;
constexpr std::u16string_view kRootKey = u"VS_VERSION_INFO";

uint16_t rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t rd32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

bool failWith(uint32_t ulError)
{
    setLastError(ulError);
    return false;
}

// One open image file, read at checked offsets.
class CImageFile {
public:
    ~CImageFile()
    {
        if (m_hFile != kInvalidFile) {
            CLastErrorKeeper keep;
            fileClose(m_hFile);
        }
    }

    bool open(const std::string& path)
    {
        // Without waiting: a FIFO (or a device) opens at once and is
        // refused below instead of blocking the open.
        m_hFile = fileOpenNonBlocking(path, false);
        if (m_hFile == kInvalidFile)
            return false;
        FileInfo info;
        if (!fileGetInfo(m_hFile, info))
            return false;
        // A folder, device or pipe is no program file (and a device could
        // be read without end).
        if (!info.bRegular)
            return failWith(info.bDirectory ? EISDIR : kErrorBadImage);
        m_ullSize = info.ullSize;
        return true;
    }

    uint64_t size() const { return m_ullSize; }

    // Reads exactly ulBytes at ullOffset; fails with kErrorBadImage when the
    // range does not lie wholly inside the file.
    bool readAt(uint64_t ullOffset, void* pBuffer, size_t ulBytes)
    {
        if (ullOffset > m_ullSize || ulBytes > m_ullSize - ullOffset)
            return failWith(kErrorBadImage);
        if (ulBytes == 0)
            return true;
        if (::lseek(m_hFile, static_cast<off_t>(ullOffset), SEEK_SET) < 0) {
            setLastErrorFromErrno();
            return false;
        }
        size_t ulRead = 0;
        if (!fileRead(m_hFile, pBuffer, ulBytes, ulRead))
            return false;
        // The file got shorter since it was measured.
        if (ulRead != ulBytes)
            return failWith(kErrorBadImage);
        return true;
    }

private:
    FileHandle m_hFile = kInvalidFile;
    uint64_t m_ullSize = 0;
};

struct CSection {
    uint32_t ulVirtualAddress;
    uint32_t ulSize; // bytes present in the file and mapped
    uint32_t ulFileOffset;
};

// Where the version block lies in the file.
struct CVersionLocation {
    uint64_t ullFileOffset = 0;
    uint32_t ulSize = 0;
};

class CVersionLocator {
public:
    explicit CVersionLocator(CImageFile& file) : m_file(file) {}

    bool locate(CVersionLocation& location)
    {
        uint8_t dos[kDosHeaderSize];
        // A failed read keeps its own reason (kErrorBadImage when the file
        // is too short, a read error otherwise).
        if (!m_file.readAt(0, dos, sizeof(dos)))
            return false;
        if (dos[0] != 'M' || dos[1] != 'Z')
            return failWith(kErrorBadImage);
        const uint64_t ullNt = rd32(dos + kDosLfanewOffset);

        uint8_t nt[kPeSignatureSize + kCoffHeaderSize];
        if (!m_file.readAt(ullNt, nt, sizeof(nt)))
            return false;
        if (std::memcmp(nt, "PE\0\0", 4) != 0)
            return failWith(kErrorBadImage);
        const uint8_t* coff = nt + kPeSignatureSize;
        const uint32_t ulSections = rd16(coff + kCoffNumberOfSections);
        const uint32_t ulOptionalSize = rd16(coff + kCoffSizeOfOptionalHeader);
        const uint64_t ullOptional = ullNt + sizeof(nt);

        if (ulOptionalSize < 2)
            return failWith(kErrorBadImage);
        std::vector<uint8_t> optional(ulOptionalSize);
        if (!m_file.readAt(ullOptional, optional.data(), optional.size()))
            return false;
        const uint16_t usMagic = rd16(optional.data());
        uint32_t ulDirectories;
        if (usMagic == kOptionalMagicPe32)
            ulDirectories = kDataDirectoriesPe32;
        else if (usMagic == kOptionalMagicPe32Plus)
            ulDirectories = kDataDirectoriesPe32Plus;
        else
            return failWith(kErrorBadImage);
        if (ulOptionalSize < ulDirectories)
            return failWith(kErrorBadImage);
        const uint32_t ulDirectoryCount = rd32(optional.data() + ulDirectories - 4);
        const uint32_t ulResourceEntry = ulDirectories + kResourceDirectoryIndex * kDataDirectorySize;
        // An image may list fewer directories than there are kinds; then it
        // has no resources at all.
        if (ulDirectoryCount <= kResourceDirectoryIndex)
            return failWith(kErrorNoVersion);
        if (ulOptionalSize < ulResourceEntry + kDataDirectorySize)
            return failWith(kErrorBadImage);
        m_ulResourceRva = rd32(optional.data() + ulResourceEntry);
        m_ulResourceSize = rd32(optional.data() + ulResourceEntry + 4);
        if (m_ulResourceRva == 0 || m_ulResourceSize == 0)
            return failWith(kErrorNoVersion);

        if (!readSections(ullOptional + ulOptionalSize, ulSections))
            return false;

        // Type, then name, then language.
        uint32_t ulEntry = 0;
        if (!findEntry(0, kResourceTypeVersion, ulEntry))
            return false;
        if ((ulEntry & kResourceSubdirectoryBit) == 0)
            return failWith(kErrorBadImage);
        if (!findEntry(ulEntry & ~kResourceSubdirectoryBit, kVersionResourceId, ulEntry))
            return false;
        if ((ulEntry & kResourceSubdirectoryBit) == 0)
            return failWith(kErrorBadImage);
        // The first language the resource is there in.
        if (!findEntry(ulEntry & ~kResourceSubdirectoryBit, std::nullopt, ulEntry))
            return false;
        if ((ulEntry & kResourceSubdirectoryBit) != 0)
            return failWith(kErrorBadImage);

        uint8_t data[kResourceDataEntrySize];
        if (!readResource(ulEntry, data, sizeof(data)))
            return false;
        const uint32_t ulDataRva = rd32(data);
        const uint32_t ulDataSize = rd32(data + 4);
        uint64_t ullOffset = 0;
        if (ulDataSize == 0 || !rvaToFileOffset(ulDataRva, ulDataSize, ullOffset) ||
            ullOffset + ulDataSize > m_file.size())
            return failWith(kErrorBadImage);

        // Only a block in the layout the query understands is given out.
        constexpr uint32_t ulKeyEnd = kNodeHeaderSize + 2 * (uint32_t(kRootKey.size()) + 1);
        uint8_t head[ulKeyEnd];
        if (ulDataSize < ulKeyEnd)
            return failWith(kErrorBadImage);
        if (!m_file.readAt(ullOffset, head, sizeof(head)))
            return false;
        const uint16_t usLength = rd16(head);
        if (usLength < ulKeyEnd || usLength > ulDataSize)
            return failWith(kErrorBadImage);
        for (uint32_t i = 0; i <= kRootKey.size(); ++i) {
            const char16_t c = i < kRootKey.size() ? kRootKey[i] : u'\0';
            if (rd16(head + kNodeHeaderSize + 2 * i) != c)
                return failWith(kErrorBadImage);
        }
        location.ullFileOffset = ullOffset;
        location.ulSize = ulDataSize;
        return true;
    }

private:
    bool readSections(uint64_t ullTable, uint32_t ulCount)
    {
        std::vector<uint8_t> table(size_t(ulCount) * kSectionHeaderSize);
        if (!m_file.readAt(ullTable, table.data(), table.size()))
            return false;
        m_sections.clear();
        for (uint32_t i = 0; i < ulCount; ++i) {
            const uint8_t* s = table.data() + size_t(i) * kSectionHeaderSize;
            const uint32_t ulVirtualSize = rd32(s + 8);
            const uint32_t ulRawSize = rd32(s + 16);
            // Bytes past the virtual size are not part of the mapped
            // section (a virtual size of 0 is left by some linkers: then
            // the raw size counts).
            const uint32_t ulSize = ulVirtualSize != 0 ? std::min(ulVirtualSize, ulRawSize) : ulRawSize;
            m_sections.push_back({rd32(s + 12), ulSize, rd32(s + 20)});
        }
        return true;
    }

    // The file offset of ulBytes at ulRva, all inside one section's bytes
    // in the file (reading checks that they are inside the file too).
    bool rvaToFileOffset(uint64_t ullRva, uint32_t ulBytes, uint64_t& ullOffset) const
    {
        for (const CSection& s : m_sections) {
            if (ullRva < s.ulVirtualAddress)
                continue;
            const uint64_t ullDelta = ullRva - s.ulVirtualAddress;
            if (ullDelta + ulBytes <= s.ulSize) {
                ullOffset = uint64_t(s.ulFileOffset) + ullDelta;
                return true;
            }
        }
        return false;
    }

    // Reads at an offset inside the resource directory.
    bool readResource(uint32_t ulOffset, void* pBuffer, uint32_t ulBytes)
    {
        uint64_t ullFile = 0;
        if (uint64_t(ulOffset) + ulBytes > m_ulResourceSize ||
            !rvaToFileOffset(uint64_t(m_ulResourceRva) + ulOffset, ulBytes, ullFile))
            return failWith(kErrorBadImage);
        return m_file.readAt(ullFile, pBuffer, ulBytes);
    }

    // The data field of the directory entry with id ulId (or of the first
    // entry). A missing entry means the image has no version resource.
    bool findEntry(uint32_t ulDirectory, std::optional<uint32_t> ulId, uint32_t& ulData)
    {
        uint8_t head[kResourceDirectoryHeaderSize];
        if (!readResource(ulDirectory, head, sizeof(head)))
            return false;
        const uint32_t ulCount = uint32_t(rd16(head + 12)) + rd16(head + 14);
        if (ulCount == 0)
            return failWith(kErrorNoVersion);
        std::vector<uint8_t> entries(size_t(ulCount) * kResourceEntrySize);
        if (uint64_t(ulDirectory) + sizeof(head) > UINT32_MAX ||
            !readResource(ulDirectory + sizeof(head), entries.data(), uint32_t(entries.size())))
            return false;
        for (uint32_t i = 0; i < ulCount; ++i) {
            const uint8_t* e = entries.data() + size_t(i) * kResourceEntrySize;
            const uint32_t ulName = rd32(e);
            if (!ulId || ((ulName & kResourceNameIsStringBit) == 0 && ulName == *ulId)) {
                ulData = rd32(e + 4);
                return true;
            }
        }
        return failWith(kErrorNoVersion);
    }

    CImageFile& m_file;
    std::vector<CSection> m_sections;
    uint32_t m_ulResourceRva = 0;
    uint32_t m_ulResourceSize = 0;
};

bool locateVersion(const std::string& path, CImageFile& file, CVersionLocation& location)
{
    if (!file.open(path))
        return false;
    CVersionLocator locator(file);
    return locator.locate(location);
}

// ---------------------------------------------------------------------------
// Walking a version block

constexpr uint32_t align4(uint32_t ul) { return (ul + 3) & ~3u; }

struct CNode {
    uint32_t ulEnd;        // one past the node's last byte
    uint32_t ulKey;        // offset of the key's first unit
    uint32_t ulKeyUnits;   // key length without its zero
    uint32_t ulValue;      // offset of the value
    uint32_t ulValueBytes; // value bytes present (clamped to the node)
    bool bText;
    uint32_t ulChildren;   // offset of the first child
};

// Reads the node at ulOffset, which must end by ulLimit.
bool parseNode(const uint8_t* pBlock, uint32_t ulOffset, uint32_t ulLimit, CNode& node)
{
    if (ulOffset > ulLimit || ulLimit - ulOffset < kNodeHeaderSize)
        return false;
    const uint32_t ulLength = rd16(pBlock + ulOffset);
    if (ulLength < kNodeHeaderSize || ulLength > ulLimit - ulOffset)
        return false;
    node.ulEnd = ulOffset + ulLength;
    const uint32_t ulValueLength = rd16(pBlock + ulOffset + 2);
    node.bText = rd16(pBlock + ulOffset + 4) == 1;
    node.ulKey = ulOffset + kNodeHeaderSize;
    uint32_t p = node.ulKey;
    while (p + 2 <= node.ulEnd && rd16(pBlock + p) != 0)
        p += 2;
    if (p + 2 > node.ulEnd)
        return false; // the key has no end inside the node
    node.ulKeyUnits = (p - node.ulKey) / 2;
    node.ulValue = std::min(align4(p + 2), node.ulEnd);
    const uint32_t ulDeclared = node.bText ? 2 * ulValueLength : ulValueLength;
    const uint32_t ulRoom = node.ulEnd - node.ulValue;
    if (ulDeclared > ulRoom && !node.bText)
        return false;
    // Some resource compilers count a text value in bytes rather than
    // units; such a text is cut at its node's end.
    node.ulValueBytes = std::min(ulDeclared, ulRoom);
    node.ulChildren = align4(node.ulValue + node.ulValueBytes);
    return true;
}

bool keyEquals(const uint8_t* pBlock, const CNode& node, std::u16string_view name)
{
    if (node.ulKeyUnits != name.size())
        return false;
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    for (uint32_t i = 0; i < node.ulKeyUnits; ++i)
        if (lower(rd16(pBlock + node.ulKey + 2 * i)) != lower(name[i]))
            return false;
    return true;
}

} // namespace

uint32_t getFileVersionInfoSize(const std::string& path)
{
    CImageFile file;
    CVersionLocation location;
    if (!locateVersion(path, file, location))
        return 0;
    return location.ulSize;
}

bool getFileVersionInfo(const std::string& path, uint32_t ulHandle, uint32_t ulLen, void* pData)
{
    (void)ulHandle;
    if (pData == nullptr || ulLen == 0)
        return failWith(EINVAL);
    CImageFile file;
    CVersionLocation location;
    if (!locateVersion(path, file, location))
        return false;
    return file.readAt(location.ullFileOffset, pData, std::min(ulLen, location.ulSize));
}

bool verQueryValue(const void* pBlock, uint32_t ulBlockSize, std::u16string_view subBlock, const void** ppValue,
                   uint32_t* pulLen, bool* pbText)
{
    if (pBlock == nullptr || ppValue == nullptr || pulLen == nullptr)
        return failWith(EINVAL);
    const auto* b = static_cast<const uint8_t*>(pBlock);
    if (ulBlockSize < 2)
        return failWith(kErrorBadImage);
    // The root's length bounds the whole tree.
    const uint32_t ulLimit = std::min<uint32_t>(ulBlockSize, rd16(b));
    CNode node;
    if (!parseNode(b, 0, ulLimit, node))
        return failWith(kErrorBadImage);

    size_t ulPos = 0;
    while (ulPos < subBlock.size()) {
        if (subBlock[ulPos] == u'\\') {
            ++ulPos;
            continue;
        }
        size_t ulStop = subBlock.find(u'\\', ulPos);
        if (ulStop == std::u16string_view::npos)
            ulStop = subBlock.size();
        const std::u16string_view name = subBlock.substr(ulPos, ulStop - ulPos);
        ulPos = ulStop;

        bool bFound = false;
        for (uint32_t ulChild = node.ulChildren; ulChild < node.ulEnd;) {
            CNode child;
            if (!parseNode(b, ulChild, node.ulEnd, child))
                return failWith(kErrorBadImage);
            if (keyEquals(b, child, name)) {
                node = child;
                bFound = true;
                break;
            }
            ulChild = align4(child.ulEnd);
        }
        if (!bFound)
            return failWith(kErrorNoVersion);
    }

    if (pbText != nullptr)
        *pbText = node.bText;
    if (!node.bText) {
        *ppValue = b + node.ulValue;
        *pulLen = node.ulValueBytes;
        return true;
    }
    static const char16_t s_empty[1] = {0};
    const uint32_t ulUnits = node.ulValueBytes / 2;
    if (ulUnits == 0) {
        *ppValue = s_empty;
        *pulLen = 0;
        return true;
    }
    uint32_t ulLen = 0;
    while (ulLen < ulUnits && rd16(b + node.ulValue + 2 * ulLen) != 0)
        ++ulLen;
    *ppValue = b + node.ulValue;
    *pulLen = ulLen < ulUnits ? ulLen + 1 : ulLen;
    return true;
}

} // namespace nxr::os
