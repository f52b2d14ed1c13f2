#include "files/FolderReader.h"

#include "files/SystemCalls.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace {

constexpr int lookFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

} // namespace

Descriptor::Descriptor(SystemCalls &calls, int fd)
    : m_calls(&calls)
    , m_fd(fd)
{
}

Descriptor::Descriptor(Descriptor &&other) noexcept
    : m_calls(other.m_calls)
    , m_fd(std::exchange(other.m_fd, -1))
{
}

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept
{
    if (this != &other) {
        reset();
        m_calls = other.m_calls;
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

Descriptor::~Descriptor()
{
    reset();
}

int Descriptor::close()
{
    if (m_fd < 0)
        return 0;
    const int result = m_calls->close(std::exchange(m_fd, -1));
    return result == 0 ? 0 : errno;
}

void Descriptor::reset()
{
    if (m_fd >= 0) {
        const int saved = errno;
        m_calls->close(std::exchange(m_fd, -1));
        errno = saved;
    }
}

FolderReader::FolderReader(SystemCalls &calls, int folderFd, char *buffer, std::size_t size)
    : m_calls(calls)
    , m_fd(folderFd)
    , m_buffer(buffer)
    , m_size(size)
{
}

bool FolderReader::next(Entry &entry)
{
    constexpr std::size_t nameOffset = offsetof(struct dirent64, d_name);
    for (;;) {
        if (m_at < m_filled) {
            unsigned short length;
            std::memcpy(&length, m_buffer + m_at + offsetof(struct dirent64, d_reclen), sizeof length);
            if (length <= nameOffset || length > m_filled - m_at) {
                m_error = EIO;
                m_done = true;
                m_filled = 0;
                return false;
            }
            std::memcpy(&entry.type, m_buffer + m_at + offsetof(struct dirent64, d_type), sizeof entry.type);
            entry.name = m_buffer + m_at + nameOffset;
            m_at += length;
            return true;
        }
        if (m_done)
            return false;
        const ssize_t got = m_calls.getdents64(m_fd, m_buffer, m_size);
        if (got <= 0) {
            m_done = true;
            // A folder removed while it is read simply has no more entries.
            if (got < 0 && errno != ENOENT)
                m_error = errno;
            return false;
        }
        m_filled = std::size_t(got);
        m_at = 0;
    }
}

int openToLook(SystemCalls &calls, int folderFd, const char *name)
{
    const int fd = calls.openat(folderFd, name, lookFlags | O_NOATIME, 0);
    return fd >= 0 || errno != EPERM ? fd : calls.openat(folderFd, name, lookFlags, 0);
}
