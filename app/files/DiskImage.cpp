#include "files/DiskImage.h"

#include "files/FatVolume.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

std::uint32_t be32(const std::uint8_t *at)
{
    return (std::uint32_t(at[0]) << 24) | (std::uint32_t(at[1]) << 16) | (std::uint32_t(at[2]) << 8) | at[3];
}

std::uint32_t le32(const std::uint8_t *at)
{
    return std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16)
           | (std::uint32_t(at[3]) << 24);
}

bool startsWith(const std::uint8_t *data, std::size_t size, std::string_view text)
{
    return size >= text.size() && std::memcmp(data, text.data(), text.size()) == 0;
}

// Not a drive C: of this program's kind, with what it is instead; as for a
// missing drive, nothing can be done on it.
Failure notADrive(std::string what)
{
    return Failure{ENOENT, std::move(what), 76, Step::Unset, {}};
}

} // namespace

Result<ImageFormat> detectImageFormat(const std::uint8_t *head, std::size_t headBytes, const std::uint8_t *tail,
                                      std::size_t tailBytes, std::uint64_t size)
{
    if (startsWith(head, headBytes, "QFI\xfb") && headBytes >= 8) {
        const std::uint32_t version = be32(head + 4);
        if (version == 2 || version == 3)
            return ImageFormat{"qcow2", "qcow2"};
        if (version == 1)
            return ImageFormat{"qcow", "qcow"};
        return notADrive("a qcow image of version " + std::to_string(version));
    }
    if (startsWith(head, headBytes, "QEVM"))
        return notADrive("a QED image, which no emulator of Windows 98 writes");
    if (headBytes >= 0x44 && le32(head + 0x40) == 0xBEDA107F)
        return ImageFormat{"VDI", "vdi"};
    if (startsWith(head, headBytes, "KDMV") || startsWith(head, headBytes, "# Disk DescriptorFile"))
        return ImageFormat{"VMDK", "vmdk"};
    if (startsWith(head, headBytes, "COWD"))
        return ImageFormat{"VMDK (ESX)", "vmdk"};
    // A VHD ends with its footer; a dynamic one starts with a copy of it.
    const std::uint8_t *footer = startsWith(head, headBytes, "conectix") ? head
                                 : tailBytes == 512 && startsWith(tail, tailBytes, "conectix") ? tail
                                                                                               : nullptr;
    if (footer) {
        if (headBytes < 64 && footer == head)
            return notADrive("a VHD image too short to read");
        switch (be32(footer + 60)) {
        case 2:
            return ImageFormat{"VHD (fixed)", "vpc"};
        case 3:
            return ImageFormat{"VHD (dynamic)", "vpc"};
        case 4:
            return notADrive("a differencing VHD image, whose drive lies partly in another image");
        default:
            return notADrive("a VHD image of an unknown kind");
        }
    }
    if (size < 512)
        return notADrive("a file of " + std::to_string(size) + " bytes, too small for a disk");
    return ImageFormat{"raw", "raw"};
}

Result<DriveLocation> findDriveC(BlockDevice &disk)
{
    std::uint8_t sector[512];
    if (disk.size() < sizeof sector)
        return notADrive("a disk of " + std::to_string(disk.size()) + " bytes, too small for a drive");
    if (Failure failed = disk.read(0, sector, sizeof sector); failed.failed())
        return failed;
    if (looksLikeFatBootSector(sector))
        return DriveLocation{0, disk.size(), "the whole disk"};
    if (sector[510] == 0x55 && sector[511] == 0xAA) {
        std::string types;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t *entry = sector + 446 + 16 * i;
            const std::uint8_t type = entry[4];
            if (type == 0)
                continue;
            char shown[8];
            std::snprintf(shown, sizeof shown, "%02X", type);
            if (type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E) {
                const std::uint64_t start = std::uint64_t(le32(entry + 8)) * 512;
                const std::uint64_t size = std::uint64_t(le32(entry + 12)) * 512;
                if (size == 0 || start == 0 || start > disk.size() || size > disk.size() - start)
                    return notADrive("a partition table whose FAT partition (type " + std::string(shown)
                                     + ") does not lie within the disk");
                return DriveLocation{start, size,
                                     "partition " + std::to_string(i + 1) + " (type " + shown + ") at sector "
                                         + std::to_string(le32(entry + 8))};
            }
            if (type == 0xEE)
                return notADrive("a GPT partition table, which Windows 98 cannot read");
            types += (types.empty() ? "" : ", ") + std::string(shown);
        }
        if (!types.empty())
            return notADrive("a partition table without a FAT partition (its partitions are of type " + types + ")");
    }
    std::uint8_t more[1024];
    if (disk.size() >= 1080 + 2 && !disk.read(1024, more, 512).failed() && more[56] == 0x53 && more[57] == 0xEF)
        return notADrive("an ext2, ext3 or ext4 file system, not a Windows drive");
    if (startsWith(sector + 3, sizeof sector - 3, "NTFS    "))
        return notADrive("an NTFS file system, which Windows 98 cannot read");
    if (disk.size() >= 32769 + 5 && !disk.read(32769, more, 5).failed() && std::memcmp(more, "CD001", 5) == 0)
        return notADrive("a CD image (ISO 9660), not a hard disk");
    if (std::all_of(sector, sector + sizeof sector, [](std::uint8_t byte) { return byte == 0; }))
        return notADrive("an empty disk: its first sector holds nothing");
    return notADrive("neither a partition table nor a FAT file system");
}
