#include "files/SystemCalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>

namespace {

template<typename Call>
auto retryInterrupted(Call call)
{
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR)
            return result;
    }
}

} // namespace

SystemCalls::SystemCalls(AttributeRoute route)
    : m_attributesAtFolder(route == AttributeRoute::AtFolder)
{
}

// A signal can only interrupt an open that waits (a FIFO, a network file
// system); nothing was opened then, so it is opened again.
int SystemCalls::openat(int dirFd, const char *path, int flags, mode_t mode)
{
    return retryInterrupted([&] { return ::openat(dirFd, path, flags, mode); });
}

// Never repeated: Linux has released the descriptor even when close reports
// EINTR, and closing the number again could close a descriptor opened since.
int SystemCalls::close(int fd)
{
    return ::close(fd);
}

int SystemCalls::dup(int fd)
{
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

// The look-ups below change nothing, so asking again is always right.
int SystemCalls::fstatat(int dirFd, const char *path, struct stat *status, int flags)
{
    return retryInterrupted([&] { return ::fstatat(dirFd, path, status, flags); });
}

int SystemCalls::faccessat(int dirFd, const char *path, int mode, int flags)
{
    return retryInterrupted([&] { return ::faccessat(dirFd, path, mode, flags); });
}

off_t SystemCalls::lseek(int fd, off_t offset, int whence)
{
    return ::lseek(fd, offset, whence);
}

ssize_t SystemCalls::getdents64(int dirFd, void *buffer, std::size_t size)
{
    return retryInterrupted([&] { return ::getdents64(dirFd, buffer, size); });
}

// Linux 6.13 reads extended attributes relative to a folder handle. The
// numbers are the same on every architecture that has these calls.
#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif
#ifndef SYS_listxattrat
#define SYS_listxattrat 465
#endif

namespace {

struct XattrArguments
{
    std::uint64_t value;
    std::uint32_t size;
    std::uint32_t flags;
};

// An older kernel says ENOSYS; some container filters say EPERM for calls
// they do not know. Either way the other route gives the real answer.
bool refusedByKernel(int error)
{
    return error == ENOSYS || error == EPERM;
}

// "/proc/self/fd/<dirFd>/<path>", or false when it would not fit.
bool procPath(char (&buffer)[64 + NAME_MAX + 1], int dirFd, const char *path)
{
    const int length = std::snprintf(buffer, sizeof buffer, "/proc/self/fd/%d/%s", dirFd, path);
    if (length < 0 || std::size_t(length) >= sizeof buffer) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// Tries the call relative to the folder handle while the kernel takes it,
// and once it refuses, the same call on the /proc path for good.
template <typename AtFolder, typename OnProcPath>
ssize_t attributeCall(std::atomic<bool> &atFolderWorks, int dirFd, const char *path, AtFolder atFolder,
                      OnProcPath onProcPath)
{
    if (atFolderWorks.load(std::memory_order_relaxed)) {
        const long result = retryInterrupted(atFolder);
        if (result != -1 || !refusedByKernel(errno))
            return result;
        atFolderWorks.store(false, std::memory_order_relaxed);
    }
    char full[64 + NAME_MAX + 1];
    if (!procPath(full, dirFd, path))
        return -1;
    return retryInterrupted([&] { return onProcPath(full); });
}

} // namespace

ssize_t SystemCalls::getxattrat(int dirFd, const char *path, const char *name, void *value, std::size_t size)
{
    return attributeCall(
        m_attributesAtFolder, dirFd, path,
        [&] {
            XattrArguments arguments{reinterpret_cast<std::uintptr_t>(value), std::uint32_t(size), 0};
            return ::syscall(SYS_getxattrat, dirFd, path, AT_SYMLINK_NOFOLLOW, name, &arguments,
                             sizeof arguments);
        },
        [&](const char *full) { return ::lgetxattr(full, name, value, size); });
}

ssize_t SystemCalls::listxattrat(int dirFd, const char *path, char *list, std::size_t size)
{
    return attributeCall(
        m_attributesAtFolder, dirFd, path,
        [&] { return ::syscall(SYS_listxattrat, dirFd, path, AT_SYMLINK_NOFOLLOW, list, size); },
        [&](const char *full) { return ::llistxattr(full, list, size); });
}

ssize_t SystemCalls::fgetxattr(int fd, const char *name, void *value, std::size_t size)
{
    return retryInterrupted([&] { return ::fgetxattr(fd, name, value, size); });
}

ssize_t SystemCalls::flistxattr(int fd, char *list, std::size_t size)
{
    return retryInterrupted([&] { return ::flistxattr(fd, list, size); });
}

int SystemCalls::nanosleep(const struct timespec &duration)
{
    return ::nanosleep(&duration, nullptr);
}

int SystemCalls::checkAttributeRoute(int dirFd)
{
    if (!attributesThroughProc())
        return 0;
    char full[64 + NAME_MAX + 1];
    struct stat held;
    struct stat seen;
    if (!procPath(full, dirFd, ".") || fstatat(dirFd, "", &held, AT_EMPTY_PATH) != 0
        || fstatat(AT_FDCWD, full, &seen, 0) != 0)
        return -1;
    // Another process's descriptor of that number: the folder is not there.
    if (held.st_dev != seen.st_dev || held.st_ino != seen.st_ino) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

// Linux reports EINTR from unlink and rename only before they take effect.
int SystemCalls::unlinkat(int dirFd, const char *path, int flags)
{
    return retryInterrupted([&] { return ::unlinkat(dirFd, path, flags); });
}

int SystemCalls::renameat(int oldDirFd, const char *oldPath, int newDirFd, const char *newPath)
{
    return retryInterrupted([&] { return ::renameat(oldDirFd, oldPath, newDirFd, newPath); });
}

ssize_t SystemCalls::read(int fd, void *data, std::size_t size)
{
    return retryInterrupted([&] { return ::read(fd, data, size); });
}

// EINTR from write means nothing was written (a partial write returns its
// count instead), so the same bytes go again.
ssize_t SystemCalls::write(int fd, const void *data, std::size_t size)
{
    return retryInterrupted([&] { return ::write(fd, data, size); });
}

ssize_t SystemCalls::send(int fd, const void *data, std::size_t size)
{
    return retryInterrupted([&] { return ::send(fd, data, size, MSG_NOSIGNAL); });
}

// Both at an offset of their own: repeating one changes nothing.
ssize_t SystemCalls::pread(int fd, void *data, std::size_t size, off_t offset)
{
    return retryInterrupted([&] { return ::pread(fd, data, size, offset); });
}

ssize_t SystemCalls::pwrite(int fd, const void *data, std::size_t size, off_t offset)
{
    return retryInterrupted([&] { return ::pwrite(fd, data, size, offset); });
}

// A lock that is not waited for is never interrupted; asking again is right.
int SystemCalls::lockBytes(int fd, int command, struct flock &lock)
{
    return retryInterrupted([&] { return ::fcntl(fd, command, &lock); });
}

// Not repeated: after a failed flush the kernel may already have dropped the
// dirty pages' error state, and a second fsync could then report success for
// data that never reached the disk. A failure must stay a failure.
int SystemCalls::fsync(int fd)
{
    return ::fsync(fd);
}

// Setting the same owner or mode again is harmless.
int SystemCalls::fchmod(int fd, mode_t mode)
{
    return retryInterrupted([&] { return ::fchmod(fd, mode); });
}

int SystemCalls::fchown(int fd, uid_t owner, gid_t group)
{
    return retryInterrupted([&] { return ::fchown(fd, owner, group); });
}

int SystemCalls::fstatfs(int fd, struct statfs *status)
{
    return retryInterrupted([&] { return ::fstatfs(fd, status); });
}

int SystemCalls::setLease(int fd, int type)
{
    // Once, thread-safely: a static's initialisation costs the calls after
    // the first one test, where call_once would cost each a dozen stores.
    [[maybe_unused]] static const bool quietened = [] {
        // A handler someone installed is theirs to keep.
        struct sigaction current {};
        if (::sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            ::sigaction(SIGIO, &ignore, nullptr);
        }
        return true;
    }();
    return retryInterrupted([&] { return ::fcntl(fd, F_SETLEASE, type); });
}

int SystemCalls::fatAttributes(int fd, std::uint32_t &attributes)
{
    return retryInterrupted([&] { return ::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes); });
}

SystemCalls &SystemCalls::host()
{
    static SystemCalls calls;
    return calls;
}
