// bench_checked_delete [--list] DIR...
// The least a delete can do that honours the rules of drive C:: one pass of
// getdents64, and for each ordinary file a status (for the write bits) and a
// list of its extended attributes (for Wine's DOS attributes) before the
// unlink. No wildcard, no DOS paths, no error reporting. Comparing
// delete-by-pattern with this separates what the rules cost from what the
// implementation adds. With --list the same checks run and nothing is
// unlinked: the floor of a preview.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#ifndef SYS_listxattrat
#define SYS_listxattrat 465
#endif

namespace {

bool hasAttributes(int folder, const char *name)
{
    char list[256];
    const long size = syscall(SYS_listxattrat, folder, name, AT_SYMLINK_NOFOLLOW, list, sizeof list);
    return size != 0 && !(size < 0 && (errno == ENODATA || errno == ENOTSUP));
}

// Deletes what may be deleted in one folder, or only counts it; the number
// of files left, or -1.
long checkedDelete(const char *path, std::vector<char> &buffer, bool listOnly)
{
    const int folder = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        std::perror(path);
        return -1;
    }
    long left = 0;
    for (;;) {
        const long got = syscall(SYS_getdents64, folder, buffer.data(), buffer.size());
        if (got < 0) {
            std::perror(path);
            close(folder);
            return -1;
        }
        if (got == 0)
            break;
        for (long at = 0; at < got;) {
            unsigned short length;
            unsigned char type;
            const char *entry = buffer.data() + at;
            std::memcpy(&length, entry + offsetof(struct dirent64, d_reclen), sizeof length);
            std::memcpy(&type, entry + offsetof(struct dirent64, d_type), sizeof type);
            const char *name = entry + offsetof(struct dirent64, d_name);
            at += length;
            if (name[0] == '.' || (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN))
                continue;
            struct stat status;
            if (fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0
                || (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || hasAttributes(folder, name)) {
                ++left;
                continue;
            }
            if (listOnly || unlinkat(folder, name, 0) != 0)
                ++left;
        }
    }
    close(folder);
    return left;
}

} // namespace

int main(int argc, char **argv)
{
    const bool listOnly = argc > 1 && std::strcmp(argv[1], "--list") == 0;
    const int first = listOnly ? 2 : 1;
    if (argc <= first) {
        std::fprintf(stderr, "usage: %s [--list] DIR...\n", argv[0]);
        return 2;
    }
    std::vector<char> buffer(64 * 1024);
    bool clean = true;
    for (int i = first; i < argc; ++i) {
        const long left = checkedDelete(argv[i], buffer, listOnly);
        clean = clean && left >= 0 && (listOnly || left == 0);
    }
    return clean ? 0 : 1;
}
