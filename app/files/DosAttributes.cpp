#include "files/DosAttributes.h"

#include "files/FolderReader.h"
#include "files/SystemCalls.h"

#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

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

std::optional<unsigned> AttributeReader::read(int fd, const char *name)
{
    m_error = 0;
    const File file{fd, name};
    const std::optional<unsigned> wine = wineAttributes(file);
    if (!wine)
        return std::nullopt;
    const std::optional<unsigned> own = fileSystemAttributes(file);
    if (!own)
        return std::nullopt;
    return *wine | *own;
}

ssize_t AttributeReader::list(File file, char *names, std::size_t size)
{
    return file.fd >= 0 ? m_calls.flistxattr(file.fd, names, size)
                        : m_calls.listxattrat(m_folderFd, file.name, names, size);
}

ssize_t AttributeReader::value(File file, const char *attribute, void *data, std::size_t size)
{
    return file.fd >= 0 ? m_calls.fgetxattr(file.fd, attribute, data, size)
                        : m_calls.getxattrat(m_folderFd, file.name, attribute, data, size);
}

std::optional<unsigned> AttributeReader::wineAttributes(File file)
{
    if (!m_supported)
        return 0u;
    // One call answers the common case, a file without attributes.
    const ssize_t size = readWhole(m_list, [&](char *names, std::size_t room) { return list(file, names, room); });
    const int error = errno;
    // Not even "none" can be trusted from a route that leads elsewhere.
    if (!routeReachesFolder(file))
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
            const std::optional<unsigned> found = valueOf(file, wanted);
            if (!found)
                return std::nullopt;
            bits |= *found;
        }
        at += attributeLength + 1;
    }
    return bits;
}

std::optional<unsigned> AttributeReader::fileSystemAttributes(File file)
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
        Descriptor opened;
        if (file.fd < 0)
            opened = Descriptor(m_calls, openToLook(m_calls, m_folderFd, file.name));
        const int fd = file.fd >= 0 ? file.fd : opened.get();
        std::uint32_t bits = 0;
        if (fd < 0 || m_calls.fatAttributes(fd, bits) != 0) {
            m_error = errno;
            return std::nullopt;
        }
        return bits & dosAttributeBits;
    }
    case FileSystem::Ntfs:
        return binaryValue(file, ntfsByteAttribute, 1);
    case FileSystem::Fuse:
        // Other FUSE file systems do not know the name, and say so.
        return binaryValue(file, ntfsWordAttribute, 4);
    case FileSystem::Unknown:
    case FileSystem::Other:
        break;
    }
    return 0u;
}

// A fixed-size binary attribute; a big-endian word when size is 4.
std::optional<unsigned> AttributeReader::binaryValue(File file, const char *attribute, std::size_t size)
{
    unsigned char bytes[4] = {};
    const ssize_t got = value(file, attribute, bytes, sizeof bytes);
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
    return (size == 4 ? unsigned(bytes[3]) : unsigned(bytes[0])) & dosAttributeBits;
}

// A descriptor reads its own file. A name through /proc is checked once per
// folder, after the first call has settled which route the host takes.
bool AttributeReader::routeReachesFolder(File file)
{
    if (file.fd >= 0)
        return true;
    if (!m_routeChecked && m_calls.attributesThroughProc()) {
        m_routeChecked = true;
        if (m_calls.checkAttributeRoute(m_folderFd) != 0)
            m_routeError = errno;
    }
    m_error = m_routeError;
    return m_routeError == 0;
}

std::optional<unsigned> AttributeReader::valueOf(File file, const char *attribute)
{
    const ssize_t size = readWhole(m_value, [&](char *data, std::size_t room) {
        return value(file, attribute, data, room);
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
