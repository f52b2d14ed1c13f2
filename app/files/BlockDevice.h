#pragma once

#include "files/Failure.h"

#include <cstddef>
#include <cstdint>

class SystemCalls;

// The bytes of a disk, read and written by offset: an image file itself, or
// what QEMU's block layer makes of one. What a write or flush calls makes no
// allocation and takes no lock, so that a forked child may finish a commit
// its parent began.
class BlockDevice
{
public:
    virtual ~BlockDevice() = default;
    virtual std::uint64_t size() const = 0;
    // The whole range or a failure: a short read or write is one.
    virtual Failure read(std::uint64_t offset, void *data, std::size_t length) = 0;
    virtual Failure write(std::uint64_t offset, const void *data, std::size_t length) = 0;
    // What was written is on the disk.
    virtual Failure flush() = 0;
};

// An image file read and written in place.
class FileBlocks final : public BlockDevice
{
public:
    FileBlocks(SystemCalls &calls, int fd, std::uint64_t size);
    std::uint64_t size() const override { return m_size; }
    Failure read(std::uint64_t offset, void *data, std::size_t length) override;
    Failure write(std::uint64_t offset, const void *data, std::size_t length) override;
    Failure flush() override;

private:
    SystemCalls &m_calls;
    int m_fd;
    std::uint64_t m_size;
};

// One part of a disk, a partition, as a disk of its own: nothing before or
// after it can be read or written through it.
class PartitionView final : public BlockDevice
{
public:
    PartitionView(BlockDevice &disk, std::uint64_t start, std::uint64_t size);
    std::uint64_t size() const override { return m_size; }
    Failure read(std::uint64_t offset, void *data, std::size_t length) override;
    Failure write(std::uint64_t offset, const void *data, std::size_t length) override;
    Failure flush() override { return m_disk.flush(); }

private:
    bool inside(std::uint64_t offset, std::size_t length) const;

    BlockDevice &m_disk;
    std::uint64_t m_start;
    std::uint64_t m_size;
};

// An image in memory, for what reads a drive without a disk under it.
class MemoryBlocks final : public BlockDevice
{
public:
    MemoryBlocks(std::uint8_t *data, std::size_t size)
        : m_data(data)
        , m_size(size)
    {
    }
    std::uint64_t size() const override { return m_size; }
    Failure read(std::uint64_t offset, void *data, std::size_t length) override;
    Failure write(std::uint64_t offset, const void *data, std::size_t length) override;
    Failure flush() override { return {}; }

private:
    std::uint8_t *m_data;
    std::size_t m_size;
};
