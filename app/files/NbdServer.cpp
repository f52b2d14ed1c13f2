#include "files/NbdServer.h"

#include "files/SystemCalls.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

extern char **environ;

namespace {

constexpr std::uint32_t requestMagic = 0x25609513;
constexpr std::uint32_t replyMagic = 0x67446698;
constexpr std::uint16_t readCommand = 0;
constexpr std::uint16_t writeCommand = 1;
constexpr std::uint16_t disconnectCommand = 2;
constexpr std::uint16_t flushCommand = 3;
// qemu-nbd takes requests of up to 32 MB.
constexpr std::size_t largestRequest = 32 * 1024 * 1024;
constexpr char exportName[] = "c";

void putBig(std::uint8_t *at, std::uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

std::uint64_t big(const std::uint8_t *at, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | at[i];
    return value;
}

Failure serverGone()
{
    return Failure{EIO, "the image's server (qemu-nbd) ended", 57, Step::Unset, {}};
}

// The image through the NBD protocol, one request at a time: a request is
// answered before the next goes, so the server makes the writes in the
// order they were made here.
class NbdBlocks final : public BlockDevice
{
public:
    NbdBlocks(SystemCalls &calls, int fd, std::uint64_t size)
        : m_calls(calls)
        , m_fd(fd)
        , m_size(size)
    {
    }

    std::uint64_t size() const override { return m_size; }

    Failure read(std::uint64_t offset, void *data, std::size_t length) override
    {
        auto *at = static_cast<std::uint8_t *>(data);
        for (std::size_t done = 0; done < length;) {
            const std::size_t part = std::min(length - done, largestRequest);
            if (Failure failed = request(readCommand, offset + done, part, nullptr, at + done); failed.failed())
                return failed;
            done += part;
        }
        return {};
    }

    Failure write(std::uint64_t offset, const void *data, std::size_t length) override
    {
        const auto *at = static_cast<const std::uint8_t *>(data);
        for (std::size_t done = 0; done < length;) {
            const std::size_t part = std::min(length - done, largestRequest);
            if (Failure failed = request(writeCommand, offset + done, part, at + done, nullptr); failed.failed())
                return failed;
            done += part;
        }
        return {};
    }

    Failure flush() override { return request(flushCommand, 0, 0, nullptr, nullptr); }

    void disconnect()
    {
        std::uint8_t header[28];
        fillHeader(header, disconnectCommand, 0, 0);
        sendAll(header, sizeof header);
    }

private:
    void fillHeader(std::uint8_t *header, std::uint16_t command, std::uint64_t offset, std::size_t length)
    {
        putBig(header, requestMagic, 4);
        putBig(header + 4, 0, 2);
        putBig(header + 6, command, 2);
        putBig(header + 8, ++m_handle, 8);
        putBig(header + 16, offset, 8);
        putBig(header + 24, length, 4);
    }

    Failure sendAll(const void *data, std::size_t length)
    {
        const auto *at = static_cast<const char *>(data);
        while (length > 0) {
            const ssize_t sent = m_calls.send(m_fd, at, length);
            if (sent <= 0)
                return serverGone();
            at += sent;
            length -= std::size_t(sent);
        }
        return {};
    }

    Failure receiveAll(void *data, std::size_t length)
    {
        auto *at = static_cast<char *>(data);
        while (length > 0) {
            const ssize_t got = m_calls.read(m_fd, at, length);
            if (got <= 0)
                return serverGone();
            at += got;
            length -= std::size_t(got);
        }
        return {};
    }

    Failure request(std::uint16_t command, std::uint64_t offset, std::size_t length, const std::uint8_t *out,
                    std::uint8_t *in)
    {
        if (command != flushCommand && (offset > m_size || length > m_size - offset))
            return Failure{EIO, "damaged: a structure points beyond the end of the disk", 57, Step::Unset, {}};
        std::uint8_t header[28];
        fillHeader(header, command, offset, length);
        if (Failure failed = sendAll(header, sizeof header); failed.failed())
            return failed;
        if (out) {
            if (Failure failed = sendAll(out, length); failed.failed())
                return failed;
        }
        std::uint8_t reply[16];
        if (Failure failed = receiveAll(reply, sizeof reply); failed.failed())
            return failed;
        if (big(reply, 4) != replyMagic || big(reply + 8, 8) != m_handle)
            return serverGone();
        if (const auto error = static_cast<int>(big(reply + 4, 4)); error != 0)
            return Failure::of(error == 28 ? ENOSPC : EIO);
        return in ? receiveAll(in, length) : Failure();
    }

    SystemCalls &m_calls;
    int m_fd;
    std::uint64_t m_size;
    std::uint64_t m_handle = 0;
};

// The option string of QEMU's block layer for the image: commas in a name
// are doubled there, and nothing in it is taken for a protocol or an
// option of its own.
std::string imageOptions(const std::string &image, const std::string &driver, bool writable)
{
    std::string escaped;
    for (const char c : image) {
        escaped += c;
        if (c == ',')
            escaped += ',';
    }
    std::string options = "driver=" + driver + ",file.driver=file,file.filename=" + escaped;
    if (!writable)
        options += ",read-only=on,force-share=on";
    else
        options += ",file.locking=on";
    return options;
}

void pause(long milliseconds)
{
    struct timespec wait{0, milliseconds * 1000000};
    ::nanosleep(&wait, nullptr);
}

// The keeper's life, after the fork: only calls that are safe there. It
// holds nothing of this process but the end of the pipe it watches.
[[noreturn]] void keep(int life, pid_t served)
{
    if (served < 0)
        ::_exit(1);
    if (life != 0 && ::dup2(life, 0) != 0)
        ::_exit(1);
    ::close_range(1, ~0U, 0);
    int status = 0;
    for (;;) {
        pollfd watched{0, POLLIN, 0};
        ::poll(&watched, 1, 100);
        if (::waitpid(served, &status, WNOHANG) == served)
            ::_exit(0);
        char ignored;
        if ((watched.revents & (POLLIN | POLLHUP)) != 0 && ::read(0, &ignored, 1) <= 0)
            break;
    }
    // A server that served a connection leaves with it, in a moment, and
    // the program that waits for this keeper goes on the moment it has:
    // told by a pidfd where the kernel has them, else looked at every 5 ms.
    // One told to ends cleanly, with what it took in flushed; one that
    // will not, is ended.
    if (const int exited = int(::syscall(SYS_pidfd_open, served, 0)); exited >= 0) {
        pollfd gone{exited, POLLIN, 0};
        ::poll(&gone, 1, 1000);
    }
    for (int round = 0; round < 200; ++round) {
        if (::waitpid(served, &status, WNOHANG) == served)
            ::_exit(0);
        pause(5);
    }
    ::kill(served, SIGTERM);
    for (int round = 0; round < 60; ++round) {
        if (::waitpid(served, &status, WNOHANG) == served)
            ::_exit(0);
        pause(50);
    }
    ::kill(served, SIGKILL);
    ::waitpid(served, &status, 0);
    ::_exit(0);
}

std::string findProgram(const char *name)
{
    const char *path = std::getenv("PATH");
    std::string_view rest = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find(':'), rest.size());
        std::string candidate(rest.substr(0, end));
        if (!candidate.empty()) {
            candidate += '/';
            candidate += name;
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return {};
}

} // namespace

Result<std::unique_ptr<NbdServer>> NbdServer::start(SystemCalls &calls, const std::string &image,
                                                    const std::string &driver, bool writable)
{
    const std::string program = findProgram("qemu-nbd");
    if (program.empty())
        return Failure{ENOENT, "reading this kind of image needs qemu-nbd, which the Debian package "
                                   + std::string(nbdServerPackage) + " brings",
                       76, Step::Unset, {}};

    std::unique_ptr<NbdServer> server(new NbdServer());
    // A socket without a name in any folder: listened on, and connected to,
    // before the server starts. It lets one connection wait, and this one is
    // it.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return Failure::of(errno);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socklen_t length = sizeof address.sun_family;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(listener, 0) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &(length = sizeof address)) != 0) {
        const int error = errno;
        ::close(listener);
        return Failure::of(error);
    }
    server->m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int errors[2];
    if (server->m_socket < 0 || ::connect(server->m_socket, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::pipe2(errors, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(listener);
        return Failure::of(error);
    }
    server->m_errors = errors[0];

    // Everything the child needs is made before the fork: after it, only
    // calls that are safe there.
    const std::string options = imageOptions(image, driver, writable);
    std::vector<std::string> arguments{program, "--shared=1", std::string("--export-name=") + exportName,
                                       "--cache=writeback", "--discard=ignore"};
    if (!writable)
        arguments.emplace_back("--read-only");
    arguments.emplace_back("--image-opts");
    arguments.push_back(options);
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    char listenFds[] = "LISTEN_FDS=1";
    char listenPid[32] = "LISTEN_PID=";
    std::vector<char *> envp;
    for (char **variable = environ; *variable; ++variable) {
        if (std::strncmp(*variable, "LISTEN_", 7) != 0)
            envp.push_back(*variable);
    }
    envp.push_back(listenFds);
    envp.push_back(listenPid);
    envp.push_back(nullptr);

    // The server's keeper: a child of this process that starts qemu-nbd
    // and lives on while anything of this process does (a commit's child
    // too) holds the other end of life. qemu-nbd ends by itself when a
    // connection it served ends, but not one that ended before it was
    // served: killed at that moment, this process would leave it running,
    // and the keeper ends it then.
    int life[2];
    if (::pipe2(life, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(listener);
        ::close(errors[1]);
        return Failure::of(error);
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(listener);
        ::close(errors[1]);
        ::close(life[0]);
        ::close(life[1]);
        return Failure::of(error);
    }
    if (pid == 0) {
        const pid_t served = ::fork();
        if (served == 0) {
            // Its own number, for systemd's way of handing over a socket.
            char digits[24];
            int count = 0;
            for (long value = ::getpid(); value > 0; value /= 10)
                digits[count++] = static_cast<char>('0' + value % 10);
            char *at = listenPid + 11;
            while (count > 0)
                *at++ = digits[--count];
            *at = '\0';
            const int quiet = ::open("/dev/null", O_RDWR);
            if (listener == 3)
                ::fcntl(3, F_SETFD, 0);
            else if (::dup2(listener, 3) != 3)
                ::_exit(127);
            if (quiet < 0 || ::dup2(quiet, 0) != 0 || ::dup2(quiet, 1) != 1 || ::dup2(errors[1], 2) != 2)
                ::_exit(127);
            ::close_range(4, ~0U, 0);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        keep(life[0], served);
    }
    server->m_pid = pid;
    server->m_life = life[1];
    ::close(life[0]);
    ::close(listener);
    ::close(errors[1]);

    // The fixed newstyle handshake, asking for the one export by name.
    const int fd = server->m_socket;
    auto receive = [&](void *data, std::size_t size) {
        auto *at = static_cast<char *>(data);
        while (size > 0) {
            const ssize_t got = calls.read(fd, at, size);
            if (got <= 0)
                return false;
            at += got;
            size -= std::size_t(got);
        }
        return true;
    };
    auto sendAll = [&](const void *data, std::size_t size) {
        return calls.send(fd, data, size) == ssize_t(size);
    };
    std::uint8_t greeting[18];
    if (!receive(greeting, sizeof greeting) || std::memcmp(greeting, "NBDMAGICIHAVEOPT", 16) != 0) {
        const std::string words = server->lastWords();
        if (words.find("lock") != std::string::npos)
            return Failure{EBUSY, "in use by QEMU, which holds the image's lock", 75, Step::Unset, {}};
        return Failure{EIO, "qemu-nbd could not open it" + (words.empty() ? std::string() : ": " + words), 57,
                       Step::Unset, {}};
    }
    const auto serverFlags = static_cast<std::uint16_t>(big(greeting + 16, 2));
    const bool noZeroes = (serverFlags & 2) != 0;
    std::uint8_t hello[4 + 16 + sizeof exportName - 1];
    putBig(hello, 1u | (noZeroes ? 2u : 0u), 4);
    std::memcpy(hello + 4, "IHAVEOPT", 8);
    putBig(hello + 12, 1, 4); // NBD_OPT_EXPORT_NAME
    putBig(hello + 16, sizeof exportName - 1, 4);
    std::memcpy(hello + 20, exportName, sizeof exportName - 1);
    std::uint8_t answer[10 + 124];
    if (!sendAll(hello, sizeof hello) || !receive(answer, noZeroes ? 10 : sizeof answer))
        return Failure{EIO, "qemu-nbd did not serve the image" + (server->lastWords().empty() ? std::string() : ": " + server->lastWords()),
                       57, Step::Unset, {}};
    const std::uint64_t size = big(answer, 8);
    const auto flags = static_cast<std::uint16_t>(big(answer + 8, 2));
    if (writable && (flags & 2) != 0)
        return Failure{EROFS, "qemu-nbd serves the image read-only", 75, Step::Unset, {}};
    server->m_disk = std::make_unique<NbdBlocks>(calls, fd, size);
    return server;
}

std::string NbdServer::lastWords()
{
    std::string words;
    if (m_errors < 0)
        return words;
    char chunk[512];
    for (;;) {
        pollfd ready{m_errors, POLLIN, 0};
        if (::poll(&ready, 1, 2000) <= 0)
            break;
        const ssize_t got = ::read(m_errors, chunk, sizeof chunk);
        if (got <= 0)
            break;
        words.append(chunk, std::size_t(got));
    }
    while (!words.empty() && (words.back() == '\n' || words.back() == ' '))
        words.pop_back();
    std::replace(words.begin(), words.end(), '\n', ' ');
    return words;
}

NbdServer::~NbdServer()
{
    if (m_disk)
        static_cast<NbdBlocks &>(*m_disk).disconnect();
    m_disk.reset();
    if (m_socket >= 0) {
        ::shutdown(m_socket, SHUT_RDWR);
        ::close(m_socket);
    }
    if (m_errors >= 0)
        ::close(m_errors);
    if (m_life >= 0)
        ::close(m_life);
    // The image is free again only once the server, and its keeper, are gone.
    if (m_pid > 0) {
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}
