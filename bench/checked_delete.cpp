// bench_checked_delete [--list] [--no-lease] DIR...
// The least a delete can do that honours the rules of drive C:: one pass of
// getdents64, and for each ordinary file a status (for the write bits), a
// list of its extended attributes (for Wine's DOS attributes) and a write
// lease on it (no other process holds it open or mapped) before the unlink.
// No wildcard, no DOS paths, no error reporting. Comparing delete-by-pattern
// with this separates what the rules cost from what the implementation adds.
// With --list the same checks run and nothing is unlinked: the floor of a
// preview. --no-lease leaves the lease out, to tell what it costs.
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
// Opens the file and takes a write lease, which only a file no one else
// holds gets; the descriptor to close after the unlink, or -1.
int leased(int folder, const char *name, const struct stat &status)
{
    const int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOATIME);
    if (fd < 0)
        return -1;
    struct stat opened;
    if (fstatat(fd, "", &opened, AT_EMPTY_PATH) != 0 || opened.st_ino != status.st_ino
        || fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

long checkedDelete(const char *path, std::vector<char> &buffer, bool listOnly, bool lease)
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
            const int held = lease ? leased(folder, name, status) : -2;
            if (held == -1 || listOnly || unlinkat(folder, name, 0) != 0)
                ++left;
            if (held >= 0)
                close(held);
        }
    }
    close(folder);
    return left;
}

} // namespace

int main(int argc, char **argv)
{
    bool listOnly = false;
    bool lease = true;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--list") == 0)
            listOnly = true;
        else if (std::strcmp(argv[first], "--no-lease") == 0)
            lease = false;
        else
            break;
    }
    if (argc <= first) {
        std::fprintf(stderr, "usage: %s [--list] [--no-lease] DIR...\n", argv[0]);
        return 2;
    }
    std::vector<char> buffer(64 * 1024);
    bool clean = true;
    for (int i = first; i < argc; ++i) {
        const long left = checkedDelete(argv[i], buffer, listOnly, lease);
        clean = clean && left >= 0 && (listOnly || left == 0);
    }
    return clean ? 0 : 1;
}
