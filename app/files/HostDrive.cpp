#include "files/HostDrive.h"

#include "files/EntryClassification.h"
#include "files/SplitMix.h"
#include "files/SystemCalls.h"
#include "files/UseCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>

namespace {

// One helping of a folder for delete-by-pattern and the case-insensitive
// look-up, which read the whole folder anyway.
constexpr std::size_t folderBufferSize = 64 * 1024;
// first-match asks for less at a time: when an early entry matches, the rest
// of a huge folder is never read.
constexpr std::size_t firstMatchReadSize = 8 * 1024;

// Folders are walked with handles that can only name them, so a folder that
// may be crossed but not listed can still be crossed, and a link is never one.
constexpr int walkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int readFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

Failure lastError()
{
    return Failure::of(errno);
}

// Judges the entries of the folder fd, with the use check where asked, and
// deletes them by name.
class HostEntries : public FolderEntries
{
public:
    HostEntries(SystemCalls &calls, int fd, bool checkUse)
        : m_calls(calls)
        , m_use(checkUse ? std::make_optional<UseCheck>(calls) : std::nullopt)
        , m_judge(calls, fd, m_use ? &*m_use : nullptr)
    {
    }

    EntryInfo judge(const ListedEntry &entry) override { return m_judge.judge(entry.name, entry.type); }
    void release() override { m_judge.release(); }

    // A file found free stays so until the lease goes with the unlink done.
    Removal remove(const ListedEntry &entry, Failure &failure) override
    {
        if (m_calls.unlinkat(m_judge.folder(), entry.name, 0) == 0) {
            m_judge.release();
            return Removal::Deleted;
        }
        const int error = errno;
        m_judge.release();
        // One already gone counts as deleted, by someone else.
        if (error == ENOENT)
            return Removal::Gone;
        failure = Failure::of(error);
        return Removal::Failed;
    }

protected:
    SystemCalls &m_calls;

private:
    std::optional<UseCheck> m_use;
    EntryJudge m_judge;
};

class HostCursor final : public FolderCursor
{
public:
    HostCursor(HostDrive &drive, Descriptor reading, std::size_t readSize, bool checkUse)
        : m_calls(drive.calls())
        , m_reading(std::move(reading))
        , m_buffer(drive.buffer())
        , m_readSize(readSize)
        , m_entries(drive.calls(), m_reading.get(), checkUse)
        , m_reader(m_calls, m_reading.get(), m_buffer, m_readSize)
    {
    }

    bool next(ListedEntry &entry) override
    {
        FolderReader::Entry read;
        if (!m_reader.next(read))
            return false;
        entry.name = read.name;
        entry.type = read.type;
        entry.slot = 0;
        return true;
    }
    Failure failure() const override { return m_reader.error() != 0 ? Failure::of(m_reader.error()) : Failure(); }
    Failure rewind() override
    {
        if (m_calls.lseek(m_reading.get(), 0, SEEK_SET) != 0)
            return lastError();
        m_reader.restart();
        return {};
    }
    FolderIdentity identity() override
    {
        struct stat status;
        if (m_calls.fstatat(m_reading.get(), "", &status, AT_EMPTY_PATH) != 0)
            return {};
        return {std::uint64_t(status.st_dev), std::uint64_t(status.st_ino), true};
    }

    EntryInfo judge(const ListedEntry &entry) override { return m_entries.judge(entry); }
    void release() override { m_entries.release(); }
    Removal remove(const ListedEntry &entry, Failure &failure) override { return m_entries.remove(entry, failure); }

private:
    SystemCalls &m_calls;
    Descriptor m_reading;
    char *m_buffer;
    std::size_t m_readSize;
    HostEntries m_entries;
    FolderReader m_reader;
};

// A written file between open-for-output and close-all: its text goes to a
// hidden temporary file beside the target, which only close-all puts in the
// target's place.
class HostWrite final : public PendingWrite
{
public:
    HostWrite(HostDrive &drive, int folderFd, std::string targetName)
        : m_drive(drive)
        , m_calls(drive.calls())
        , m_folder(folderFd)
        , m_target(std::move(targetName))
    {
    }
    ~HostWrite() override { discard(); }

    Failure create(const EntryInfo &target);
    Failure putInPlace(const std::string &text) override;

private:
    Failure keepOwnerAndMode(const EntryInfo &target);
    void discard()
    {
        m_file.reset();
        if (!m_temporary.empty())
            m_calls.unlinkat(m_folder, m_temporary.c_str(), 0);
        m_temporary.clear();
    }

    HostDrive &m_drive;
    SystemCalls &m_calls;
    int m_folder;
    std::string m_target;
    std::string m_temporary;
    Descriptor m_file;
};

Failure HostWrite::create(const EntryInfo &target)
{
    // A file there may be replaced only where this user may write to it.
    if (target.verdict == Verdict::Delete && target.isRegular
        && m_calls.faccessat(m_folder, m_target.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return lastError().in(Step::Create);
    constexpr int attempts = 64;
    int error = EEXIST;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".~bsw%016llx.tmp", static_cast<unsigned long long>(m_drive.nextRandom()));
        const int fd = m_calls.openat(m_folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_file = Descriptor(m_calls, fd);
            m_temporary = name;
            return keepOwnerAndMode(target);
        }
        error = errno;
        if (error != EEXIST)
            break;
    }
    return Failure::of(error).in(Step::Create);
}

// The file that replaces a regular one keeps its owner, group and permission
// bits, set before any text is in it. A link in the target's place is
// replaced, and its bits mean nothing for a file.
Failure HostWrite::keepOwnerAndMode(const EntryInfo &target)
{
    if (!target.isRegular)
        return {};
    // Only root may give a file away, and a user only to a group of their
    // own: a file a user replaces becomes theirs, as with any editor.
    int error = m_calls.fchown(m_file.get(), target.owner, target.group) == 0 ? 0 : errno;
    if (error == EPERM || error == EINVAL)
        error = 0;
    if (error == 0 && m_calls.fchmod(m_file.get(), target.mode & 0777) != 0)
        error = errno;
    if (error != 0) {
        discard();
        return Failure::of(error).in(Step::Create);
    }
    return {};
}

Failure HostWrite::putInPlace(const std::string &text)
{
    const char *data = text.data();
    std::size_t remaining = text.size();
    while (remaining > 0) {
        const ssize_t written = m_calls.write(m_file.get(), data, remaining);
        if (written <= 0)
            return Failure::of(written < 0 ? errno : EIO).in(Step::Flush);
        data += written;
        remaining -= std::size_t(written);
    }
    if (m_calls.fsync(m_file.get()) != 0)
        return lastError().in(Step::Flush);
    if (const int error = m_file.close(); error != 0)
        return Failure::of(error).in(Step::Flush);

    // The target may have become read-only or a folder since the open.
    EntryJudge look(m_calls, m_folder);
    const EntryInfo target = look.judge(m_target.c_str(), DT_UNKNOWN);
    if (target.verdict == Verdict::Unreadable)
        return Failure{target.error, reasonOf(target), 0, Step::Examine, {}};
    if (isReadOnly(target.verdict) || isHidden(target.verdict) || isNoFile(target.verdict))
        return Failure{0, "no longer an ordinary writable file", 75, Step::Unset, {}};

    if (m_calls.renameat(m_folder, m_temporary.c_str(), m_folder, m_target.c_str()) != 0)
        return lastError().in(Step::Replace);
    m_temporary.clear();
    // File systems that cannot flush a folder say EINVAL; the rename is then
    // as durable as they make anything.
    if (m_calls.fsync(m_folder) != 0 && errno != EINVAL)
        return lastError().in(Step::Flush);
    return {};
}

class HostFolder final : public DriveFolder
{
public:
    HostFolder(HostDrive &drive, Descriptor fd)
        : m_drive(drive)
        , m_calls(drive.calls())
        , m_fd(std::move(fd))
    {
    }

    Result<std::unique_ptr<DriveFolder>> enter(const std::string &name) override
    {
        return opened(m_calls.openat(m_fd.get(), name.c_str(), walkFlags, 0));
    }
    Result<std::unique_ptr<DriveFolder>> again() override
    {
        return opened(m_calls.openat(m_fd.get(), ".", walkFlags, 0));
    }
    // Handles that only name a folder open without the right to enter it;
    // a current directory that cannot be entered is refused here, as chdir
    // would.
    Failure mayEnter() override
    {
        return m_calls.faccessat(m_fd.get(), ".", X_OK, AT_EACCESS) == 0 ? Failure() : lastError();
    }
    Failure has(const std::string &name) override
    {
        struct stat status;
        return m_calls.fstatat(m_fd.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ? Failure() : lastError();
    }
    Result<std::unique_ptr<FolderCursor>> read(Purpose purpose) override
    {
        Descriptor reading(m_calls, m_calls.openat(m_fd.get(), ".", readFlags, 0));
        if (!reading)
            return lastError();
        return std::unique_ptr<FolderCursor>(
            std::make_unique<HostCursor>(m_drive, std::move(reading),
                                         purpose == Purpose::FirstMatch ? firstMatchReadSize : folderBufferSize,
                                         purpose == Purpose::Delete));
    }
    std::unique_ptr<FolderEntries> entries(bool checkUse) override
    {
        return std::make_unique<HostEntries>(m_calls, m_fd.get(), checkUse);
    }
    Result<std::unique_ptr<DriveFolder>> forWriting() override
    {
        Descriptor reading(m_calls, m_calls.openat(m_fd.get(), ".", readFlags, 0));
        if (!reading)
            return lastError();
        return std::unique_ptr<DriveFolder>(std::make_unique<HostFolder>(m_drive, std::move(reading)));
    }
    Result<std::unique_ptr<PendingWrite>> prepareWrite(const std::string &name, const EntryInfo &target) override
    {
        auto write = std::make_unique<HostWrite>(m_drive, m_fd.get(), name);
        if (Failure failed = write->create(target); failed.failed())
            return failed;
        return std::unique_ptr<PendingWrite>(std::move(write));
    }

private:
    Result<std::unique_ptr<DriveFolder>> opened(int fd)
    {
        if (fd < 0)
            return lastError();
        return std::unique_ptr<DriveFolder>(std::make_unique<HostFolder>(m_drive, Descriptor(m_calls, fd)));
    }

    HostDrive &m_drive;
    SystemCalls &m_calls;
    Descriptor m_fd;
};

} // namespace

HostDrive::HostDrive(std::string hostRoot, SystemCalls *calls)
    : m_path(std::move(hostRoot))
    , m_calls(calls ? *calls : SystemCalls::host())
    , m_buffer(new char[folderBufferSize])
    , m_random(std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())
               ^ reinterpret_cast<std::uintptr_t>(this))
{
    root();
}

HostDrive::~HostDrive() = default;

// The root alone may be a link: it is the user's choice of drive. One that
// could not be opened is tried again at the next use.
Result<DriveFolder *> HostDrive::root()
{
    if (!m_root) {
        const int fd = m_calls.openat(AT_FDCWD, m_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd < 0)
            return lastError();
        m_root = std::make_unique<HostFolder>(*this, Descriptor(m_calls, fd));
    }
    return m_root.get();
}

std::uint64_t HostDrive::nextRandom()
{
    return ::nextRandom(m_random);
}
