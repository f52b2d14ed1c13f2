#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct flock;
struct statfs;
struct timespec;

// Every host system call the file services make, behind one seam so that
// tests can make any of them fail. Each method behaves like the host call of
// the same name: it returns -1 and sets errno on failure.
//
// The default implementation retries a call that was interrupted by a signal
// where doing it again is harmless and says so per call; the others report
// EINTR like any failure.
class SystemCalls
{
public:
    // How extended attributes are reached: the kernel's *at calls where it
    // has them, or always through /proc/self/fd as on kernels before 6.13.
    enum class AttributeRoute { AtFolder, ProcFd };

    explicit SystemCalls(AttributeRoute route = AttributeRoute::AtFolder);
    virtual ~SystemCalls() = default;
    SystemCalls(const SystemCalls &) = delete;
    SystemCalls &operator=(const SystemCalls &) = delete;

    virtual int openat(int dirFd, const char *path, int flags, mode_t mode);
    virtual int close(int fd);
    virtual int dup(int fd);
    virtual int fstatat(int dirFd, const char *path, struct stat *status, int flags);
    virtual off_t lseek(int fd, off_t offset, int whence);
    virtual int faccessat(int dirFd, const char *path, int mode, int flags);
    virtual ssize_t getdents64(int dirFd, void *buffer, std::size_t size);
    virtual int unlinkat(int dirFd, const char *path, int flags);
    virtual int renameat(int oldDirFd, const char *oldPath, int newDirFd, const char *newPath);
    virtual ssize_t read(int fd, void *data, std::size_t size);
    virtual ssize_t write(int fd, const void *data, std::size_t size);
    // write on a socket, without the signal a closed one would raise.
    virtual ssize_t send(int fd, const void *data, std::size_t size);
    virtual ssize_t pread(int fd, void *data, std::size_t size, off_t offset);
    virtual ssize_t pwrite(int fd, const void *data, std::size_t size, off_t offset);
    // fcntl(fd, command, &lock) with F_OFD_SETLK or F_OFD_GETLK: the
    // byte-range locks of an open file description, which QEMU takes on
    // the images it has open.
    virtual int lockBytes(int fd, int command, struct flock &lock);
    virtual int fsync(int fd);
    virtual int fchmod(int fd, mode_t mode);
    virtual int fchown(int fd, uid_t owner, gid_t group);
    virtual int fstatfs(int fd, struct statfs *status);
    // fcntl(fd, F_SETLEASE, type). The first lease also makes the lease-break
    // signal harmless: left at its default it would end the program when
    // another process opens a file in the moment it is leased.
    virtual int setLease(int fd, int type);
    // The FAT attribute byte of an open file (FAT_IOCTL_GET_ATTRIBUTES).
    virtual int fatAttributes(int fd, std::uint32_t &attributes);
    // The extended attributes of an entry of a folder, never through a link:
    // Linux 6.13's getxattrat and listxattrat, and on older kernels the same
    // through the folder's /proc/self/fd entry.
    virtual ssize_t getxattrat(int dirFd, const char *path, const char *name, void *value, std::size_t size);
    virtual ssize_t listxattrat(int dirFd, const char *path, char *list, std::size_t size);
    // The same of an open file.
    virtual ssize_t fgetxattr(int fd, const char *name, void *value, std::size_t size);
    virtual ssize_t flistxattr(int fd, char *list, std::size_t size);
    // Waits, for a file another process holds a moment. An interrupted wait
    // is only a shorter one.
    virtual int nanosleep(const struct timespec &duration);
    // 0 when the attribute calls on entries of dirFd reach that very folder;
    // else -1 and errno. Only the /proc route can miss: /proc may be absent,
    // or show another process (a chroot, another PID namespace). Made
    // through fstatat, so it fails like any call.
    int checkAttributeRoute(int dirFd);
    bool attributesThroughProc() const { return !m_attributesAtFolder.load(std::memory_order_relaxed); }

    // The host's own calls; what FileServices uses when given none.
    static SystemCalls &host();

private:
    // Cleared when the kernel refuses the *at calls; /proc/self/fd is taken
    // from then on.
    std::atomic<bool> m_attributesAtFolder;
};
