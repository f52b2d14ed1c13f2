#pragma once

#include "files/Drive.h"
#include "files/FolderReader.h"

#include <cstdint>
#include <memory>
#include <string>

class SystemCalls;

// Drive C: rooted at one host folder. Every folder is held by a handle that
// can only name it (O_PATH), opened from its parent's, never through a
// link; a folder is read through a handle of its own, and the entries of a
// cleaned folder are judged and deleted through that one, so that a folder
// swapped for a link between a look-up and a delete cannot redirect it.
class HostDrive final : public Drive
{
public:
    // hostRoot is the folder that stands for "C:\"; it alone may be a link.
    // calls, when given, replaces the host's system calls and must outlive
    // the drive.
    explicit HostDrive(std::string hostRoot, SystemCalls *calls = nullptr);
    ~HostDrive() override;

    const std::string &path() const override { return m_path; }
    Result<DriveFolder *> root() override;

    SystemCalls &calls() const { return m_calls; }
    // One helping of a folder, shared by every reading: only one is ever
    // under way.
    char *buffer() const { return m_buffer.get(); }
    std::uint64_t nextRandom();

private:
    std::string m_path;
    SystemCalls &m_calls;
    std::unique_ptr<DriveFolder> m_root;
    std::unique_ptr<char[]> m_buffer;
    std::uint64_t m_random;
};
