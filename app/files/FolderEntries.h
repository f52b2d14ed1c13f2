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
// handle so that the read cannot wander off to another folder: Wine's, and
// those the folder's file system keeps itself (the FAT attribute byte, the
// NTFS attributes), a bit set in any of them counting. A value of any
// length is read whole. A file system without user attributes is asked
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

    // The kinds of file system that keep DOS attributes of their own.
    enum class FileSystem { Unknown, Fat, Ntfs, Fuse, Other };

private:
    std::optional<unsigned> wineAttributes(const char *name);
    std::optional<unsigned> fileSystemAttributes(const char *name);
    std::optional<unsigned> binaryValue(const char *name, const char *attribute, std::size_t size);
    bool routeReachesFolder();
    std::optional<unsigned> valueOf(const char *name, const char *attribute);

    SystemCalls &m_calls;
    int m_folderFd;
    FileSystem m_fileSystem = FileSystem::Unknown;
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
    InUse,      // held open or mapped by a process
    Deletable,  // an ordinary file, or a link that does not lead to a folder
};

struct EntryInfo
{
    EntryKind kind = EntryKind::Gone;
    // Delete, or why the entry is kept; kind says the same in fewer words.
    Verdict verdict = Verdict::Delete;
    int error = 0;
    bool isRegular = false;
    // Unreadable because of its DOS attributes, not its status; because
    // whether it is in use could not be told; because another file took its
    // place while it was examined.
    bool attributesUnread = false;
    bool useUnknown = false;
    bool replaced = false;
    // Of a file in use: who holds it, where that can be seen.
    std::string holders;
    // Of a regular file: what a file written in its place keeps.
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    // Of a file to delete: its size in bytes.
    std::uint64_t size = 0;
    // Which file it was, to know it again.
    dev_t device = 0;
    ino_t inode = 0;
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

// The files that processes hold open or have mapped, as /proc shows them to
// this user: for naming who holds a file, and where no lease can be had.
class ProcessTable
{
public:
    explicit ProcessTable(SystemCalls &calls);

    // Whether some process holds the file, from a look at /proc at most
    // renewAfter old; nothing, with error() set, when /proc cannot be read.
    std::optional<bool> holds(dev_t device, ino_t inode);
    // "name (PID n), ..." of the processes that hold the file now; "" where
    // none can be seen.
    std::string holders(dev_t device, ino_t inode);
    int error() const { return m_error; }

    static constexpr long renewAfterMilliseconds = 50;

private:
    template <typename Visit>
    bool scan(dev_t device, Visit visit);
    bool readWholeFile(int folderFd, const char *path, std::string &text);

    SystemCalls &m_calls;
    int m_error = 0;
    dev_t m_device = 0;
    long long m_takenAt = -1;
    std::vector<ino_t> m_held;
    std::vector<char> m_buffer;
    std::vector<char> m_innerBuffer;
};

// Whether a process holds a regular file of a folder open or mapped, as
// Windows, which refuses to delete such a file, would know. A write lease
// tells in one call, and while it is held any other open of the file waits:
// a file found free stays free until the lease is let go, so checking and
// deleting are one step. Where the host grants no lease (another user's
// file, a file system without leases) the process table tells instead.
class UseCheck
{
public:
    enum class Outcome {
        Free,    // no one else holds it; the lease is held until release()
        InUse,   // holders() names who, where that can be seen
        Gone,    // vanished since it was judged
        Changed, // another file stands in the judged one's place
        Unknown, // could not be told; error() says why
    };

    explicit UseCheck(SystemCalls &calls);
    Outcome claim(int folderFd, const char *name, const EntryInfo &judged);
    void release() { m_lease.reset(); }
    const std::string &holders() const { return m_holders; }
    int error() const { return m_error; }

private:
    Outcome fromProcessTable(const EntryInfo &judged);

    SystemCalls &m_calls;
    Descriptor m_lease;
    ProcessTable m_table;
    std::string m_holders;
    int m_error = 0;
};

// Whether a file judged deletable is in use (see UseCheck), told in info:
// InUse, Gone, or Unreadable when it cannot be told. A regular file found
// free stays leased until use.release(); other entries are not looked at.
void judgeUse(UseCheck &use, int folderFd, const char *name, EntryInfo &info);

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
