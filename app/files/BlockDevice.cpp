#include "files/BlockDevice.h"

#include "files/SystemCalls.h"

#include <cerrno>
#include <cstring>

namespace {

// A range the disk does not have: a structure that points past its end.
Failure beyondTheEnd()
{
    return Failure{EIO, "damaged: a structure points beyond the end of the drive", 0, Step::Unset, {}};
}

} // namespace

FileBlocks::FileBlocks(SystemCalls &calls, int fd, std::uint64_t size)
    : m_calls(calls)
    , m_fd(fd)
    , m_size(size)
{
}

Failure FileBlocks::read(std::uint64_t offset, void *data, std::size_t length)
{
    if (offset > m_size || length > m_size - offset)
        return beyondTheEnd();
    auto *at = static_cast<char *>(data);
    while (length > 0) {
        const ssize_t got = m_calls.pread(m_fd, at, length, off_t(offset));
        if (got < 0)
            return Failure::of(errno);
        if (got == 0)
            return Failure::of(EIO);
        at += got;
        offset += std::uint64_t(got);
        length -= std::size_t(got);
    }
    return {};
}

Failure FileBlocks::write(std::uint64_t offset, const void *data, std::size_t length)
{
    if (offset > m_size || length > m_size - offset)
        return beyondTheEnd();
    const auto *at = static_cast<const char *>(data);
    while (length > 0) {
        const ssize_t put = m_calls.pwrite(m_fd, at, length, off_t(offset));
        if (put < 0)
            return Failure::of(errno);
        if (put == 0)
            return Failure::of(EIO);
        at += put;
        offset += std::uint64_t(put);
        length -= std::size_t(put);
    }
    return {};
}

Failure FileBlocks::flush()
{
    return m_calls.fsync(m_fd) == 0 ? Failure() : Failure::of(errno);
}

PartitionView::PartitionView(BlockDevice &disk, std::uint64_t start, std::uint64_t size)
    : m_disk(disk)
    , m_start(start)
    , m_size(size)
{
}

bool PartitionView::inside(std::uint64_t offset, std::size_t length) const
{
    return offset <= m_size && length <= m_size - offset;
}

Failure PartitionView::read(std::uint64_t offset, void *data, std::size_t length)
{
    return inside(offset, length) ? m_disk.read(m_start + offset, data, length) : beyondTheEnd();
}

Failure PartitionView::write(std::uint64_t offset, const void *data, std::size_t length)
{
    return inside(offset, length) ? m_disk.write(m_start + offset, data, length) : beyondTheEnd();
}

Failure MemoryBlocks::read(std::uint64_t offset, void *data, std::size_t length)
{
    if (offset > m_size || length > m_size - offset)
        return beyondTheEnd();
    std::memcpy(data, m_data + offset, length);
    return {};
}

Failure MemoryBlocks::write(std::uint64_t offset, const void *data, std::size_t length)
{
    if (offset > m_size || length > m_size - offset)
        return beyondTheEnd();
    std::memcpy(m_data + offset, data, length);
    return {};
}
