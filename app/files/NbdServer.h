#pragma once

#include "files/BlockDevice.h"
#include "files/Failure.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

class SystemCalls;

// QEMU's block layer serving one image to this process alone: qemu-nbd,
// started on a listening socket this process made and connected to before
// the server even runs, so that no other process comes first, and that no
// file names it. qemu-nbd takes QEMU's own locks on the image as any QEMU
// does, and ends by itself once the connection does; a keeper process ends
// it where this one ended before the server could serve it. However this
// process ends, the server follows within moments.
class NbdServer
{
public:
    // driver is QEMU's ("qcow2", "vpc", ...). Read-only servers take no lock
    // and share everything, so that a drive an emulator runs can still be
    // looked at.
    static Result<std::unique_ptr<NbdServer>> start(SystemCalls &calls, const std::string &image,
                                                    const std::string &driver, bool writable);
    // Says goodbye, and waits for the server to end.
    ~NbdServer();
    NbdServer(const NbdServer &) = delete;
    NbdServer &operator=(const NbdServer &) = delete;

    BlockDevice &disk() { return *m_disk; }
    // The keeper, whose child the server is.
    pid_t pid() const { return m_pid; }

private:
    NbdServer() = default;
    // What the server said on its way out, read from its error output.
    std::string lastWords();

    pid_t m_pid = -1;
    int m_socket = -1;
    int m_errors = -1;
    int m_life = -1;
    std::unique_ptr<BlockDevice> m_disk;
};

// The package that brings qemu-nbd, for the message where it is missing.
inline constexpr const char *nbdServerPackage = "qemu-utils";
