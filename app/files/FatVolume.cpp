#include "files/FatVolume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <set>
#include <utility>

namespace {

constexpr std::uint32_t slotBytes = 32;
// A folder holds at most 65,536 records; a chain longer than that many
// bytes' worth of clusters loops.
constexpr std::uint64_t folderMaxBytes = 65536 * 32;
constexpr std::uint8_t deletedMark = 0xE5;

std::uint16_t le16(const std::uint8_t *at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

std::uint32_t le32(const std::uint8_t *at)
{
    return std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16)
           | (std::uint32_t(at[3]) << 24);
}

void put16(std::uint8_t *at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t *at, std::uint32_t value)
{
    put16(at, value);
    put16(at + 2, value >> 16);
}

// The words every damage is told in: the drive is not touched, and Windows'
// own checker is the one to mend it.
Failure damaged(const std::string &what)
{
    return Failure{EIO, "damaged: " + what + ": let ScanDisk check it first", 57, Step::Unset, {}};
}

// What a damage says, without the words around it, to be told with more.
std::string what(const Failure &damage)
{
    std::string text = damage.reason;
    constexpr std::string_view front = "damaged: ";
    constexpr std::string_view back = ": let ScanDisk check it first";
    if (text.rfind(front, 0) == 0)
        text.erase(0, front.size());
    if (text.size() >= back.size() && text.compare(text.size() - back.size(), back.size(), back) == 0)
        text.erase(text.size() - back.size());
    return text;
}

bool isPowerOfTwo(std::uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// Code page 437, the one Windows 98 keeps short names in here, from 0x80.
constexpr char16_t codePage437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void appendUtf8(std::string &text, char32_t c)
{
    if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xC0 | (c >> 6));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xE0 | (c >> 12));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (c >> 18));
        text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 as Windows keeps long names, to UTF-8; a lone surrogate becomes
// U+FFFD.
std::string fromUtf16(const std::u16string &units)
{
    std::string text;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(text, c);
    }
    return text;
}

// UTF-8 to UTF-16; false for text that is no UTF-8.
bool toUtf16(std::string_view text, std::u16string &units)
{
    units.clear();
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        char32_t c;
        std::size_t length;
        if (byte < 0x80) {
            c = byte;
            length = 1;
        } else if ((byte & 0xE0) == 0xC0) {
            c = byte & 0x1Fu;
            length = 2;
        } else if ((byte & 0xF0) == 0xE0) {
            c = byte & 0x0Fu;
            length = 3;
        } else if ((byte & 0xF8) == 0xF0) {
            c = byte & 0x07u;
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto more = static_cast<unsigned char>(text[i + k]);
            if ((more & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (more & 0x3Fu);
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            units += static_cast<char16_t>(0xD800 + (c >> 10));
            units += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            units += static_cast<char16_t>(c);
        }
        i += length;
    }
    return true;
}

std::uint8_t shortNameChecksum(const std::uint8_t *name)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

// A short name as Windows shows it: base and extension without their
// padding, lower case where Windows NT marked them so, code page 437.
std::string shortNameShown(const std::uint8_t *record)
{
    const std::uint8_t flags = record[12];
    auto part = [&](int from, int length, bool lower) {
        int end = from + length;
        while (end > from && record[end - 1] == ' ')
            --end;
        std::string text;
        for (int i = from; i < end; ++i) {
            std::uint8_t byte = record[i];
            if (i == 0 && byte == 0x05)
                byte = deletedMark;
            if (lower && byte >= 'A' && byte <= 'Z')
                byte = static_cast<std::uint8_t>(byte - 'A' + 'a');
            appendUtf8(text, byte < 0x80 ? char32_t(byte) : char32_t(codePage437[byte - 0x80]));
        }
        return text;
    };
    std::string base = part(0, 8, (flags & 0x08) != 0);
    const std::string extension = part(8, 3, (flags & 0x10) != 0);
    if (!extension.empty())
        base += "." + extension;
    return base;
}

// What Windows refuses in a long name.
bool isLongNameCharacter(char16_t c)
{
    return c >= 0x20 && std::u16string_view(u"\"*/:<>?\\|").find(c) == std::u16string_view::npos;
}

bool isShortNameCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::string_view("$%'-_@~`!(){}^#&").find(c) != std::string_view::npos;
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The date and time fields of now, as a FAT entry holds them.
void nowFields(std::uint16_t &date, std::uint16_t &time, std::uint8_t &tenths)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int year = std::clamp(local.tm_year + 1900, 1980, 2107);
    date = static_cast<std::uint16_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    time = static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
    tenths = static_cast<std::uint8_t>((local.tm_sec % 2) * 100);
}

} // namespace

bool looksLikeFatBootSector(const std::uint8_t *sector)
{
    const bool jump = sector[0] == 0xE9 || (sector[0] == 0xEB && sector[2] == 0x90);
    const std::uint16_t bytes = le16(sector + 11);
    const std::uint8_t perCluster = sector[13];
    return jump && (bytes == 512 || bytes == 1024 || bytes == 2048 || bytes == 4096) && isPowerOfTwo(perCluster)
           && le16(sector + 14) != 0 && sector[16] != 0 && (sector[21] >= 0xF8 || sector[21] == 0xF0);
}

Result<FatLayout> readFatLayout(const std::uint8_t *boot, std::uint64_t driveBytes)
{
    if (!looksLikeFatBootSector(boot))
        return damaged("its boot sector is not that of a FAT file system");
    FatLayout layout;
    layout.sectorBytes = le16(boot + 11);
    const std::uint32_t perCluster = boot[13];
    layout.clusterBytes = layout.sectorBytes * perCluster;
    if (layout.clusterBytes > 64 * 1024)
        return damaged("its boot sector gives clusters of more than 64 KB");
    const std::uint32_t reserved = le16(boot + 14);
    layout.fatCount = boot[16];
    const std::uint32_t rootEntries = le16(boot + 17);
    const std::uint64_t totalSectors = le16(boot + 19) != 0 ? le16(boot + 19) : le32(boot + 32);
    const std::uint32_t fatSectors16 = le16(boot + 22);
    const std::uint64_t fatSectors = fatSectors16 != 0 ? fatSectors16 : le32(boot + 36);
    const bool fat32 = fatSectors16 == 0 && rootEntries == 0;
    if (fatSectors == 0 || totalSectors == 0 || layout.fatCount > 4)
        return damaged("its boot sector gives no FAT or no sectors");
    const std::uint64_t sector = layout.sectorBytes;
    if (totalSectors * sector > driveBytes)
        return damaged("its boot sector claims more sectors than the partition has");
    const std::uint64_t rootSectors = (std::uint64_t(rootEntries) * slotBytes + sector - 1) / sector;
    const std::uint64_t metaSectors = reserved + layout.fatCount * fatSectors + rootSectors;
    if (metaSectors >= totalSectors)
        return damaged("its boot sector leaves no room for data");
    const std::uint64_t clusters = (totalSectors - metaSectors) / perCluster;
    if (clusters < 1 || clusters > 0x0FFFFFF5)
        return damaged("its boot sector gives an impossible number of clusters");
    layout.clusterCount = static_cast<std::uint32_t>(clusters);
    layout.type = fat32 ? FatType::Fat32 : clusters < 4085 ? FatType::Fat12 : FatType::Fat16;
    if (!fat32 && clusters >= 65525)
        return damaged("its boot sector gives too many clusters for FAT16");
    layout.fatBytes = fatSectors * sector;
    const std::uint64_t entryBits = layout.type == FatType::Fat12 ? 12 : layout.type == FatType::Fat16 ? 16 : 32;
    if ((clusters + 2) * entryBits > layout.fatBytes * 8)
        return damaged("its FAT is too small for its clusters");
    layout.fatOffset = reserved * sector;
    layout.rootOffset = layout.fatOffset + layout.fatCount * layout.fatBytes;
    layout.rootBytes = rootSectors * sector;
    layout.dataOffset = layout.rootOffset + layout.rootBytes;
    if (fat32) {
        const std::uint16_t flags = le16(boot + 40);
        layout.mirrored = (flags & 0x80) == 0;
        layout.activeFat = layout.mirrored ? 0 : flags & 0x0Fu;
        if (layout.activeFat >= layout.fatCount)
            return damaged("its boot sector names a FAT it does not have");
        layout.rootCluster = le32(boot + 44);
        if (layout.rootCluster < 2 || layout.rootCluster > layout.clusterCount + 1)
            return damaged("its root folder starts outside the drive");
        const std::uint32_t fsInfo = le16(boot + 48);
        if (fsInfo != 0 && fsInfo != 0xFFFF && fsInfo < reserved)
            layout.fsInfoOffset = fsInfo * sector;
        layout.stateOffset = 65;
    } else {
        if (rootEntries == 0)
            return damaged("its boot sector gives no root folder");
        layout.stateOffset = 37;
    }
    layout.state = boot[layout.stateOffset];
    return layout;
}

FatEntry *FatDirectory::atSlot(std::uint32_t slot)
{
    const auto found = m_bySlot.find(slot);
    return found == m_bySlot.end() || m_entries[found->second].deleted ? nullptr : &m_entries[found->second];
}

FatEntry *FatDirectory::named(std::string_view name)
{
    for (FatEntry &entry : m_entries) {
        if (!entry.deleted && entry.name == name)
            return &entry;
    }
    return nullptr;
}

FatVolume::FatVolume(BlockDevice &drive, FatLayout layout)
    : m_drive(drive)
    , m_layout(std::move(layout))
{
}

Result<std::unique_ptr<FatVolume>> FatVolume::open(BlockDevice &drive, bool writing)
{
    std::uint8_t boot[4096];
    if (drive.size() < 512)
        return damaged("it is too small to hold a FAT file system");
    if (Failure failed = drive.read(0, boot, 512); failed.failed())
        return failed;
    Result<FatLayout> layout = readFatLayout(boot, drive.size());
    if (!layout)
        return layout.failure();
    std::unique_ptr<FatVolume> volume(new FatVolume(drive, layout.take()));
    const FatLayout &l = volume->m_layout;
    const std::uint64_t effective = l.type == FatType::Fat12 ? (std::uint64_t(l.clusterCount) + 2) * 3 / 2 + 1
                                    : l.type == FatType::Fat16 ? (std::uint64_t(l.clusterCount) + 2) * 2
                                                               : (std::uint64_t(l.clusterCount) + 2) * 4;
    const std::uint64_t compared = std::min(effective, l.fatBytes);
    // One copy is held, the one in use: a write goes to every copy kept
    // the same, and those are compared with it piece by piece, not held.
    volume->m_fat.resize(std::size_t(l.fatBytes));
    if (Failure failed = drive.read(l.fatOffset + l.activeFat * l.fatBytes, volume->m_fat.data(), volume->m_fat.size());
        failed.failed())
        return failed;
    if (writing && l.mirrored) {
        std::vector<std::uint8_t> piece(std::size_t(std::min<std::uint64_t>(compared, 64 * 1024)));
        for (std::uint32_t copy = 1; copy < l.fatCount; ++copy) {
            for (std::uint64_t at = 0; at < compared; at += piece.size()) {
                const std::size_t length = std::size_t(std::min<std::uint64_t>(piece.size(), compared - at));
                if (Failure failed = drive.read(l.fatOffset + copy * l.fatBytes + at, piece.data(), length);
                    failed.failed())
                    return failed;
                if (std::memcmp(piece.data(), volume->m_fat.data() + at, length) != 0)
                    return damaged("its FAT copies differ");
            }
        }
    }
    if (l.fsInfoOffset != 0) {
        std::uint8_t info[512];
        if (Failure failed = drive.read(l.fsInfoOffset, info, sizeof info); failed.failed())
            return failed;
        if (le32(info) == 0x41615252 && le32(info + 484) == 0x61417272) {
            const std::uint32_t free = le32(info + 488);
            if (free <= l.clusterCount)
                volume->m_freeCount = free;
            const std::uint32_t hint = le32(info + 492);
            if (hint >= 2 && hint <= l.clusterCount + 1)
                volume->m_nextFree = hint;
        } else {
            volume->m_layout.fsInfoOffset = 0;
        }
        if (writing && volume->m_layout.fsInfoOffset != 0) {
            volume->m_reserved.resize(512);
            if (Failure failed = drive.read(l.fsInfoOffset, volume->m_reserved.data(), volume->m_reserved.size());
                failed.failed())
                return failed;
        }
    }
    return volume;
}

std::string FatVolume::describe() const
{
    return m_layout.type == FatType::Fat12 ? "FAT12" : m_layout.type == FatType::Fat16 ? "FAT16" : "FAT32";
}

Failure FatVolume::shutDownCleanly() const
{
    const std::uint32_t second = next(1);
    bool clean = true;
    bool sound = true;
    if (m_layout.type == FatType::Fat16) {
        clean = (second & 0x8000) != 0;
        sound = (second & 0x4000) != 0;
    } else if (m_layout.type == FatType::Fat32) {
        clean = (second & 0x08000000) != 0;
        sound = (second & 0x04000000) != 0;
    }
    if (!clean || (m_layout.state & 0x01) != 0)
        return Failure{EBUSY, "not shut down cleanly: let ScanDisk check it first", 75, Step::Unset, {}};
    if (!sound)
        return Failure{EIO, "Windows found disk errors on it: let ScanDisk check it first", 75, Step::Unset, {}};
    return {};
}

std::uint32_t FatVolume::next(std::uint32_t cluster) const
{
    const std::vector<std::uint8_t> &fat = m_fat;
    switch (m_layout.type) {
    case FatType::Fat12: {
        const std::size_t at = std::size_t(cluster) * 3 / 2;
        if (at + 1 >= fat.size())
            return 0x0FF7;
        const std::uint32_t pair = le16(&fat[at]);
        return (cluster & 1) != 0 ? pair >> 4 : pair & 0x0FFF;
    }
    case FatType::Fat16:
        return std::size_t(cluster) * 2 + 1 < fat.size() ? le16(&fat[std::size_t(cluster) * 2]) : 0xFFF7;
    case FatType::Fat32:
        return std::size_t(cluster) * 4 + 3 < fat.size() ? le32(&fat[std::size_t(cluster) * 4]) & 0x0FFFFFFF
                                                         : 0x0FFFFFF7;
    }
    return 0;
}

bool FatVolume::isEnd(std::uint32_t value) const
{
    switch (m_layout.type) {
    case FatType::Fat12:
        return value >= 0x0FF8;
    case FatType::Fat16:
        return value >= 0xFFF8;
    case FatType::Fat32:
        return value >= 0x0FFFFFF8;
    }
    return true;
}

// The copy in use gets the change, and the commit takes it to every copy
// kept the same; low and high grow to take in the bytes it touched.
void FatVolume::setNext(std::uint32_t cluster, std::uint32_t value, std::uint64_t &low, std::uint64_t &high)
{
    if (m_undo)
        m_undo->emplace_back(cluster, next(cluster));
    std::size_t at = 0;
    std::size_t length = 0;
    std::vector<std::uint8_t> &fat = m_fat;
    switch (m_layout.type) {
    case FatType::Fat12: {
        at = std::size_t(cluster) * 3 / 2;
        length = 2;
        std::uint32_t pair = le16(&fat[at]);
        pair = (cluster & 1) != 0 ? (pair & 0x000F) | (value << 4) : (pair & 0xF000) | (value & 0x0FFF);
        put16(&fat[at], pair);
        break;
    }
    case FatType::Fat16:
        at = std::size_t(cluster) * 2;
        length = 2;
        put16(&fat[at], value);
        break;
    case FatType::Fat32:
        at = std::size_t(cluster) * 4;
        length = 4;
        put32(&fat[at], (le32(&fat[at]) & 0xF0000000) | (value & 0x0FFFFFFF));
        break;
    }
    low = std::min<std::uint64_t>(low, at);
    high = std::max<std::uint64_t>(high, at + length);
}

Result<std::vector<std::uint32_t>> FatVolume::chain(std::uint32_t first, std::uint64_t limit) const
{
    std::vector<std::uint32_t> clusters;
    const std::uint32_t last = m_layout.clusterCount + 1;
    for (std::uint32_t cluster = first;;) {
        if (cluster < 2 || cluster > last)
            return damaged("a chain of clusters runs out of the drive");
        if (clusters.size() >= limit)
            return damaged("a chain of clusters loops or is longer than its file");
        clusters.push_back(cluster);
        const std::uint32_t value = next(cluster);
        if (isEnd(value))
            return clusters;
        if (value == 0)
            return damaged("a chain of clusters runs into a free cluster");
        cluster = value;
    }
}

Result<FatDirectory *> FatVolume::directory(std::uint32_t cluster)
{
    const auto found = m_directories.find(cluster);
    if (found != m_directories.end())
        return found->second.get();
    Result<std::unique_ptr<FatDirectory>> read = readDirectory(cluster);
    if (!read)
        return read.failure();
    FatDirectory *folder = read->get();
    m_directories.emplace(cluster, read.take());
    return folder;
}

Result<std::unique_ptr<FatDirectory>> FatVolume::readDirectory(std::uint32_t cluster)
{
    auto folder = std::make_unique<FatDirectory>();
    folder->m_cluster = cluster;
    const bool fixedRoot = cluster == 0;
    if (fixedRoot) {
        if (m_layout.type == FatType::Fat32)
            return damaged("a folder starts at cluster 0");
        folder->m_pieceBytes = m_layout.sectorBytes;
        for (std::uint64_t at = 0; at < m_layout.rootBytes; at += m_layout.sectorBytes)
            folder->m_pieces.push_back(m_layout.rootOffset + at);
        folder->m_bytes.resize(std::size_t(m_layout.rootBytes));
        if (Failure failed = m_drive.read(m_layout.rootOffset, folder->m_bytes.data(), folder->m_bytes.size());
            failed.failed())
            return failed;
    } else {
        Result<std::vector<std::uint32_t>> clusters =
            chain(cluster, (folderMaxBytes + m_layout.clusterBytes - 1) / m_layout.clusterBytes);
        if (!clusters)
            return clusters.failure();
        folder->m_clusters = clusters.take();
        folder->m_pieceBytes = m_layout.clusterBytes;
        folder->m_bytes.resize(folder->m_clusters.size() * m_layout.clusterBytes);
        // Clusters that follow each other on the disk are read at once.
        for (std::size_t i = 0; i < folder->m_clusters.size();) {
            std::size_t run = 1;
            while (i + run < folder->m_clusters.size()
                   && folder->m_clusters[i + run] == folder->m_clusters[i] + std::uint32_t(run))
                ++run;
            const std::uint64_t offset =
                m_layout.dataOffset + std::uint64_t(folder->m_clusters[i] - 2) * m_layout.clusterBytes;
            for (std::size_t k = 0; k < run; ++k)
                folder->m_pieces.push_back(offset + k * m_layout.clusterBytes);
            if (Failure failed =
                    m_drive.read(offset, folder->m_bytes.data() + i * m_layout.clusterBytes, run * m_layout.clusterBytes);
                failed.failed())
                return failed;
            i += run;
        }
    }
    folder->m_dirty.assign(folder->m_bytes.size() / m_layout.sectorBytes, false);
    if (Failure failed = parse(*folder); failed.failed())
        return failed;
    return folder;
}

// The records of a folder, read as Windows 98 reads them; a long name that
// does not belong to the record after it, or a name Windows could not have
// written, is damage.
Failure FatVolume::parse(FatDirectory &folder)
{
    const std::uint32_t slots = static_cast<std::uint32_t>(folder.m_bytes.size() / slotBytes);
    folder.m_end = slots;
    std::u16string longName;
    int expected = 0; // the long-name record still to come, 0 for none
    std::uint8_t checksum = 0;
    std::uint32_t firstSlot = 0;
    for (std::uint32_t slot = 0; slot < slots; ++slot) {
        const std::uint8_t *record = &folder.m_bytes[std::size_t(slot) * slotBytes];
        if (record[0] == 0x00) {
            folder.m_end = slot;
            break;
        }
        if (record[0] == deletedMark) {
            if (expected != 0)
                return damaged("a long name stands without its entry");
            continue;
        }
        const std::uint8_t attributes = record[11];
        if ((attributes & 0x3F) == FatAttribute::LongName) {
            const int order = record[0] & 0x1F;
            if ((record[0] & 0x40) != 0) {
                if (expected != 0)
                    return damaged("a long name stands without its entry");
                if (order < 1 || order > 20)
                    return damaged("a long name has a record out of order");
                longName.assign(std::size_t(order) * 13, u'\xFFFF');
                checksum = record[13];
                firstSlot = slot;
            } else if (order != expected - 1 || expected == 0 || record[13] != checksum) {
                return damaged("a long name has a record out of order");
            }
            expected = order;
            static constexpr int places[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
            for (int i = 0; i < 13; ++i)
                longName[std::size_t((order - 1) * 13 + i)] = static_cast<char16_t>(le16(record + places[i]));
            continue;
        }
        FatEntry entry;
        std::copy_n(record, 11, entry.shortName.begin());
        entry.attributes = attributes;
        entry.size = le32(record + 28);
        entry.firstCluster = le16(record + 26);
        if (m_layout.type == FatType::Fat32)
            entry.firstCluster |= std::uint32_t(le16(record + 20)) << 16;
        entry.slot = slot;
        entry.firstSlot = slot;
        if (expected != 0) {
            if (expected != 1)
                return damaged("a long name misses some of its records");
            if (shortNameChecksum(record) != checksum)
                return damaged("a long name does not belong to its entry");
            const std::size_t end = longName.find(u'\0');
            longName.resize(std::min(end, longName.size()));
            while (!longName.empty() && longName.back() == u'\xFFFF')
                longName.pop_back();
            if (longName.empty() || !std::all_of(longName.begin(), longName.end(), isLongNameCharacter))
                return damaged("a long name holds characters Windows never writes");
            entry.name = fromUtf16(longName);
            entry.firstSlot = firstSlot;
            expected = 0;
        } else if ((attributes & FatAttribute::VolumeLabel) != 0) {
            entry.name = std::string(reinterpret_cast<const char *>(record), 11);
            while (!entry.name.empty() && entry.name.back() == ' ')
                entry.name.pop_back();
        } else {
            entry.name = shortNameShown(record);
        }
        if (entry.name.empty() || entry.name.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
            return damaged("an entry has a name no file can have");
        folder.m_bySlot.emplace(slot, folder.m_entries.size());
        folder.m_entries.push_back(std::move(entry));
    }
    if (expected != 0)
        return damaged("a long name stands without its entry");
    return {};
}

Failure FatVolume::checkWhole()
{
    if (m_checked)
        return {};
    const std::uint32_t last = m_layout.clusterCount + 1;
    std::vector<bool> used(std::size_t(last) + 1, false);
    auto take = [&](const std::vector<std::uint32_t> &clusters, const std::string &what) {
        for (const std::uint32_t cluster : clusters) {
            if (used[cluster])
                return damaged(what + " shares a cluster with another entry");
            used[cluster] = true;
        }
        return Failure();
    };
    std::deque<std::pair<std::uint32_t, std::string>> folders;
    Result<FatDirectory *> top = root();
    if (!top)
        return top.failure();
    if (Failure failed = take((*top)->m_clusters, "C:\\"); failed.failed())
        return failed;
    folders.emplace_back((*top)->cluster(), "C:");
    while (!folders.empty()) {
        const auto [cluster, path] = folders.front();
        folders.pop_front();
        Result<FatDirectory *> read = directory(cluster);
        if (!read) {
            Failure failed = read.failure();
            failed.reason += " (in " + path + ")";
            return failed;
        }
        for (const FatEntry &entry : (*read)->entries()) {
            if (entry.name == "." || entry.name == ".." || (entry.attributes & FatAttribute::VolumeLabel) != 0)
                continue;
            const std::string where = path + "\\" + entry.name;
            if ((entry.attributes & FatAttribute::Directory) != 0) {
                if (entry.firstCluster == 0)
                    return damaged(where + " is a folder without clusters");
                Result<std::vector<std::uint32_t>> clusters =
                    chain(entry.firstCluster, (folderMaxBytes + m_layout.clusterBytes - 1) / m_layout.clusterBytes);
                if (!clusters)
                    return damaged(where + ": " + what(clusters.failure()));
                if (used[entry.firstCluster])
                    return damaged(where + " is a folder that holds itself, or shares a cluster");
                if (Failure failed = take(*clusters, where); failed.failed())
                    return failed;
                folders.emplace_back(entry.firstCluster, where);
            } else if (entry.firstCluster == 0) {
                if (entry.size != 0)
                    return damaged(where + " has a size but no clusters");
            } else {
                const std::uint64_t needed = (std::uint64_t(entry.size) + m_layout.clusterBytes - 1) / m_layout.clusterBytes;
                Result<std::vector<std::uint32_t>> clusters = chain(entry.firstCluster, std::max<std::uint64_t>(needed, 1));
                if (!clusters || clusters->size() != std::max<std::uint64_t>(needed, 1))
                    return damaged(where + " has a chain of clusters that does not fit its size");
                if (Failure failed = take(*clusters, where); failed.failed())
                    return failed;
            }
        }
    }
    m_checked = true;
    return {};
}

void FatVolume::markDirty(FatDirectory &folder, std::uint32_t slot)
{
    folder.m_dirty[std::size_t(slot) * slotBytes / m_layout.sectorBytes] = true;
}

Failure FatVolume::remove(FatDirectory &folder, FatEntry &entry)
{
    if (Failure failed = checkWhole(); failed.failed())
        return failed;
    if (entry.firstCluster != 0) {
        const std::uint64_t needed =
            std::max<std::uint64_t>((std::uint64_t(entry.size) + m_layout.clusterBytes - 1) / m_layout.clusterBytes, 1);
        Result<std::vector<std::uint32_t>> clusters = chain(entry.firstCluster, needed);
        if (!clusters)
            return clusters.failure();
        m_toFree.insert(m_toFree.end(), clusters->begin(), clusters->end());
    }
    for (std::uint32_t slot = entry.firstSlot; slot <= entry.slot; ++slot) {
        folder.m_bytes[std::size_t(slot) * slotBytes] = deletedMark;
        markDirty(folder, slot);
    }
    entry.deleted = true;
    ++m_removals;
    return {};
}

Result<std::vector<std::uint32_t>> FatVolume::allocate(std::uint32_t count)
{
    std::vector<std::uint32_t> taken;
    const std::uint32_t first = 2;
    const std::uint32_t last = m_layout.clusterCount + 1;
    std::uint32_t cluster = m_nextFree >= first && m_nextFree <= last ? m_nextFree : first;
    for (std::uint64_t looked = 0; taken.size() < count && looked < m_layout.clusterCount; ++looked) {
        if (next(cluster) == 0)
            taken.push_back(cluster);
        cluster = cluster == last ? first : cluster + 1;
    }
    if (taken.size() < count)
        return Failure{ENOSPC, {}, 0, Step::Unset, {}};
    const std::uint32_t end = m_layout.type == FatType::Fat12 ? 0x0FFF : m_layout.type == FatType::Fat16 ? 0xFFFF
                                                                                                          : 0x0FFFFFFF;
    for (std::size_t i = 0; i < taken.size(); ++i)
        setNext(taken[i], i + 1 < taken.size() ? taken[i + 1] : end, m_takenLow, m_takenHigh);
    m_taken += static_cast<std::int64_t>(taken.size());
    m_nextFree = cluster;
    return taken;
}

// One cluster more for a folder that has no room left, zeroed before it is
// linked in.
Failure FatVolume::extend(FatDirectory &folder)
{
    if (folder.m_cluster == 0)
        return Failure{ENOSPC, "the root folder is full", 0, Step::Unset, {}};
    if (folder.m_bytes.size() + m_layout.clusterBytes > folderMaxBytes)
        return Failure{ENOSPC, "the folder is full", 0, Step::Unset, {}};
    Result<std::vector<std::uint32_t>> taken = allocate(1);
    if (!taken)
        return taken.failure();
    const std::uint32_t cluster = (*taken)[0];
    setNext(folder.m_clusters.back(), cluster, m_takenLow, m_takenHigh);
    const std::uint64_t offset = m_layout.dataOffset + std::uint64_t(cluster - 2) * m_layout.clusterBytes;
    m_data.push_back({offset, std::vector<std::uint8_t>(m_layout.clusterBytes, 0), false});
    folder.m_clusters.push_back(cluster);
    folder.m_pieces.push_back(offset);
    folder.m_bytes.resize(folder.m_bytes.size() + m_layout.clusterBytes, 0);
    folder.m_dirty.resize(folder.m_bytes.size() / m_layout.sectorBytes, false);
    return {};
}

Failure FatVolume::write(FatDirectory &folder, const std::string &name, FatEntry *existing, std::string_view content)
{
    // All or nothing: a write that fails half-way (no room for its entry,
    // no short name left) takes back the clusters it took, so that no later
    // commit writes a chain no entry names.
    const FatDirectory before = folder;
    const std::size_t data = m_data.size();
    const std::size_t toFree = m_toFree.size();
    const std::int64_t taken = m_taken;
    const std::uint64_t takenLow = m_takenLow;
    const std::uint64_t takenHigh = m_takenHigh;
    const std::uint32_t nextFree = m_nextFree;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> undo;
    m_undo = &undo;
    const Failure failed = writeWhole(folder, name, existing, content);
    m_undo = nullptr;
    if (failed.failed()) {
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        for (auto change = undo.rbegin(); change != undo.rend(); ++change)
            setNext(change->first, change->second, low, high);
        folder = before;
        m_data.resize(data);
        m_toFree.resize(toFree);
        m_taken = taken;
        m_takenLow = takenLow;
        m_takenHigh = takenHigh;
        m_nextFree = nextFree;
    }
    return failed;
}

Failure FatVolume::writeWhole(FatDirectory &folder, const std::string &name, FatEntry *existing,
                              std::string_view content)
{
    if (Failure failed = checkWhole(); failed.failed())
        return failed;
    std::u16string units;
    if (!toUtf16(name, units) || units.empty() || units.size() > 255
        || !std::all_of(units.begin(), units.end(), isLongNameCharacter) || name == "." || name == ".."
        || name.back() == '.' || name.back() == ' ')
        return Failure{EINVAL, "not a name a FAT drive can hold", 75, Step::Unset, {}};

    std::vector<std::uint32_t> clusters;
    if (!content.empty()) {
        const auto count = static_cast<std::uint32_t>((content.size() + m_layout.clusterBytes - 1) / m_layout.clusterBytes);
        Result<std::vector<std::uint32_t>> taken = allocate(count);
        if (!taken)
            return taken.failure();
        clusters = taken.take();
        for (std::size_t i = 0; i < clusters.size(); ++i) {
            std::vector<std::uint8_t> bytes(m_layout.clusterBytes, 0);
            const std::size_t from = i * m_layout.clusterBytes;
            std::memcpy(bytes.data(), content.data() + from, std::min<std::size_t>(m_layout.clusterBytes, content.size() - from));
            m_data.push_back({m_layout.dataOffset + std::uint64_t(clusters[i] - 2) * m_layout.clusterBytes,
                              std::move(bytes), false});
        }
    }
    const std::uint32_t first = clusters.empty() ? 0 : clusters.front();
    std::uint16_t date = 0;
    std::uint16_t time = 0;
    std::uint8_t tenths = 0;
    nowFields(date, time, tenths);
    auto fill = [&](std::uint8_t *record) {
        put16(record + 18, date);
        put16(record + 20, m_layout.type == FatType::Fat32 ? first >> 16 : 0);
        put16(record + 22, time);
        put16(record + 24, date);
        put16(record + 26, first & 0xFFFF);
        put32(record + 28, static_cast<std::uint32_t>(content.size()));
    };

    if (existing) {
        // The old clusters go once the entry names the new ones.
        if (existing->firstCluster != 0) {
            const std::uint64_t needed = std::max<std::uint64_t>(
                (std::uint64_t(existing->size) + m_layout.clusterBytes - 1) / m_layout.clusterBytes, 1);
            Result<std::vector<std::uint32_t>> old = chain(existing->firstCluster, needed);
            if (!old)
                return old.failure();
            m_toFree.insert(m_toFree.end(), old->begin(), old->end());
        }
        std::uint8_t *record = &folder.m_bytes[std::size_t(existing->slot) * slotBytes];
        record[11] = static_cast<std::uint8_t>(record[11] | FatAttribute::Archive);
        fill(record);
        existing->attributes = record[11];
        existing->firstCluster = first;
        existing->size = static_cast<std::uint32_t>(content.size());
        markDirty(folder, existing->slot);
        return {};
    }

    // The short name: the name itself where it is one in capitals; where it
    // is one but for its case, the same in capitals beside a long name;
    // else one made from it, with a number to tell it from the others.
    std::set<std::string> shortNames;
    for (const FatEntry &entry : folder.m_entries) {
        if (!entry.deleted)
            shortNames.emplace(reinterpret_cast<const char *>(entry.shortName.data()), 11);
    }
    const std::size_t dot = name.rfind('.');
    const std::string base = name.substr(0, dot == std::string::npos ? name.size() : dot);
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    auto valid = [](const std::string &part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return isShortNameCharacter(upper(c)); });
    };
    std::string shortName;
    bool needsLongName = true;
    if (!base.empty() && base.size() <= 8 && extension.size() <= 3 && valid(base) && valid(extension)
        && (dot == std::string::npos || !extension.empty())) {
        std::string candidate = base;
        std::transform(candidate.begin(), candidate.end(), candidate.begin(), upper);
        candidate.resize(8, ' ');
        std::string upperExtension = extension;
        std::transform(upperExtension.begin(), upperExtension.end(), upperExtension.begin(), upper);
        upperExtension.resize(3, ' ');
        candidate += upperExtension;
        if (shortNames.count(candidate) == 0) {
            shortName = candidate;
            needsLongName = std::any_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
        }
    }
    if (shortName.empty()) {
        auto cleaned = [](const std::string &part, std::size_t length) {
            std::string out;
            for (const char c : part) {
                if (c == ' ' || c == '.')
                    continue;
                out += isShortNameCharacter(upper(c)) ? upper(c) : '_';
                if (out.size() == length)
                    break;
            }
            return out;
        };
        std::string basis = cleaned(dot == 0 ? name : base, 8);
        if (basis.empty())
            basis = "_";
        std::string tail = cleaned(extension, 3);
        tail.resize(3, ' ');
        for (int number = 1; number < 1000000 && shortName.empty(); ++number) {
            const std::string suffix = "~" + std::to_string(number);
            std::string candidate = basis.substr(0, std::min(basis.size(), 8 - suffix.size())) + suffix;
            candidate.resize(8, ' ');
            candidate += tail;
            if (shortNames.count(candidate) == 0)
                shortName = candidate;
        }
        if (shortName.empty())
            return Failure{ENOSPC, "no short name is left for it", 0, Step::Unset, {}};
    }

    const std::uint32_t longRecords = needsLongName ? static_cast<std::uint32_t>((units.size() + 12) / 13) : 0;
    const std::uint32_t needed = longRecords + 1;
    // The records of one entry in one sector, so that it comes at once:
    // where others were deleted, else from the end mark on.
    const std::uint32_t perSector = m_layout.sectorBytes / slotBytes;
    std::optional<std::uint32_t> start;
    while (!start) {
        const auto slots = static_cast<std::uint32_t>(folder.m_bytes.size() / slotBytes);
        std::uint32_t run = 0;
        for (std::uint32_t slot = 0; slot < slots && !start; ++slot) {
            if (slot % perSector == 0)
                run = 0;
            const bool free = slot >= folder.m_end || folder.m_bytes[std::size_t(slot) * slotBytes] == deletedMark;
            run = free ? run + 1 : 0;
            if (run == needed)
                start = slot + 1 - needed;
        }
        if (!start) {
            if (Failure failed = extend(folder); failed.failed())
                return failed;
        }
    }
    // Records behind the end mark would never be looked at: the free ones
    // between the mark and the new entry are marked deleted instead.
    for (std::uint32_t slot = folder.m_end; slot < *start; ++slot) {
        std::memset(&folder.m_bytes[std::size_t(slot) * slotBytes], 0, slotBytes);
        folder.m_bytes[std::size_t(slot) * slotBytes] = deletedMark;
        markDirty(folder, slot);
    }
    std::uint8_t shortRecord[11];
    std::memcpy(shortRecord, shortName.data(), 11);
    const std::uint8_t sum = shortNameChecksum(shortRecord);
    for (std::uint32_t k = 0; k < longRecords; ++k) {
        const std::uint32_t order = longRecords - k;
        std::uint8_t *record = &folder.m_bytes[std::size_t(*start + k) * slotBytes];
        std::memset(record, 0, slotBytes);
        record[0] = static_cast<std::uint8_t>(order | (k == 0 ? 0x40 : 0));
        record[11] = FatAttribute::LongName;
        record[13] = sum;
        static constexpr int places[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (int i = 0; i < 13; ++i) {
            const std::size_t at = std::size_t(order - 1) * 13 + std::size_t(i);
            const std::uint32_t unit = at < units.size() ? units[at] : at == units.size() ? 0x0000 : 0xFFFF;
            put16(record + places[i], unit);
        }
    }
    const std::uint32_t slot = *start + longRecords;
    std::uint8_t *record = &folder.m_bytes[std::size_t(slot) * slotBytes];
    std::memset(record, 0, slotBytes);
    std::memcpy(record, shortRecord, 11);
    if (record[0] == deletedMark)
        record[0] = 0x05;
    record[11] = FatAttribute::Archive;
    record[13] = tenths;
    put16(record + 14, time);
    put16(record + 16, date);
    fill(record);
    for (std::uint32_t s = *start; s <= slot; ++s)
        markDirty(folder, s);
    if (slot >= folder.m_end) {
        // A new end mark after it, where the folder goes on.
        folder.m_end = slot + 1;
        if (std::size_t(slot + 1) * slotBytes < folder.m_bytes.size()) {
            std::memset(&folder.m_bytes[std::size_t(slot + 1) * slotBytes], 0, slotBytes);
            markDirty(folder, slot + 1);
        }
    }
    FatEntry entry;
    entry.name = name;
    std::copy_n(shortRecord, 11, entry.shortName.begin());
    entry.attributes = FatAttribute::Archive;
    entry.firstCluster = first;
    entry.size = static_cast<std::uint32_t>(content.size());
    entry.firstSlot = *start;
    entry.slot = slot;
    // In the folder's order, where its records went.
    const auto at = std::find_if(folder.m_entries.begin(), folder.m_entries.end(),
                                 [slot](const FatEntry &other) { return other.slot > slot; });
    folder.m_entries.insert(at, std::move(entry));
    folder.m_bySlot.clear();
    for (std::size_t i = 0; i < folder.m_entries.size(); ++i)
        folder.m_bySlot.emplace(folder.m_entries[i].slot, i);
    return {};
}

bool FatVolume::changed() const
{
    if (!m_data.empty() || !m_toFree.empty() || m_taken != 0)
        return true;
    for (const auto &[cluster, folder] : m_directories) {
        if (std::find(folder->m_dirty.begin(), folder->m_dirty.end(), true) != folder->m_dirty.end())
            return true;
    }
    return false;
}

// The FAT bytes low to high, to every copy kept the same, in one step;
// then FSInfo's count where it keeps one.
void FatVolume::addFatSpan(std::vector<CommitWrite> &writes, std::uint64_t low, std::uint64_t high)
{
    const std::uint32_t first = m_layout.mirrored ? 0 : m_layout.activeFat;
    const std::uint32_t last = m_layout.mirrored ? m_layout.fatCount - 1 : m_layout.activeFat;
    for (std::uint32_t copy = first; copy <= last; ++copy) {
        CommitWrite span;
        span.offset = m_layout.fatOffset + copy * m_layout.fatBytes + low;
        span.bytes.assign(m_fat.begin() + std::ptrdiff_t(low), m_fat.begin() + std::ptrdiff_t(high));
        writes.push_back(std::move(span));
    }
    if (m_layout.fsInfoOffset != 0 && !m_reserved.empty() && m_freeCount >= 0) {
        put32(m_reserved.data() + 488, static_cast<std::uint32_t>(m_freeCount));
        put32(m_reserved.data() + 492, m_nextFree);
        CommitWrite info;
        info.offset = m_layout.fsInfoOffset;
        info.bytes = m_reserved;
        writes.push_back(std::move(info));
    }
    writes.back().flushAfter = true;
}

std::vector<CommitWrite> FatVolume::commitSteps()
{
    std::vector<CommitWrite> writes;
    // 1. What new clusters hold, and 2. the FAT that takes them: nothing
    // names them yet.
    for (CommitWrite &data : m_data)
        writes.push_back(std::move(data));
    if (!writes.empty())
        writes.back().flushAfter = true;
    if (m_freeCount >= 0)
        m_freeCount -= m_taken;
    if (m_taken != 0)
        addFatSpan(writes, m_takenLow, m_takenHigh);
    // 3. The records, each folder in its own order, so that a long name is
    // marked deleted no later than its entry.
    const std::uint32_t sector = m_layout.sectorBytes;
    for (const auto &entry : m_directories) {
        const FatDirectory *folder = entry.second.get();
        const std::size_t sectors = folder->m_dirty.size();
        auto where = [folder, sector](std::size_t s) {
            return folder->m_pieces[s * sector / folder->m_pieceBytes] + (s * sector) % folder->m_pieceBytes;
        };
        for (std::size_t s = 0; s < sectors;) {
            if (!folder->m_dirty[s]) {
                ++s;
                continue;
            }
            const std::uint64_t offset = where(s);
            std::size_t run = 1;
            while (s + run < sectors && folder->m_dirty[s + run] && where(s + run) == offset + run * sector)
                ++run;
            CommitWrite records;
            records.offset = offset;
            records.bytes.assign(folder->m_bytes.begin() + std::ptrdiff_t(s * sector),
                                 folder->m_bytes.begin() + std::ptrdiff_t((s + run) * sector));
            writes.push_back(std::move(records));
            s += run;
        }
    }
    if (!writes.empty())
        writes.back().flushAfter = true;
    // 4. The clusters no entry names any more.
    if (!m_toFree.empty()) {
        std::uint64_t low = ~std::uint64_t(0);
        std::uint64_t high = 0;
        for (const std::uint32_t cluster : m_toFree)
            setNext(cluster, 0, low, high);
        m_nextFree = std::min(m_nextFree, *std::min_element(m_toFree.begin(), m_toFree.end()));
        if (m_freeCount >= 0)
            m_freeCount += static_cast<std::int64_t>(m_toFree.size());
        addFatSpan(writes, low, high);
    }
    return writes;
}

void FatVolume::committed()
{
    m_data.clear();
    m_toFree.clear();
    m_taken = 0;
    m_takenLow = ~std::uint64_t(0);
    m_takenHigh = 0;
    m_removals = 0;
    for (auto &[cluster, folder] : m_directories)
        std::fill(folder->m_dirty.begin(), folder->m_dirty.end(), false);
}

Failure DirectCommitter::run(BlockDevice &drive, const std::vector<CommitWrite> &writes)
{
    for (const CommitWrite &write : writes) {
        if (Failure failed = drive.write(write.offset, write.bytes.data(), write.bytes.size()); failed.failed())
            return failed;
        if (write.flushAfter) {
            if (Failure failed = drive.flush(); failed.failed())
                return failed;
        }
    }
    return {};
}
