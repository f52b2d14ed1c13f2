#include "files/FolderEntries.h"

#include "files/CaseFolding.h"
#include "files/SystemCalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
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
