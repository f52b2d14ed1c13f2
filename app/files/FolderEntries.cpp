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

unsigned parseDosAttributes(std::string_view value)
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
        return 0;
    return bits;
}

AttributeReader::AttributeReader(SystemCalls &calls, int folderFd)
    : m_calls(calls)
    , m_folderFd(folderFd)
{
}

unsigned AttributeReader::read(const char *name)
{
    m_error = 0;
    if (!m_supported)
        return 0;
    // One call answers the common case, a file without attributes.
    char list[256];
    const ssize_t size = m_calls.listxattrat(m_folderFd, name, list, sizeof list);
    if (size == 0)
        return 0;
    if (size < 0) {
        if (errno == ENOTSUP) {
            m_supported = false;
            return 0;
        }
        // Unknown attributes might have said read-only or hidden: such a
        // file must not be taken for a deletable one.
        if (errno != ERANGE) {
            m_error = errno == ENOENT ? 0 : errno;
            return 0;
        }
        return valueOf(name, attributeNames[0]) | valueOf(name, attributeNames[1]);
    }
    unsigned bits = 0;
    for (std::size_t at = 0; at < std::size_t(size);) {
        const char *attribute = list + at;
        const std::size_t attributeLength = strnlen(attribute, std::size_t(size) - at);
        for (const char *wanted : attributeNames) {
            if (std::string_view(attribute, attributeLength) == wanted)
                bits |= valueOf(name, wanted);
        }
        at += attributeLength + 1;
    }
    return bits;
}

unsigned AttributeReader::valueOf(const char *name, const char *attribute)
{
    char value[64];
    const ssize_t size = m_calls.getxattrat(m_folderFd, name, attribute, value, sizeof value);
    if (size < 0 && errno != ENODATA && errno != ENOENT && errno != ERANGE)
        m_error = errno;
    return size > 0 ? parseDosAttributes(std::string_view(value, std::size_t(size))) : 0;
}

EntryInfo classifyEntry(SystemCalls &calls, int folderFd, const char *name, AttributeReader &attributes)
{
    struct stat status;
    if (calls.fstatat(folderFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        return {error == ENOENT ? EntryKind::Gone : EntryKind::Unreadable, error, false};
    }
    if (S_ISLNK(status.st_mode)) {
        // A link carries no attributes of its own; only where it leads matters.
        struct stat target;
        if (calls.fstatat(folderFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode))
            return {EntryKind::Other, 0, false};
        return {EntryKind::Deletable, 0, false};
    }
    if (!S_ISREG(status.st_mode))
        return {EntryKind::Other, 0, false};
    const unsigned bits = attributes.read(name);
    if (attributes.error() != 0)
        return {EntryKind::Unreadable, attributes.error(), true};
    if (bits & (DosHidden | DosSystem))
        return {EntryKind::Hidden, 0, true};
    if ((bits & DosReadOnly) || (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return {EntryKind::ReadOnly, 0, true};
    return {EntryKind::Deletable, 0, true};
}

bool mayBeOrdinary(unsigned char type)
{
    return type == DT_REG || type == DT_LNK || type == DT_UNKNOWN;
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
