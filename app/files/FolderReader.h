#pragma once

#include <sys/types.h>

#include <cstddef>

class SystemCalls;

// An owned descriptor, one pass over a folder, and the one way a file of a
// cleaned folder is opened. All calls go through SystemCalls.

class Descriptor
{
public:
    Descriptor() = default;
    Descriptor(SystemCalls &calls, int fd);
    Descriptor(Descriptor &&other) noexcept;
    Descriptor &operator=(Descriptor &&other) noexcept;
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor();

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    // Closes now and returns 0 or the errno that close reported.
    int close();
    void reset();

private:
    SystemCalls *m_calls = nullptr;
    int m_fd = -1;
};

// Reads a folder once through getdents64, a buffer at a time.
class FolderReader
{
public:
    struct Entry
    {
        const char *name = nullptr;
        unsigned char type = 0; // DT_REG, DT_DIR, ... or DT_UNKNOWN
    };

    FolderReader(SystemCalls &calls, int folderFd, char *buffer, std::size_t size);

    // False at the end of the folder, or on a failure that error() names.
    bool next(Entry &entry);
    int error() const { return m_error; }
    // From the start of the buffer again, once the folder was sought to its start.
    void restart()
    {
        m_at = m_filled = 0;
        m_error = 0;
        m_done = false;
    }

private:
    SystemCalls &m_calls;
    int m_fd;
    char *m_buffer;
    std::size_t m_size;
    std::size_t m_at = 0;
    std::size_t m_filled = 0;
    int m_error = 0;
    bool m_done = false;
};

// Opens the entry name of a folder to look at it, read-only: never through a
// link (ELOOP), never waiting (another's lease: EWOULDBLOCK), never as a
// controlling terminal. The access time is spared where the host lets it
// (the owner's files): on a journalling disk its update would cost more
// than the look. The descriptor, or -1 and errno.
int openToLook(SystemCalls &calls, int folderFd, const char *name);
