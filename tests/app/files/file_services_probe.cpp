// file_services_probe ROOT CURRENT OPERATION ARGUMENT
// Runs one file service as whatever user started it and prints "ok RESULT"
// or "error NUMBER". The permission tests start it as an unprivileged user,
// since the tests themselves run as root, whom the host never refuses, and
// in a mount namespace of its own with another /proc.
// BRIGHTSWEEP_TEST_ATTRIBUTE_ROUTE=proc reads attributes through /proc.
//
// "survey" and "report" (a delete-by-pattern) first print a line for each
// match, "NAME deleted" or "NAME kept: WHY", then "paused N times", how
// often the run waited for a file another process held. With
// BRIGHTSWEEP_TEST_HOLD_LATE set to "HOLDER PATH", the run starts HOLDER
// open PATH once it has begun listing the folder, and waits until it holds
// the file; it ends the holder before it exits.
//
// With BRIGHTSWEEP_TEST_REFUSALS_OUTLIVE_MS set to M, a lease granted within M
// ms of the last one refused is refused all the same: the refusal a run saw
// just before the holder let go, met again after it, when /proc shows no one.
//
// file_services_probe --hold PATH MILLISECONDS|forever unlink|keep
// does what another cleaner does to a file, stopped in the middle: it
// leases PATH and says "ready"; once a clean reaches the file (its open
// breaks the lease) it says "reached", waits MILLISECONDS (or, forever,
// until its input ends), then deletes the file or not and lets go. Reached
// by nothing within 10 s, it says "never reached" and exits 4.
#include "files/FileError.h"
#include "files/FileServices.h"
#include "files/Verdict.h"
#include "support/FaultySystemCalls.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

extern char **environ;

namespace {

class Printer final : public EntryObserver
{
public:
    void entry(const EntryReport &report, bool deleted) override
    {
        std::string why(keptBecause(report.verdict));
        if (!report.holders.empty())
            why += " by " + std::string(report.holders);
        std::printf("%.*s %s\n", int(report.name.size()), report.name.data(),
                    deleted ? "deleted" : report.verdict == Verdict::Delete ? "delete" : ("kept: " + why).c_str());
    }
};

class LaggingRefusals final : public FaultySystemCalls
{
public:
    explicit LaggingRefusals(long milliseconds)
        : m_lag(milliseconds)
    {
    }

    // Another's lease refuses the open before any lease of ours is tried.
    int openat(int dirFd, const char *path, int flags, mode_t mode) override
    {
        const int fd = FaultySystemCalls::openat(dirFd, path, flags, mode);
        if (fd < 0 && errno == EWOULDBLOCK)
            m_lastRefusal = std::chrono::steady_clock::now();
        return fd;
    }

    int setLease(int fd, int type) override
    {
        const int result = FaultySystemCalls::setLease(fd, type);
        if (type != F_WRLCK || m_lag <= 0)
            return result;
        const auto now = std::chrono::steady_clock::now();
        if (result != 0 && errno == EAGAIN) {
            m_lastRefusal = now;
        } else if (result == 0 && m_lastRefusal && now - *m_lastRefusal < std::chrono::milliseconds(m_lag)) {
            FaultySystemCalls::setLease(fd, F_UNLCK);
            errno = EAGAIN;
            return -1;
        }
        return result;
    }

private:
    long m_lag;
    std::optional<std::chrono::steady_clock::time_point> m_lastRefusal;
};

// A holder started once the run has begun: ended, and waited for, when this
// process ends its work, whatever way it ends.
class LateHolder
{
public:
    LateHolder() = default;
    LateHolder(const LateHolder &) = delete;
    LateHolder &operator=(const LateHolder &) = delete;
    ~LateHolder() { end(); }

    // Starts "HOLDER open PATH" and returns once it says it holds the file.
    void start(const char *setting)
    {
        const std::string text = setting;
        const std::size_t space = text.find(' ');
        std::string holder = text.substr(0, space);
        std::string path = text.substr(space + 1);
        int toHolder[2];
        int fromHolder[2];
        // Close-on-exec, or the holder would keep the writing end of its own
        // input open and never see it end.
        if (pipe2(toHolder, O_CLOEXEC) != 0 || pipe2(fromHolder, O_CLOEXEC) != 0)
            std::exit(3);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toHolder[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromHolder[1], STDOUT_FILENO);
        char open[] = "open";
        char *arguments[] = {holder.data(), open, path.data(), nullptr};
        const int spawned = posix_spawn(&m_pid, holder.c_str(), &actions, nullptr, arguments, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(toHolder[0]);
        close(fromHolder[1]);
        if (spawned != 0)
            std::exit(3);
        m_input = toHolder[1];
        char ready[6] = {};
        const bool holds = read(fromHolder[0], ready, 5) == 5 && std::strcmp(ready, "ready") == 0;
        close(fromHolder[0]);
        if (!holds) {
            end();
            std::exit(3);
        }
    }

    void end()
    {
        if (m_input >= 0)
            close(std::exchange(m_input, -1));
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(std::exchange(m_pid, 0), nullptr, 0);
        }
    }

private:
    pid_t m_pid = 0;
    int m_input = -1;
};

int holdLikeACleaner(const char *path, const char *milliseconds, const char *then)
{
    // The break of its lease, which the clean's open of the file starts, is
    // the moment the clean reaches it: only then does the moment begin, so
    // that the overlap happens however slow the machine. Blocked, the
    // signal waits to be taken rather than ending this process.
    sigset_t breaking;
    sigemptyset(&breaking);
    sigaddset(&breaking, SIGIO);
    sigprocmask(SIG_BLOCK, &breaking, nullptr);
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
        std::perror(path);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const struct timespec limit = {10, 0};
    if (sigtimedwait(&breaking, nullptr, &limit) != SIGIO) {
        std::printf("never reached\n");
        return 4;
    }
    std::printf("reached\n");
    std::fflush(stdout);
    // "forever": until told to go, its input closed, however long the
    // clean takes to give up on it.
    if (std::strcmp(milliseconds, "forever") == 0) {
        char ignored[16];
        while (read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
        }
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(milliseconds)));
    }
    if (std::strcmp(then, "unlink") == 0 && unlink(path) != 0) {
        std::perror(path);
        return 1;
    }
    close(fd);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--hold") == 0)
        return holdLikeACleaner(argv[2], argv[3], argv[4]);
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ROOT CURRENT cd|first|delete|report|survey|write ARGUMENT\n", argv[0]);
        return 2;
    }
    const std::string_view operation = argv[3];
    const char *argument = argv[4];
    std::string result;
    LateHolder lateHolder;
    const char *lag = std::getenv("BRIGHTSWEEP_TEST_REFUSALS_OUTLIVE_MS");
    LaggingRefusals calls(lag ? std::atol(lag) : 0);
    const bool tellsPauses = operation == "report" || operation == "survey";
    try {
        const char *late = std::getenv("BRIGHTSWEEP_TEST_HOLD_LATE");
        bool started = false;
        calls.setWatcher([&](const char *call) {
            if (late && !started && std::strcmp(call, "getdents64") == 0) {
                started = true;
                lateHolder.start(late);
            }
        });
        FileServices files(argv[1], &calls);
        files.changeDirectory(argv[2]);
        Printer printer;
        if (operation == "cd") {
            files.changeDirectory(argument);
            result = files.currentDirectory();
        } else if (operation == "first") {
            result = files.firstMatch(argument);
        } else if (operation == "delete" || operation == "report") {
            calls.arm(0, 0);
            files.deleteByPattern(argument, operation == "report" ? &printer : nullptr);
        } else if (operation == "survey") {
            files.survey(argument, printer);
        } else if (operation == "write") {
            files.openForOutput(1, argument);
            files.writeRecord(1, "Hello World");
            files.closeAll();
        } else {
            return 2;
        }
    } catch (const FileError &error) {
        if (tellsPauses)
            std::printf("paused %ld times\n", calls.pauses());
        std::printf("error %d\n", error.number());
        return 0;
    }
    if (tellsPauses)
        std::printf("paused %ld times\n", calls.pauses());
    std::printf("ok %s\n", result.c_str());
    return 0;
}
