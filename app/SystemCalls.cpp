#include "SystemCalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
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

ssize_t SystemCalls::getdents64(int dirFd, void *buffer, std::size_t size)
{
    return retryInterrupted([&] { return ::getdents64(dirFd, buffer, size); });
}

ssize_t SystemCalls::lgetxattr(const char *path, const char *name, void *value, std::size_t size)
{
    return retryInterrupted([&] { return ::lgetxattr(path, name, value, size); });
}

ssize_t SystemCalls::llistxattr(const char *path, char *list, std::size_t size)
{
    return retryInterrupted([&] { return ::llistxattr(path, list, size); });
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

// EINTR from write means nothing was written (a partial write returns its
// count instead), so the same bytes go again.
ssize_t SystemCalls::write(int fd, const void *data, std::size_t size)
{
    return retryInterrupted([&] { return ::write(fd, data, size); });
}

// Not repeated: after a failed flush the kernel may already have dropped the
// dirty pages' error state, and a second fsync could then report success for
// data that never reached the disk. A failure must stay a failure.
int SystemCalls::fsync(int fd)
{
    return ::fsync(fd);
}

SystemCalls &SystemCalls::host()
{
    static SystemCalls calls;
    return calls;
}
