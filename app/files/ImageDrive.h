#pragma once

#include "files/DiskImage.h"
#include "files/Drive.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class SystemCalls;
class FatVolume;
class Committer;

// Drive C: inside a disk image: the FAT file system of its first FAT
// partition, or of the whole image. Raw images are read and written here
// directly; the others through QEMU's block layer (see NbdServer).
//
// The image is opened, checked and locked for a hold (a call, or the calls
// of one handler), never longer: between holds nothing of it is held, so an
// emulator, or another clean, may have it. A hold that writes makes sure
// first that nothing else has it:
// - no other program has the image open (a write lease, held throughout
//   for a raw image; else the process table, looked at again before a
//   commit where the image was opened since), nor a QEMU its lock bytes; this program takes QEMU's lock
//   bytes itself, so that a QEMU started meanwhile refuses the image;
// - no lock file of Bochs (IMAGE.lock) or VMware (IMAGE.lck) is beside it;
// - Windows shut the drive down cleanly, and no structure of it is damaged.
// Another clean of this program waits for this one's hold to end, on a byte
// lock of its own, and so two cleans of one image end as one after the
// other. What a clean changes goes out in commits (FatVolume) made by a
// child process, which finishes one it began whatever becomes of this one.
class ImageDrive final : public Drive
{
public:
    struct Options
    {
        // Replaces the host's calls (tests fail them) and makes commits in
        // this process, where the failures land.
        SystemCalls *calls = nullptr;
        // How long a hold waits for another clean's, or for a server
        // another clean left behind.
        std::chrono::milliseconds waitForOthers{60000};
    };

    // The image at path, looked at: its format, and drive C: in it. What it
    // is instead, where it holds no drive C:, is the failure. What open()
    // holds of the image goes with the first hold's end.
    static Result<std::unique_ptr<ImageDrive>> open(std::string path, Options options);
    static Result<std::unique_ptr<ImageDrive>> open(std::string path) { return open(std::move(path), Options()); }
    ~ImageDrive() override;

    const std::string &path() const override { return m_path; }
    Result<DriveFolder *> root() override;
    Failure hold(Access access) override;
    void letGo() override;
    void retain() override;
    void release() override;
    Failure whyNotWritable() override;
    std::string description() const override { return m_description; }

    // The lock byte of this program's own in an image: past the bytes QEMU
    // takes (100 and on, 200 and on).
    static constexpr off_t ownLockByte = 400;

    // --- For its folders ---
    struct Session;
    Session *session() const { return m_session.get(); }
    // Each hold a number of its own: what a folder knew of the one before
    // is looked up again.
    std::uint64_t generation() const { return m_generation; }
    FatVolume &volume();
    Failure commit();
    SystemCalls &calls() const { return m_calls; }

private:
    ImageDrive(std::string path, Options options);
    Failure openSession(Access access);
    void closeSession();
    Failure checkNoOneElse(Session &session, bool raw);
    Failure foreignHolders(dev_t device, ino_t inode);
    static bool openedSince(Session &session);
    Failure waitForLock(int fd, short type);

    std::string m_path;
    Options m_options;
    SystemCalls &m_calls;
    ImageFormat m_format;
    std::string m_description;
    std::unique_ptr<Session> m_session;
    std::unique_ptr<DriveFolder> m_root;
    std::unique_ptr<Committer> m_committer;
    std::uint64_t m_generation = 0;
    // The hold open() left for the first hold to take over, and why it
    // could not be one that writes.
    bool m_lingering = false;
    Failure m_refusal;
    int m_uses = 0;
    int m_retained = 0;
};

// Drive C: at a host path: a disk image where it is a file, else a folder.
Result<std::unique_ptr<Drive>> openDrive(const std::string &path);
