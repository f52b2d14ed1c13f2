#pragma once

#include "files/SystemCalls.h"

#include <functional>
#include <string>
#include <vector>

// The host's system calls, counted from arm(); the call with the chosen
// number fails with the chosen errno and does nothing else (a failing close
// still releases its descriptor, as Linux does).
class FaultySystemCalls : public SystemCalls
{
public:
    // The attribute route the test run asks for (see TestAttributeRoute.h).
    FaultySystemCalls();

    // Counting starts again at 0; failAt 0 only counts. With only, just the
    // calls of that name count.
    void arm(long failAt, int error, const char *only = nullptr);
    void disarm();
    // Whether fsync reaches the disk; off by default (see fsync).
    void setFlushes(bool flushes) { m_flushes = flushes; }
    // Told the name of every counted call before it is made.
    void setWatcher(std::function<void(const char *call)> watcher) { m_watcher = std::move(watcher); }

    long count() const { return m_count; }
    // How often, and for how long in all, the file services waited. Waits
    // are passed on but never counted or failed as calls.
    long pauses() const { return m_pauses; }
    long pausedMicroseconds() const { return m_pausedMicroseconds; }
    bool struck() const { return !m_failedCall.empty(); }
    // The name of the call that was made to fail ("unlinkat", ...), and the
    // name it was handed.
    const std::string &failedCall() const { return m_failedCall; }
    const std::string &failedName() const { return m_failedName; }
    // While only counting: the name of each call in order.
    const std::vector<std::string> &trace() const { return m_trace; }

    int openat(int dirFd, const char *path, int flags, mode_t mode) override;
    int close(int fd) override;
    int dup(int fd) override;
    int fstatat(int dirFd, const char *path, struct stat *status, int flags) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    int faccessat(int dirFd, const char *path, int mode, int flags) override;
    ssize_t getdents64(int dirFd, void *buffer, std::size_t size) override;
    int unlinkat(int dirFd, const char *path, int flags) override;
    int renameat(int oldDirFd, const char *oldPath, int newDirFd, const char *newPath) override;
    ssize_t read(int fd, void *data, std::size_t size) override;
    ssize_t write(int fd, const void *data, std::size_t size) override;
    ssize_t pread(int fd, void *data, std::size_t size, off_t offset) override;
    ssize_t pwrite(int fd, const void *data, std::size_t size, off_t offset) override;
    int lockBytes(int fd, int command, struct flock &lock) override;
    int fsync(int fd) override;
    int fchmod(int fd, mode_t mode) override;
    int fchown(int fd, uid_t owner, gid_t group) override;
    int fstatfs(int fd, struct statfs *status) override;
    int setLease(int fd, int type) override;
    int fatAttributes(int fd, std::uint32_t &attributes) override;
    ssize_t getxattrat(int dirFd, const char *path, const char *name, void *value, std::size_t size) override;
    ssize_t listxattrat(int dirFd, const char *path, char *list, std::size_t size) override;
    ssize_t fgetxattr(int fd, const char *name, void *value, std::size_t size) override;
    ssize_t flistxattr(int fd, char *list, std::size_t size) override;
    int nanosleep(const struct timespec &duration) override;

private:
    bool strikes(const char *call, const char *name);

    bool m_armed = false;
    bool m_flushes = false;
    long m_count = 0;
    long m_failAt = 0;
    long m_pauses = 0;
    long m_pausedMicroseconds = 0;
    int m_error = 0;
    std::string m_only;
    std::function<void(const char *)> m_watcher;
    std::string m_failedCall;
    std::string m_failedName;
    std::vector<std::string> m_trace;
};
