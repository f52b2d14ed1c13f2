#pragma once

#include "files/BlockDevice.h"
#include "files/Failure.h"

#include <cstddef>
#include <cstdint>
#include <string>

// What kind of disk image a file is, told by its contents, and where drive
// C: lies in the disk it holds.

struct ImageFormat
{
    // The name users know it by ("qcow2", "VHD (fixed)"), and the driver of
    // QEMU's block layer that reads it; "raw" is read here, directly.
    std::string name;
    std::string driver;
    bool raw() const { return driver == "raw"; }
};

// head holds the first bytes of the file (up to 1 KB), tail its last 512
// bytes where it has them; size is the file's. A format this program cannot
// read is a failure naming it.
Result<ImageFormat> detectImageFormat(const std::uint8_t *head, std::size_t headBytes, const std::uint8_t *tail,
                                      std::size_t tailBytes, std::uint64_t size);

struct DriveLocation
{
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    // "the first partition (type 0C) at sector 63", "the whole disk".
    std::string where;
};

// Drive C: of a disk, as Windows 98 finds it: the first primary FAT
// partition of its MBR, or the whole disk where it is a FAT file system
// itself. A disk without one is a failure saying what it holds instead.
Result<DriveLocation> findDriveC(BlockDevice &disk);
