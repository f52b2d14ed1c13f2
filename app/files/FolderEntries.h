#pragma once

#include <sys/types.h>

#include "files/Verdict.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class SystemCalls;

// The pieces the file services build on: an owned descriptor, one pass over
// a folder, the DOS attributes Wine keeps in extended attributes, and what an
// entry counts as. All calls go through SystemCalls.

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

// Wine's DOS attribute bits.
enum DosAttribute : unsigned {
    DosReadOnly = 0x1,
    DosHidden = 0x2,
    DosSystem = 0x4,
};

// The attribute bits in an extended attribute's value: hexadecimal text
// ("0x21"), or decimal. Only the text before the first NUL counts (file
// servers put a binary part after it). Nothing when that text is no number.
std::optional<unsigned> parseDosAttributes(std::string_view value);

// Reads the DOS attributes of entries of one folder, through the folder's
// handle so that the read cannot wander off to another folder. A value of
// any length is read whole. A file system without user attributes is asked
// only once.
class AttributeReader
{
public:
    AttributeReader(SystemCalls &calls, int folderFd);
    // The bits, 0 when the file system says the entry has none; nothing when
    // they cannot be told, and error() says why (ENOENT: the entry may have
    // gone; EBADMSG: a value that is no number).
    std::optional<unsigned> read(const char *name);
    int error() const { return m_error; }

private:
    bool routeReachesFolder();
    std::optional<unsigned> valueOf(const char *name, const char *attribute);

    SystemCalls &m_calls;
    int m_folderFd;
    bool m_supported = true;
    bool m_routeChecked = false;
    int m_routeError = 0;
    int m_error = 0;
    std::vector<char> m_list;
    std::vector<char> m_value;
};

enum class EntryKind {
    Gone,       // vanished since it was listed
    Other,      // a folder, a link to one, a FIFO, socket or device
    Hidden,     // DOS hidden or system
    ReadOnly,   // no write bit at all, or DOS read-only
    Unreadable, // could not be examined; error says why
    Deletable,  // an ordinary file, or a link that does not lead to a folder
};

struct EntryInfo
{
    EntryKind kind = EntryKind::Gone;
    // Delete, or why the entry is kept; kind says the same in fewer words.
    Verdict verdict = Verdict::Delete;
    int error = 0;
    bool isRegular = false;
    // Unreadable because of its DOS attributes, not its status.
    bool attributesUnread = false;
    // Of a regular file: what a file written in its place keeps.
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    // Of a file to delete: its size in bytes.
    std::uint64_t size = 0;
};

// What the entry name of a folder counts as. Names beginning with "." are the
// caller's to skip; they never reach the host.
EntryInfo classifyEntry(SystemCalls &calls, int folderFd, const char *name, AttributeReader &attributes);

// The one decision first-match, delete-by-pattern and a survey take about a
// matching entry of a folder: delete it, or keep it and why. Names beginning
// with "." and entries whose getdents64 type (DT_UNKNOWN when not known)
// rules them out are judged without a system call. "." and ".." are the
// caller's to skip.
EntryInfo judgeEntry(SystemCalls &calls, int folderFd, const char *name, unsigned char type,
                     AttributeReader &attributes);

// A name compared with many others on drive C:.
class FoldedName
{
public:
    explicit FoldedName(std::string_view name);
    bool sameAs(std::string_view other) const;

private:
    std::string m_name;
    bool m_ascii;
    std::u32string m_folded;
    mutable std::u32string m_scratch;
};
