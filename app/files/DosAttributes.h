#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

class SystemCalls;

// The DOS attributes of the files of a folder, from every place a file
// system keeps them.

// The DOS attribute bits.
enum DosAttribute : unsigned {
    DosReadOnly = 0x1,
    DosHidden = 0x2,
    DosSystem = 0x4,
};

// The attribute bits in an extended attribute's value: hexadecimal text
// ("0x21"), or decimal. Only the text before the first NUL counts (file
// servers put a binary part after it). Nothing when that text is no number.
std::optional<unsigned> parseDosAttributes(std::string_view value);

// Reads the DOS attributes of the files of one folder: Wine's, and those
// the folder's file system keeps itself (the FAT attribute byte, the NTFS
// attributes), a bit set in any of them counting. A value of any length is
// read whole. A file system without user attributes is asked only once.
class AttributeReader
{
public:
    AttributeReader(SystemCalls &calls, int folderFd);
    // The bits of the open file fd, or, where it could not be opened (fd
    // -1), of the entry name, read through the folder's handle so that the
    // read cannot wander off to another folder. 0 when the file system says
    // the file has none; nothing when they cannot be told, and error() says
    // why (ENOENT: the entry may have gone; EBADMSG: a value that is no
    // number).
    std::optional<unsigned> read(int fd, const char *name);
    int error() const { return m_error; }

    // The kinds of file system that keep DOS attributes of their own.
    enum class FileSystem { Unknown, Fat, Ntfs, Fuse, Other };

private:
    // One file: its descriptor, or its name in the folder.
    struct File
    {
        int fd;
        const char *name;
    };

    std::optional<unsigned> wineAttributes(File file);
    std::optional<unsigned> fileSystemAttributes(File file);
    std::optional<unsigned> binaryValue(File file, const char *attribute, std::size_t size);
    bool routeReachesFolder(File file);
    std::optional<unsigned> valueOf(File file, const char *attribute);
    ssize_t list(File file, char *list, std::size_t size);
    ssize_t value(File file, const char *attribute, void *value, std::size_t size);

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
