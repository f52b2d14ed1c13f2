#include "files/FolderEntries.h"

#include "files/CaseFolding.h"
#include "files/SystemCalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>

namespace {

bool isAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char asciiUpper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - ('a' - 'A')) : c;
}

// Wine writes the attributes under the Samba name; tools that follow the
// older convention use the other one. Both are honoured.
constexpr const char *attributeNames[] = {"user.DOSATTRIB", "user.DOS_ATTRIB"};

// The file systems' own attributes: the kernel's ntfs3 driver gives the
// attribute byte, ntfs-3g (a FUSE file system) the four bytes big-endian.
constexpr const char *ntfsByteAttribute = "system.dos_attrib";
constexpr const char *ntfsWordAttribute = "system.ntfs_attrib_be";

// statfs f_type of the file systems that keep attributes of their own.
constexpr long msdosSuperMagic = 0x4d44;
constexpr long ntfsSuperMagic = 0x5346544e;
constexpr long fuseSuperMagic = 0x65735546;

constexpr unsigned dosAttributeBits = DosReadOnly | DosHidden | DosSystem;

// How a file of a cleaned folder is opened to look at it: never a link, never
// waiting (another lease holder, a FIFO swapped in), never a terminal.
constexpr int probeFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Opens a file to look at it. Looking leaves its access time alone where the
// host lets it (the owner's files): on a journalling disk the update would
// cost more than the look.
int openToLook(SystemCalls &calls, int folderFd, const char *name)
{
    const int fd = calls.openat(folderFd, name, probeFlags | O_NOATIME, 0);
    return fd >= 0 || errno != EPERM ? fd : calls.openat(folderFd, name, probeFlags, 0);
}

// Linux never keeps a longer value or list (XATTR_SIZE_MAX).
constexpr std::size_t largestAttribute = 64 * 1024;

// One list or value whole into buffer: the size the host reports when the
// buffer is short, and again while the value keeps growing between the two
// calls, for a few rounds. The length, or -1 and errno.
template<typename Read>
ssize_t readWhole(std::vector<char> &buffer, Read read)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t got = read(buffer.data(), buffer.size());
        // More than it could have written: nothing it says can be trusted.
        if (got > ssize_t(buffer.size())) {
            errno = EIO;
            return -1;
        }
        if (got >= 0 || errno != ERANGE)
            return got;
        const ssize_t needed = read(nullptr, 0);
        if (needed < 0)
            return -1;
        if (std::size_t(needed) > largestAttribute) {
            errno = E2BIG;
            return -1;
        }
        buffer.resize(std::max(buffer.size(), std::size_t(needed)));
    }
    errno = ERANGE;
    return -1;
}

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

std::optional<unsigned> parseDosAttributes(std::string_view value)
{
    value = value.substr(0, value.find('\0'));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\n' || value.back() == '\t'))
        value.remove_suffix(1);
    int base = 10;
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        value.remove_prefix(2);
        base = 16;
    }
    std::uint32_t bits = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), bits, base);
    if (value.empty() || error != std::errc() || end != value.data() + value.size())
        return std::nullopt;
    return bits;
}

AttributeReader::AttributeReader(SystemCalls &calls, int folderFd)
    : m_calls(calls)
    , m_folderFd(folderFd)
    , m_list(256)
    , m_value(64)
{
}

std::optional<unsigned> AttributeReader::read(const char *name)
{
    m_error = 0;
    const std::optional<unsigned> wine = wineAttributes(name);
    if (!wine)
        return std::nullopt;
    const std::optional<unsigned> own = fileSystemAttributes(name);
    if (!own)
        return std::nullopt;
    return *wine | *own;
}

std::optional<unsigned> AttributeReader::wineAttributes(const char *name)
{
    if (!m_supported)
        return 0u;
    // One call answers the common case, a file without attributes.
    const ssize_t size = readWhole(m_list, [&](char *list, std::size_t room) {
        return m_calls.listxattrat(m_folderFd, name, list, room);
    });
    const int error = errno;
    // Not even "none" can be trusted from a route that leads elsewhere.
    if (!routeReachesFolder())
        return std::nullopt;
    if (size < 0) {
        if (error == ENOTSUP)
            m_supported = false;
        if (error == ENOTSUP || error == ENODATA)
            return 0u;
        m_error = error;
        return std::nullopt;
    }
    unsigned bits = 0;
    for (std::size_t at = 0; at < std::size_t(size);) {
        const char *attribute = m_list.data() + at;
        const std::size_t attributeLength = strnlen(attribute, std::size_t(size) - at);
        for (const char *wanted : attributeNames) {
            if (std::string_view(attribute, attributeLength) != wanted)
                continue;
            const std::optional<unsigned> value = valueOf(name, wanted);
            if (!value)
                return std::nullopt;
            bits |= *value;
        }
        at += attributeLength + 1;
    }
    return bits;
}

std::optional<unsigned> AttributeReader::fileSystemAttributes(const char *name)
{
    if (m_fileSystem == FileSystem::Unknown) {
        struct statfs status;
        if (m_calls.fstatfs(m_folderFd, &status) != 0) {
            m_error = errno;
            return std::nullopt;
        }
        m_fileSystem = status.f_type == msdosSuperMagic  ? FileSystem::Fat
                       : status.f_type == ntfsSuperMagic ? FileSystem::Ntfs
                       : status.f_type == fuseSuperMagic ? FileSystem::Fuse
                                                         : FileSystem::Other;
    }
    switch (m_fileSystem) {
    case FileSystem::Fat: {
        // vfat shows hidden and system in no other way, and unlink heeds
        // neither.
        Descriptor file(m_calls, openToLook(m_calls, m_folderFd, name));
        std::uint32_t bits = 0;
        if (!file || m_calls.fatAttributes(file.get(), bits) != 0) {
            m_error = errno;
            return std::nullopt;
        }
        return bits & dosAttributeBits;
    }
    case FileSystem::Ntfs:
        return binaryValue(name, ntfsByteAttribute, 1);
    case FileSystem::Fuse:
        // Other FUSE file systems do not know the name, and say so.
        return binaryValue(name, ntfsWordAttribute, 4);
    case FileSystem::Unknown:
    case FileSystem::Other:
        break;
    }
    return 0u;
}

// A fixed-size binary attribute; a big-endian word when size is 4.
std::optional<unsigned> AttributeReader::binaryValue(const char *name, const char *attribute, std::size_t size)
{
    unsigned char value[4] = {};
    const ssize_t got = m_calls.getxattrat(m_folderFd, name, attribute, value, sizeof value);
    if (got < 0) {
        if (errno == ENODATA || errno == ENOTSUP || errno == ENOSYS)
            return 0u;
        m_error = errno;
        return std::nullopt;
    }
    if (std::size_t(got) != size) {
        m_error = EBADMSG;
        return std::nullopt;
    }
    return (size == 4 ? unsigned(value[3]) : unsigned(value[0])) & dosAttributeBits;
}

// Checked once per folder, after the first call has settled which route the
// host takes.
bool AttributeReader::routeReachesFolder()
{
    if (!m_routeChecked && m_calls.attributesThroughProc()) {
        m_routeChecked = true;
        if (m_calls.checkAttributeRoute(m_folderFd) != 0)
            m_routeError = errno;
    }
    m_error = m_routeError;
    return m_routeError == 0;
}

std::optional<unsigned> AttributeReader::valueOf(const char *name, const char *attribute)
{
    const ssize_t size = readWhole(m_value, [&](char *value, std::size_t room) {
        return m_calls.getxattrat(m_folderFd, name, attribute, value, room);
    });
    if (size < 0) {
        // Removed since it was listed, or a file system that keeps none.
        if (errno == ENODATA || errno == ENOTSUP)
            return 0u;
        m_error = errno;
        return std::nullopt;
    }
    const std::optional<unsigned> bits = parseDosAttributes(std::string_view(m_value.data(), std::size_t(size)));
    if (!bits)
        m_error = EBADMSG;
    return bits;
}

EntryInfo classifyEntry(SystemCalls &calls, int folderFd, const char *name, AttributeReader &attributes)
{
    struct stat status;
    if (calls.fstatat(folderFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        EntryInfo info;
        info.kind = error == ENOENT ? EntryKind::Gone : EntryKind::Unreadable;
        info.verdict = Verdict::Unreadable;
        info.error = error;
        return info;
    }
    EntryInfo info;
    info.kind = EntryKind::Deletable;
    info.size = std::uint64_t(status.st_size);
    info.device = status.st_dev;
    info.inode = status.st_ino;
    if (S_ISLNK(status.st_mode)) {
        // A link carries no attributes of its own; only where it leads matters.
        struct stat target;
        if (calls.fstatat(folderFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
            info.kind = EntryKind::Other;
            info.verdict = Verdict::LinkToFolder;
        }
        return info;
    }
    if (!S_ISREG(status.st_mode)) {
        info.kind = EntryKind::Other;
        info.verdict = S_ISDIR(status.st_mode) ? Verdict::Folder : Verdict::Special;
        return info;
    }
    info.isRegular = true;
    info.mode = status.st_mode;
    info.owner = status.st_uid;
    info.group = status.st_gid;
    const std::optional<unsigned> bits = attributes.read(name);
    if (!bits) {
        // ENOENT is "gone" only when the entry really is: through a /proc
        // that is not this process's, every name is missing.
        info.error = attributes.error();
        info.kind = info.error == ENOENT && calls.fstatat(folderFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0
                            && errno == ENOENT
                        ? EntryKind::Gone
                        : EntryKind::Unreadable;
        info.verdict = Verdict::Unreadable;
        info.attributesUnread = true;
    } else if (*bits & (DosHidden | DosSystem)) {
        info.kind = EntryKind::Hidden;
        info.verdict = Verdict::DosHidden;
    } else if (*bits & DosReadOnly) {
        info.kind = EntryKind::ReadOnly;
        info.verdict = Verdict::DosReadOnly;
    } else if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        info.kind = EntryKind::ReadOnly;
        info.verdict = Verdict::ReadOnly;
    }
    return info;
}

EntryInfo judgeEntry(SystemCalls &calls, int folderFd, const char *name, unsigned char type,
                     AttributeReader &attributes)
{
    EntryInfo info;
    if (name[0] == '.') {
        // Wine's hidden files: never looked at further.
        info.kind = EntryKind::Hidden;
        info.verdict = Verdict::Hidden;
        return info;
    }
    if (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN) {
        info.kind = EntryKind::Other;
        info.verdict = type == DT_DIR ? Verdict::Folder : Verdict::Special;
        return info;
    }
    return classifyEntry(calls, folderFd, name, attributes);
}

namespace {

long long millisecondsNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isNumber(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

// The device and inode of one line of /proc/PID/maps: "start-end perms
// offset major:minor inode path"; false for a line without them.
bool mappedFile(std::string_view line, dev_t &device, ino_t &inode)
{
    auto field = [&line]() {
        while (!line.empty() && line.front() == ' ')
            line.remove_prefix(1);
        const std::size_t end = std::min(line.find(' '), line.size());
        const std::string_view word = line.substr(0, end);
        line.remove_prefix(end);
        return word;
    };
    field();
    field();
    field();
    const std::string_view numbers = field();
    const std::string_view inodeText = field();
    const std::size_t colon = numbers.find(':');
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long long number = 0;
    if (colon == std::string_view::npos
        || std::from_chars(numbers.data(), numbers.data() + colon, major, 16).ec != std::errc()
        || std::from_chars(numbers.data() + colon + 1, numbers.data() + numbers.size(), minor, 16).ec
               != std::errc()
        || std::from_chars(inodeText.data(), inodeText.data() + inodeText.size(), number).ec != std::errc()
        || number == 0)
        return false;
    device = makedev(major, minor);
    inode = ino_t(number);
    return true;
}

} // namespace

ProcessTable::ProcessTable(SystemCalls &calls)
    : m_calls(calls)
{
}

bool ProcessTable::readWholeFile(int folderFd, const char *path, std::string &text)
{
    text.clear();
    Descriptor file(m_calls, m_calls.openat(folderFd, path, O_RDONLY | O_CLOEXEC, 0));
    if (!file)
        return false;
    char chunk[4096];
    for (;;) {
        const ssize_t got = m_calls.read(file.get(), chunk, sizeof chunk);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        text.append(chunk, std::size_t(got));
    }
}

// Hands visit(pid, inode) every file of device that a process this user may
// look at holds open or mapped. Processes come and go while /proc is read,
// and some are not this user's to see: those are passed over. False, with
// error set, only when /proc itself cannot be read.
template <typename Visit>
bool ProcessTable::scan(dev_t device, Visit visit)
{
    Descriptor proc(m_calls, m_calls.openat(AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!proc) {
        m_error = errno;
        return false;
    }
    m_buffer.resize(32 * 1024);
    m_innerBuffer.resize(16 * 1024);
    std::string text;
    FolderReader processes(m_calls, proc.get(), m_buffer.data(), m_buffer.size());
    FolderReader::Entry process;
    while (processes.next(process)) {
        if (!isNumber(process.name))
            continue;
        const std::string pid = process.name;
        Descriptor descriptors(m_calls, m_calls.openat(proc.get(), (pid + "/fd").c_str(),
                                                       O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        if (descriptors) {
            FolderReader reader(m_calls, descriptors.get(), m_innerBuffer.data(), m_innerBuffer.size());
            FolderReader::Entry entry;
            while (reader.next(entry)) {
                struct stat status;
                if (isNumber(entry.name) && m_calls.fstatat(descriptors.get(), entry.name, &status, 0) == 0
                    && status.st_dev == device)
                    visit(pid, status.st_ino);
            }
        }
        if (readWholeFile(proc.get(), (pid + "/maps").c_str(), text)) {
            std::string_view rest = text;
            while (!rest.empty()) {
                const std::size_t end = std::min(rest.find('\n'), rest.size());
                dev_t mappedDevice = 0;
                ino_t inode = 0;
                if (mappedFile(rest.substr(0, end), mappedDevice, inode) && mappedDevice == device)
                    visit(pid, inode);
                rest.remove_prefix(std::min(end + 1, rest.size()));
            }
        }
    }
    if (processes.error() != 0) {
        m_error = processes.error();
        return false;
    }
    return true;
}

std::optional<bool> ProcessTable::holds(dev_t device, ino_t inode)
{
    const long long now = millisecondsNow();
    if (m_takenAt < 0 || device != m_device || now - m_takenAt > renewAfterMilliseconds) {
        m_held.clear();
        if (!scan(device, [this](const std::string &, ino_t held) { m_held.push_back(held); }))
            return std::nullopt;
        std::sort(m_held.begin(), m_held.end());
        m_device = device;
        m_takenAt = now;
    }
    return std::binary_search(m_held.begin(), m_held.end(), inode);
}

std::string ProcessTable::holders(dev_t device, ino_t inode)
{
    std::set<long> pids;
    scan(device, [&](const std::string &pid, ino_t held) {
        if (held == inode)
            pids.insert(std::stol(pid));
    });
    std::string names;
    std::string comm;
    Descriptor proc(m_calls, m_calls.openat(AT_FDCWD, "/proc", O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
    for (const long pid : pids) {
        const std::string id = std::to_string(pid);
        if (!proc || !readWholeFile(proc.get(), (id + "/comm").c_str(), comm))
            comm.clear();
        while (!comm.empty() && comm.back() == '\n')
            comm.pop_back();
        if (!names.empty())
            names += ", ";
        names += (comm.empty() ? std::string("a process") : comm) + " (PID " + id + ")";
    }
    return names;
}

UseCheck::UseCheck(SystemCalls &calls)
    : m_calls(calls)
    , m_table(calls)
{
}

UseCheck::Outcome UseCheck::claim(int folderFd, const char *name, const EntryInfo &judged)
{
    release();
    m_holders.clear();
    m_error = 0;
    Descriptor file(m_calls, openToLook(m_calls, folderFd, name));
    if (!file) {
        const int error = errno;
        if (error == ENOENT)
            return Outcome::Gone;
        // Another lease holder makes every open wait, and this one not at all.
        if (error == EWOULDBLOCK) {
            m_holders = m_table.holders(judged.device, judged.inode);
            return Outcome::InUse;
        }
        // A file this user may delete but not read.
        if (error == EACCES || error == EPERM)
            return fromProcessTable(judged);
        m_error = error;
        return Outcome::Unknown;
    }
    struct stat status;
    if (m_calls.fstatat(file.get(), "", &status, AT_EMPTY_PATH) != 0) {
        m_error = errno;
        return Outcome::Unknown;
    }
    if (status.st_dev != judged.device || status.st_ino != judged.inode || !S_ISREG(status.st_mode))
        return Outcome::Changed;
    if (m_calls.setLease(file.get(), F_WRLCK) == 0) {
        // Closing the descriptor lets the lease go; no call of its own.
        m_lease = std::move(file);
        return Outcome::Free;
    }
    const int error = errno;
    file.reset();
    if (error == EAGAIN) {
        m_holders = m_table.holders(judged.device, judged.inode);
        return Outcome::InUse;
    }
    // Not the file's owner without CAP_LEASE, or a file system that grants
    // no leases (or leases turned off).
    if (error == EACCES || error == EPERM || error == EINVAL || error == ENOSYS || error == ENOTSUP)
        return fromProcessTable(judged);
    m_error = error;
    return Outcome::Unknown;
}

UseCheck::Outcome UseCheck::fromProcessTable(const EntryInfo &judged)
{
    const std::optional<bool> held = m_table.holds(judged.device, judged.inode);
    if (!held) {
        m_error = m_table.error();
        return Outcome::Unknown;
    }
    if (!*held)
        return Outcome::Free;
    m_holders = m_table.holders(judged.device, judged.inode);
    return Outcome::InUse;
}

void judgeUse(UseCheck &use, int folderFd, const char *name, EntryInfo &info)
{
    if (info.kind != EntryKind::Deletable || !info.isRegular)
        return;
    switch (use.claim(folderFd, name, info)) {
    case UseCheck::Outcome::Free:
        return;
    case UseCheck::Outcome::InUse:
        info.kind = EntryKind::InUse;
        info.verdict = Verdict::InUse;
        info.holders = use.holders();
        return;
    case UseCheck::Outcome::Gone:
        info.kind = EntryKind::Gone;
        return;
    case UseCheck::Outcome::Changed:
        info.replaced = true;
        break;
    case UseCheck::Outcome::Unknown:
        info.useUnknown = true;
        info.error = use.error();
        break;
    }
    info.kind = EntryKind::Unreadable;
    info.verdict = Verdict::Unreadable;
}

FoldedName::FoldedName(std::string_view name)
    : m_name(name)
    , m_ascii(isAscii(name))
{
    foldName(name, m_folded);
}

bool FoldedName::sameAs(std::string_view other) const
{
    // A character takes at least one byte, so a shorter name cannot match.
    if (other.size() < m_folded.size())
        return false;
    if (m_ascii && isAscii(other)) {
        return other.size() == m_name.size()
               && std::equal(other.begin(), other.end(), m_name.begin(),
                             [](char a, char b) { return asciiUpper(a) == asciiUpper(b); });
    }
    foldName(other, m_scratch);
    return m_scratch == m_folded;
}
