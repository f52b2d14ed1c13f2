#include "support/FaultySystemCalls.h"

#include "support/TestAttributeRoute.h"

#include <cerrno>
#include <ctime>

FaultySystemCalls::FaultySystemCalls()
    : SystemCalls(attributeRouteUnderTest())
{
}

void FaultySystemCalls::arm(long failAt, int error, const char *only)
{
    m_only = only ? only : "";
    m_armed = true;
    m_count = 0;
    m_failAt = failAt;
    m_error = error;
    m_failedCall.clear();
    m_failedName.clear();
    m_trace.clear();
    m_pauses = 0;
    m_pausedMicroseconds = 0;
}

void FaultySystemCalls::disarm()
{
    m_armed = false;
}

bool FaultySystemCalls::strikes(const char *call, const char *name)
{
    if (!m_armed || (!m_only.empty() && m_only != call))
        return false;
    if (m_watcher)
        m_watcher(call);
    ++m_count;
    if (m_failAt == 0)
        m_trace.emplace_back(call);
    if (m_count != m_failAt)
        return false;
    m_failedCall = call;
    m_failedName = name ? name : "";
    errno = m_error;
    return true;
}

int FaultySystemCalls::openat(int dirFd, const char *path, int flags, mode_t mode)
{
    return strikes("openat", path) ? -1 : SystemCalls::openat(dirFd, path, flags, mode);
}

int FaultySystemCalls::close(int fd)
{
    if (strikes("close", nullptr)) {
        const int error = errno;
        SystemCalls::close(fd);
        errno = error;
        return -1;
    }
    return SystemCalls::close(fd);
}

int FaultySystemCalls::dup(int fd)
{
    return strikes("dup", nullptr) ? -1 : SystemCalls::dup(fd);
}

int FaultySystemCalls::fstatat(int dirFd, const char *path, struct stat *status, int flags)
{
    return strikes("fstatat", path) ? -1 : SystemCalls::fstatat(dirFd, path, status, flags);
}

off_t FaultySystemCalls::lseek(int fd, off_t offset, int whence)
{
    return strikes("lseek", nullptr) ? -1 : SystemCalls::lseek(fd, offset, whence);
}

int FaultySystemCalls::faccessat(int dirFd, const char *path, int mode, int flags)
{
    return strikes("faccessat", path) ? -1 : SystemCalls::faccessat(dirFd, path, mode, flags);
}

ssize_t FaultySystemCalls::getdents64(int dirFd, void *buffer, std::size_t size)
{
    return strikes("getdents64", nullptr) ? -1 : SystemCalls::getdents64(dirFd, buffer, size);
}

int FaultySystemCalls::unlinkat(int dirFd, const char *path, int flags)
{
    return strikes("unlinkat", path) ? -1 : SystemCalls::unlinkat(dirFd, path, flags);
}

int FaultySystemCalls::renameat(int oldDirFd, const char *oldPath, int newDirFd, const char *newPath)
{
    return strikes("renameat", newPath) ? -1 : SystemCalls::renameat(oldDirFd, oldPath, newDirFd, newPath);
}

ssize_t FaultySystemCalls::write(int fd, const void *data, std::size_t size)
{
    return strikes("write", nullptr) ? -1 : SystemCalls::write(fd, data, size);
}

ssize_t FaultySystemCalls::pread(int fd, void *data, std::size_t size, off_t offset)
{
    return strikes("pread", nullptr) ? -1 : SystemCalls::pread(fd, data, size, offset);
}

ssize_t FaultySystemCalls::pwrite(int fd, const void *data, std::size_t size, off_t offset)
{
    return strikes("pwrite", nullptr) ? -1 : SystemCalls::pwrite(fd, data, size, offset);
}

int FaultySystemCalls::lockBytes(int fd, int command, struct flock &lock)
{
    return strikes("lockBytes", nullptr) ? -1 : SystemCalls::lockBytes(fd, command, lock);
}

// Counted and failed like every call, but otherwise not passed on: a walk
// over every call of a run makes thousands of runs, and flushing a busy disk
// each time would cost minutes. What a flush is for is tested by killing
// the real program instead.
int FaultySystemCalls::fsync(int fd)
{
    if (strikes("fsync", nullptr))
        return -1;
    return m_flushes ? SystemCalls::fsync(fd) : 0;
}

int FaultySystemCalls::fchmod(int fd, mode_t mode)
{
    return strikes("fchmod", nullptr) ? -1 : SystemCalls::fchmod(fd, mode);
}

int FaultySystemCalls::fchown(int fd, uid_t owner, gid_t group)
{
    return strikes("fchown", nullptr) ? -1 : SystemCalls::fchown(fd, owner, group);
}

int FaultySystemCalls::fstatfs(int fd, struct statfs *status)
{
    return strikes("fstatfs", nullptr) ? -1 : SystemCalls::fstatfs(fd, status);
}

int FaultySystemCalls::setLease(int fd, int type)
{
    return strikes("setLease", nullptr) ? -1 : SystemCalls::setLease(fd, type);
}

int FaultySystemCalls::fatAttributes(int fd, std::uint32_t &attributes)
{
    return strikes("fatAttributes", nullptr) ? -1 : SystemCalls::fatAttributes(fd, attributes);
}

ssize_t FaultySystemCalls::read(int fd, void *data, std::size_t size)
{
    return strikes("read", nullptr) ? -1 : SystemCalls::read(fd, data, size);
}

ssize_t FaultySystemCalls::getxattrat(int dirFd, const char *path, const char *name, void *value, std::size_t size)
{
    return strikes("getxattrat", path) ? -1 : SystemCalls::getxattrat(dirFd, path, name, value, size);
}

ssize_t FaultySystemCalls::listxattrat(int dirFd, const char *path, char *list, std::size_t size)
{
    return strikes("listxattrat", path) ? -1 : SystemCalls::listxattrat(dirFd, path, list, size);
}

ssize_t FaultySystemCalls::fgetxattr(int fd, const char *name, void *value, std::size_t size)
{
    return strikes("fgetxattr", nullptr) ? -1 : SystemCalls::fgetxattr(fd, name, value, size);
}

ssize_t FaultySystemCalls::flistxattr(int fd, char *list, std::size_t size)
{
    return strikes("flistxattr", nullptr) ? -1 : SystemCalls::flistxattr(fd, list, size);
}

int FaultySystemCalls::nanosleep(const struct timespec &duration)
{
    ++m_pauses;
    m_pausedMicroseconds += long(duration.tv_sec) * 1'000'000 + long(duration.tv_nsec) / 1000;
    return SystemCalls::nanosleep(duration);
}
