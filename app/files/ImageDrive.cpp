#include "files/ImageDrive.h"

#include "files/FatVolume.h"
#include "files/HostDrive.h"
#include "files/NbdServer.h"
#include "files/SystemCalls.h"
#include "files/UseCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

namespace {

// Where QEMU keeps its image locks: a byte for each permission it holds
// from 100, one for each it shares with no one from 200.
constexpr off_t qemuLockFirst = 100;
constexpr off_t qemuLockBytes = 200;
// The permissions this program takes while it writes, as a QEMU that writes
// would: it reads and writes (100, 101), and shares none of reading,
// writing, writing unchanged and resizing (200 to 203). A QEMU, qemu-img
// among them, that wants any of them refuses the image meanwhile.
constexpr off_t heldPermissions[][2] = {{100, 2}, {200, 4}};
// How many removals wait before a commit, so that a long delete is heard
// going, on the task bar too.
constexpr std::size_t removalsPerCommit = 4096;
constexpr std::chrono::milliseconds lockPoll{20};

// Whatever stands between a hold and the image, in the words of a file in
// use.
Failure inUse(std::string why)
{
    return Failure{EBUSY, std::move(why), 75, Step::Unset, {}};
}

std::string baseName(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The commit in a child of its own, which finishes the writes it began
// whatever becomes of this process: killed in the middle of a commit, the
// program leaves the drive as it was before it, or after.
class ForkCommitter final : public Committer
{
public:
    Failure run(BlockDevice &drive, const std::vector<CommitWrite> &writes) override
    {
        int told[2];
        if (::pipe2(told, O_CLOEXEC) != 0)
            return Failure::of(errno);
        const pid_t pid = ::fork();
        if (pid < 0) {
            const int error = errno;
            ::close(told[0]);
            ::close(told[1]);
            return Failure::of(error);
        }
        if (pid == 0) {
            ::close(told[0]);
            const Failure failed = DirectCommitter().run(drive, writes);
            const int error = failed.failed() ? (failed.error != 0 ? failed.error : EIO) : 0;
            ssize_t ignored = ::write(told[1], &error, sizeof error);
            (void)ignored;
            ::_exit(0);
        }
        ::close(told[1]);
        int error = EIO;
        ssize_t got;
        while ((got = ::read(told[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
        ::close(told[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (got != ssize_t(sizeof error))
            error = EIO;
        return error == 0 ? Failure() : Failure::of(error);
    }
};

} // namespace

struct ImageDrive::Session
{
    explicit Session(SystemCalls &systemCalls)
        : calls(systemCalls)
    {
    }
    ~Session()
    {
        volume.reset();
        partition.reset();
        server.reset();
        file.reset();
        // Its lock bytes, QEMU's and the lease go with it.
        if (fd >= 0)
            calls.close(fd);
        if (opens >= 0)
            ::close(opens);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    SystemCalls &calls;
    Access access = Access::Read;
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t changedAt = 0;
    std::unique_ptr<NbdServer> server;
    // Told of every open of the image once its server has it, so that the
    // process table is looked at before a commit only when someone opened
    // it since; -1 where the kernel tells nothing, and it is looked at
    // every time.
    int opens = -1;
    std::unique_ptr<FileBlocks> file;
    std::unique_ptr<PartitionView> partition;
    std::unique_ptr<FatVolume> volume;
    DriveLocation location;
    // A commit failed: nothing more is written before the image is read
    // again.
    bool broken = false;
};

namespace {

// A volume label is never a folder, whatever other bit it has: the walk
// of the whole drive leaves it out, so nothing may be written in it.
bool isFolder(const FatEntry &entry)
{
    return (entry.attributes & FatAttribute::Directory) != 0 && (entry.attributes & FatAttribute::VolumeLabel) == 0;
}

unsigned char typeOf(const FatEntry &entry)
{
    if ((entry.attributes & FatAttribute::VolumeLabel) != 0)
        return DT_UNKNOWN;
    return isFolder(entry) ? DT_DIR : DT_REG;
}

// What an entry of a FAT folder counts as: the attribute byte answers
// "hidden, system, read-only"; a name with a dot first is hidden as on a
// host folder, where Wine hides it.
EntryInfo judgeEntry(const FatEntry *entry, const char *name)
{
    EntryInfo info;
    if (!entry || entry->name != name)
        return info;
    if (name[0] == '.')
        info.verdict = Verdict::Hidden;
    else if ((entry->attributes & FatAttribute::VolumeLabel) != 0)
        info.verdict = Verdict::VolumeLabel;
    else if ((entry->attributes & FatAttribute::Directory) != 0)
        info.verdict = Verdict::Folder;
    else if ((entry->attributes & (FatAttribute::Hidden | FatAttribute::System)) != 0)
        info.verdict = Verdict::DosHidden;
    else if ((entry->attributes & FatAttribute::ReadOnly) != 0)
        info.verdict = Verdict::DosReadOnly;
    else
        info.verdict = Verdict::Delete;
    info.size = entry->size;
    return info;
}

class ImageFolder final : public DriveFolder
{
public:
    ImageFolder(ImageDrive &drive, std::vector<std::string> path)
        : m_drive(drive)
        , m_path(std::move(path))
    {
    }

    // The folder in the image as the hold at hand reads it: looked up
    // again, by its stored names, in a hold after the one it was found in.
    Result<FatDirectory *> directory()
    {
        if (!m_drive.session())
            return Failure::of(EIO);
        FatVolume &volume = m_drive.volume();
        if (m_generation == m_drive.generation())
            return volume.directory(m_cluster);
        Result<FatDirectory *> at = volume.root();
        for (const std::string &name : m_path) {
            if (!at)
                return at;
            const FatEntry *entry = (*at)->named(name);
            if (!entry)
                return Failure::of(ENOENT);
            if (!isFolder(*entry))
                return Failure::of(ENOTDIR);
            at = volume.directory(entry->firstCluster);
        }
        if (at) {
            m_cluster = (*at)->cluster();
            m_generation = m_drive.generation();
        }
        return at;
    }

    Result<std::unique_ptr<DriveFolder>> enter(const std::string &name) override
    {
        Result<FatDirectory *> folder = directory();
        if (!folder)
            return folder.failure();
        const FatEntry *entry = (*folder)->named(name);
        if (!entry)
            return Failure::of(ENOENT);
        if (!isFolder(*entry) || entry->name == "." || entry->name == "..")
            return Failure::of(ENOTDIR);
        std::vector<std::string> path = m_path;
        path.push_back(name);
        return std::unique_ptr<DriveFolder>(std::make_unique<ImageFolder>(m_drive, std::move(path)));
    }
    Result<std::unique_ptr<DriveFolder>> again() override
    {
        return std::unique_ptr<DriveFolder>(std::make_unique<ImageFolder>(m_drive, m_path));
    }
    Failure mayEnter() override
    {
        Result<FatDirectory *> folder = directory();
        return folder ? Failure() : folder.failure();
    }
    Failure has(const std::string &name) override
    {
        Result<FatDirectory *> folder = directory();
        if (!folder)
            return folder.failure();
        return (*folder)->named(name) ? Failure() : Failure::of(ENOENT);
    }
    Result<std::unique_ptr<FolderCursor>> read(Purpose purpose) override;
    std::unique_ptr<FolderEntries> entries(bool checkUse) override;
    Result<std::unique_ptr<DriveFolder>> forWriting() override { return again(); }
    Result<std::unique_ptr<PendingWrite>> prepareWrite(const std::string &name, const EntryInfo &target) override;

    ImageDrive &drive() const { return m_drive; }

private:
    ImageDrive &m_drive;
    std::vector<std::string> m_path;
    std::uint32_t m_cluster = 0;
    std::uint64_t m_generation = ~std::uint64_t(0);
};

class ImageEntries : public FolderEntries
{
public:
    explicit ImageEntries(ImageFolder &folder)
        : m_folder(folder)
    {
    }

    EntryInfo judge(const ListedEntry &entry) override
    {
        Result<FatDirectory *> folder = m_folder.directory();
        if (!folder) {
            EntryInfo info;
            info.verdict = Verdict::Unreadable;
            info.error = folder.failure().error != 0 ? folder.failure().error : EIO;
            return info;
        }
        return judgeEntry(find(**folder, entry), entry.name);
    }
    void release() override {}
    Removal remove(const ListedEntry &entry, Failure &failure) override
    {
        Result<FatDirectory *> folder = m_folder.directory();
        if (!folder) {
            failure = folder.failure();
            return Removal::Failed;
        }
        FatEntry *found = find(**folder, entry);
        if (!found || found->name != entry.name)
            return Removal::Gone;
        if (Failure failed = m_folder.drive().volume().remove(**folder, *found); failed.failed()) {
            failure = failed;
            return Removal::Failed;
        }
        return Removal::Pending;
    }
    bool wantsCommit() const override { return m_folder.drive().volume().pendingRemovals() >= removalsPerCommit; }
    Failure commit() override { return m_folder.drive().commit(); }

private:
    static FatEntry *find(FatDirectory &folder, const ListedEntry &entry)
    {
        return entry.slot != 0 ? folder.atSlot(entry.slot - 1) : folder.named(entry.name);
    }

    ImageFolder &m_folder;
};

class ImageCursor final : public FolderCursor
{
public:
    ImageCursor(ImageFolder &folder, FatDirectory &directory, std::uint64_t changedAt)
        : m_entries(folder)
        , m_directory(directory)
        , m_changedAt(changedAt)
    {
    }

    bool next(ListedEntry &entry) override
    {
        const std::vector<FatEntry> &all = m_directory.entries();
        while (m_at < all.size() && all[m_at].deleted)
            ++m_at;
        if (m_at >= all.size())
            return false;
        const FatEntry &found = all[m_at++];
        entry.name = found.name.c_str();
        entry.type = typeOf(found);
        entry.slot = found.slot + 1;
        return true;
    }
    Failure failure() const override { return {}; }
    Failure rewind() override
    {
        m_at = 0;
        return {};
    }
    // The folder's first cluster, as the image stood when the hold began.
    FolderIdentity identity() override { return {m_directory.cluster(), m_changedAt, true}; }

    EntryInfo judge(const ListedEntry &entry) override { return m_entries.judge(entry); }
    void release() override {}
    Removal remove(const ListedEntry &entry, Failure &failure) override { return m_entries.remove(entry, failure); }
    bool wantsCommit() const override { return m_entries.wantsCommit(); }
    Failure commit() override { return m_entries.commit(); }

private:
    ImageEntries m_entries;
    FatDirectory &m_directory;
    std::uint64_t m_changedAt;
    std::size_t m_at = 0;
};

// A file written into the image at close-all: the one write a FAT drive
// makes in one step, clusters first, then its entry.
class ImageWrite final : public PendingWrite
{
public:
    ImageWrite(std::unique_ptr<DriveFolder> folder, std::string name)
        : m_folder(std::move(folder))
        , m_name(std::move(name))
    {
    }

    Failure putInPlace(const std::string &text) override
    {
        auto &folder = static_cast<ImageFolder &>(*m_folder);
        Result<FatDirectory *> directory = folder.directory();
        if (!directory)
            return directory.failure();
        FatEntry *existing = (*directory)->named(m_name);
        if (existing) {
            const Verdict verdict = judgeEntry(existing, m_name.c_str()).verdict;
            if (verdict != Verdict::Delete)
                return Failure{0, "no longer an ordinary writable file", 75, Step::Unset, {}};
        }
        if (Failure failed = folder.drive().volume().write(**directory, m_name, existing, text); failed.failed())
            return failed.in(Step::Flush);
        return folder.drive().commit();
    }

private:
    std::unique_ptr<DriveFolder> m_folder;
    std::string m_name;
};

Result<std::unique_ptr<FolderCursor>> ImageFolder::read(Purpose)
{
    Result<FatDirectory *> folder = directory();
    if (!folder)
        return folder.failure();
    return std::unique_ptr<FolderCursor>(
        std::make_unique<ImageCursor>(*this, **folder, m_drive.session()->changedAt));
}

std::unique_ptr<FolderEntries> ImageFolder::entries(bool)
{
    return std::make_unique<ImageEntries>(*this);
}

Result<std::unique_ptr<PendingWrite>> ImageFolder::prepareWrite(const std::string &name, const EntryInfo &)
{
    return std::unique_ptr<PendingWrite>(std::make_unique<ImageWrite>(std::make_unique<ImageFolder>(m_drive, m_path), name));
}

} // namespace

ImageDrive::ImageDrive(std::string path, Options options)
    : m_path(std::move(path))
    , m_options(options)
    , m_calls(options.calls ? *options.calls : SystemCalls::host())
{
    if (options.calls)
        m_committer = std::make_unique<DirectCommitter>();
    else
        m_committer = std::make_unique<ForkCommitter>();
}

ImageDrive::~ImageDrive()
{
    m_root.reset();
    closeSession();
}

Result<std::unique_ptr<ImageDrive>> ImageDrive::open(std::string path, Options options)
{
    std::unique_ptr<ImageDrive> drive(new ImageDrive(std::move(path), options));
    // Looked at as a hold that writes would, so that the first hold, which
    // takes this one over, has no server to start again; where it may not
    // be written, as one that reads, and why is kept for the preview.
    if (Failure refused = drive->openSession(Access::Write); refused.failed()) {
        drive->closeSession();
        if (Failure failed = drive->openSession(Access::Read); failed.failed())
            return failed;
        drive->m_refusal = refused;
    } else {
        // Walked now, as the window's toolkit starts beside it, so that the
        // start-up's first write finds it walked; what it finds wrong, the
        // hold finds again and refuses.
        drive->m_session->volume->checkWhole();
    }
    const Session &session = *drive->m_session;
    drive->m_description = session.location.where + ", " + session.volume->describe() + ", of a "
                           + drive->m_format.name + " disk image";
    drive->m_lingering = true;
    return drive;
}

FatVolume &ImageDrive::volume()
{
    return *m_session->volume;
}

Result<DriveFolder *> ImageDrive::root()
{
    if (!m_root)
        m_root = std::make_unique<ImageFolder>(*this, std::vector<std::string>());
    return m_root.get();
}

Failure ImageDrive::hold(Access access)
{
    m_lingering = false;
    if (m_session && m_session->broken)
        return Failure{EIO, "an earlier write to the image failed", 57, Step::Unset, {}};
    if (!m_session || (access == Access::Write && m_session->access != Access::Write)) {
        // A hold that reads becomes one that writes: the image is checked
        // and locked for it anew.
        closeSession();
        if (Failure failed = openSession(access); failed.failed())
            return failed;
    }
    // The whole drive is walked once before the first write, not for a
    // hold that only reads, as the window's start does.
    if (access == Access::Write) {
        if (Failure failed = m_session->volume->checkWhole(); failed.failed())
            return failed;
    }
    ++m_uses;
    return {};
}

void ImageDrive::letGo()
{
    if (m_uses > 0 && --m_uses == 0 && m_retained == 0)
        closeSession();
}

void ImageDrive::retain()
{
    ++m_retained;
}

void ImageDrive::release()
{
    if (m_retained > 0 && --m_retained == 0 && m_uses == 0)
        closeSession();
}

Failure ImageDrive::whyNotWritable()
{
    if (m_lingering && m_session && m_session->access == Access::Read)
        return m_refusal;
    if (m_session && m_session->access == Access::Write)
        return m_session->volume->checkWhole();
    if (m_uses > 0)
        return {};
    closeSession();
    Failure failed = openSession(Access::Write);
    if (!failed.failed())
        failed = m_session->volume->checkWhole();
    closeSession();
    return failed;
}

void ImageDrive::closeSession()
{
    m_session.reset();
}

Failure ImageDrive::waitForLock(int fd, short type)
{
    const auto deadline = std::chrono::steady_clock::now() + m_options.waitForOthers;
    for (;;) {
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = ownLockByte;
        lock.l_len = 1;
        if (m_calls.lockBytes(fd, F_OFD_SETLK, lock) == 0)
            return {};
        // A file system without such locks has no other clean to wait for
        // either that could be told of.
        if (errno != EAGAIN && errno != EACCES)
            return {};
        if (std::chrono::steady_clock::now() >= deadline)
            return inUse("in use by another clean of this image, which did not end");
        std::this_thread::sleep_for(lockPoll);
    }
}

// The programs other than cleaners of this program that have the image
// open. A server such a clean started ends by itself when that clean has:
// it is waited for a while, not taken for a program.
Failure ImageDrive::foreignHolders(dev_t device, ino_t inode)
{
    ProcessTable table(m_calls);
    const auto deadline = std::chrono::steady_clock::now() + std::min(m_options.waitForOthers, std::chrono::milliseconds(3000));
    const long self = long(::getpid());
    for (;;) {
        if (!table.holding(device, inode, ProcessTable::millisecondsNow()))
            return Failure{table.error(), "whether another program has the image open cannot be told", 75,
                           Step::Unset, {}};
        const std::string &own = table.ownName();
        std::string foreign;
        bool lingering = false;
        for (const ProcessTable::Holder &holder : table.holdersOf(device, inode)) {
            if (holder.name == own)
                continue;
            if (holder.name == "qemu-nbd") {
                // This clean's own server, or another clean's.
                if (holder.parent == self || holder.parentName == own)
                    continue;
                lingering = true;
            }
            foreign += (foreign.empty() ? "" : ", ") + holder.name + " (PID " + std::to_string(holder.pid) + ")";
        }
        if (foreign.empty())
            return {};
        if (!lingering || std::chrono::steady_clock::now() >= deadline)
            return inUse("in use by " + foreign);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

Failure ImageDrive::checkNoOneElse(Session &session, bool raw)
{
    struct stat beside;
    const std::string name = baseName(m_path);
    if (::lstat((m_path + ".lock").c_str(), &beside) == 0)
        return inUse("in use by Bochs, whose lock file " + name + ".lock is beside it");
    if (::lstat((m_path + ".lck").c_str(), &beside) == 0)
        return inUse("in use by VMware, whose lock " + name + ".lck is beside it");

    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = qemuLockFirst;
    lock.l_len = qemuLockBytes;
    if (m_calls.lockBytes(session.fd, F_OFD_GETLK, lock) == 0 && lock.l_type != F_UNLCK) {
        const Failure holders = foreignHolders(session.device, session.inode);
        const std::string who =
            holders.failed() && holders.number == 75 && holders.reason.rfind("in use by ", 0) == 0
                ? holders.reason.substr(10)
                : "QEMU";
        return inUse("in use by " + who + ", which holds QEMU's lock on the image");
    }
    // A raw image is kept under a lease for the whole hold: a program that
    // opens it meanwhile waits until the hold is over. Of another format it
    // tells in one call that no one else has it; the server, which opens it
    // next, would break it.
    if (m_calls.setLease(session.fd, F_WRLCK) != 0) {
        if (Failure failed = foreignHolders(session.device, session.inode); failed.failed())
            return failed;
    } else if (!raw) {
        m_calls.setLease(session.fd, F_UNLCK);
    }
    if (raw) {
        for (const auto &[start, length] : heldPermissions) {
            struct flock held {};
            held.l_type = F_RDLCK;
            held.l_whence = SEEK_SET;
            held.l_start = start;
            held.l_len = length;
            if (m_calls.lockBytes(session.fd, F_OFD_SETLK, held) != 0 && errno != EINVAL)
                return inUse("in use by a QEMU that started just now");
        }
    }
    return {};
}

Failure ImageDrive::openSession(Access access)
{
    auto session = std::make_unique<Session>(m_calls);
    session->access = access;
    const bool writing = access == Access::Write;
    // Not waiting at the open: a clean writing the image holds a lease on
    // it, and its hold is waited out below.
    const auto deadline = std::chrono::steady_clock::now() + m_options.waitForOthers;
    for (;;) {
        session->fd = m_calls.openat(AT_FDCWD, m_path.c_str(),
                                     (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
        if (session->fd >= 0 || errno != EWOULDBLOCK)
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            return inUse("in use by another program that keeps it leased");
        std::this_thread::sleep_for(lockPoll);
    }
    if (session->fd < 0) {
        const int error = errno;
        if (writing && error == EROFS)
            return Failure{error, "the image is on a read-only file system", 75, Step::Unset, {}};
        if (writing && error == EACCES)
            return Failure{error, "this user may not write to the image", 70, Step::Unset, {}};
        return Failure::of(error).in(Step::Path);
    }
    struct stat status;
    if (m_calls.fstatat(session->fd, "", &status, AT_EMPTY_PATH) != 0)
        return Failure::of(errno);
    if (!S_ISREG(status.st_mode))
        return Failure{EINVAL, "not a disk image file", 76, Step::Unset, {}};
    session->device = status.st_dev;
    session->inode = status.st_ino;
    session->changedAt = std::uint64_t(status.st_ctim.tv_sec) * 1000000000u + std::uint64_t(status.st_ctim.tv_nsec);
    if (Failure failed = waitForLock(session->fd, writing ? F_WRLCK : F_RDLCK); failed.failed())
        return failed;

    // Told apart by what it holds, never by its name.
    std::uint8_t head[1024] = {};
    std::uint8_t tail[512] = {};
    const std::uint64_t size = std::uint64_t(status.st_size);
    const ssize_t headBytes = m_calls.pread(session->fd, head, sizeof head, 0);
    const ssize_t tailBytes = size >= sizeof tail ? m_calls.pread(session->fd, tail, sizeof tail, off_t(size - sizeof tail)) : 0;
    if (headBytes < 0 || tailBytes < 0)
        return Failure::of(errno);
    Result<ImageFormat> format = detectImageFormat(head, std::size_t(headBytes), tail, std::size_t(tailBytes), size);
    if (!format)
        return format.failure();
    m_format = format.take();

    if (writing) {
        if (Failure failed = checkNoOneElse(*session, m_format.raw()); failed.failed())
            return failed;
    }
    BlockDevice *disk = nullptr;
    if (m_format.raw()) {
        session->file = std::make_unique<FileBlocks>(m_calls, session->fd, size);
        disk = session->file.get();
    } else {
        Result<std::unique_ptr<NbdServer>> server = NbdServer::start(m_calls, m_path, m_format.driver, writing);
        if (!server)
            return server.failure();
        session->server = server.take();
        if (writing) {
            // Watched from now: the server's own opens are behind it.
            session->opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (session->opens >= 0 && ::inotify_add_watch(session->opens, m_path.c_str(), IN_OPEN) < 0) {
                ::close(session->opens);
                session->opens = -1;
            }
        }
        disk = &session->server->disk();
    }
    Result<DriveLocation> location = findDriveC(*disk);
    if (!location)
        return location.failure();
    session->location = location.take();
    session->partition = std::make_unique<PartitionView>(*disk, session->location.start, session->location.size);
    Result<std::unique_ptr<FatVolume>> volume = FatVolume::open(*session->partition, writing);
    if (!volume)
        return volume.failure();
    session->volume = volume.take();
    if (writing) {
        if (Failure failed = session->volume->shutDownCleanly(); failed.failed())
            return failed;
    }
    ++m_generation;
    m_session = std::move(session);
    return {};
}

// Whether anything opened the image since the last look; what was told is
// taken, so the next look tells of what comes after it.
bool ImageDrive::openedSince(Session &session)
{
    if (session.opens < 0)
        return true;
    bool opened = false;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t got = ::read(session.opens, events, sizeof events);
        if (got > 0) {
            opened = true;
            continue;
        }
        // Nothing more to tell, or the queue overflowed and said so.
        return opened || (got < 0 && errno != EAGAIN && errno != EINTR);
    }
}

Failure ImageDrive::commit()
{
    Session &session = *m_session;
    if (!session.volume->changed())
        return {};
    // Served by qemu-nbd, the image is under no lease of this program's: a
    // program that opened it since the hold began is found here, before
    // anything more is written.
    if (session.server && openedSince(session)) {
        if (Failure failed = foreignHolders(session.device, session.inode); failed.failed()) {
            session.broken = true;
            return failed;
        }
    }
    const std::vector<CommitWrite> writes = session.volume->commitSteps();
    if (Failure failed = m_committer->run(*session.partition, writes); failed.failed()) {
        session.broken = true;
        return failed.number != 0 ? failed : Failure{failed.error, failed.reason, 57, Step::Unset, {}};
    }
    session.volume->committed();
    return {};
}

Result<std::unique_ptr<Drive>> openDrive(const std::string &path)
{
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        Result<std::unique_ptr<ImageDrive>> image = ImageDrive::open(path);
        if (!image)
            return image.failure();
        return std::unique_ptr<Drive>(image.take());
    }
    return std::unique_ptr<Drive>(std::make_unique<HostDrive>(path));
}
