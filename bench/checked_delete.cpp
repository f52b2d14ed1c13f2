// bench_checked_delete [--list] [--no-lease] DIR...
// The least a delete can do that honours the rules of drive C:: one pass of
// getdents64, and for each ordinary file one open and, through that
// descriptor, its status (type and write bits), Wine's DOS attributes and a
// write lease (no other process holds it open or mapped), then the unlink
// while the lease is held, and the close. No wildcard, no DOS paths, no
// error reporting. Comparing a clean with this separates what the rules cost
// from what the implementation adds. With --list the same checks run and
// nothing is unlinked: the floor of a preview. --no-lease leaves the lease
// out, to tell what it costs.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int lookFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOATIME;

// Whether the open file may go: writable, no DOS attributes, and, with the
// lease, leased.
bool deletable(int fd, bool lease)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    char value[64];
    if (fgetxattr(fd, "user.DOSATTRIB", value, sizeof value) >= 0 || (errno != ENODATA && errno != ENOTSUP))
        return false;
    return !lease || fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
}

// Deletes what may be deleted in one folder, or only counts it; the number
// of files left, or -1.
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
            if (name[0] == '.' || type != DT_REG)
                continue;
            const int fd = openat(folder, name, lookFlags);
            if (fd < 0 || !deletable(fd, lease) || listOnly || unlinkat(folder, name, 0) != 0)
                ++left;
            if (fd >= 0)
                close(fd);
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
    // Another open of a leased file must not end the loop.
    std::signal(SIGIO, SIG_IGN);
    std::vector<char> buffer(64 * 1024);
    bool clean = true;
    for (int i = first; i < argc; ++i) {
        const long left = checkedDelete(argv[i], buffer, listOnly, lease);
        clean = clean && left >= 0 && (listOnly || left == 0);
    }
    return clean ? 0 : 1;
}
