// file_services_probe ROOT CURRENT OPERATION ARGUMENT
// Runs one file service as whatever user started it and prints "ok RESULT"
// or "error NUMBER". The permission tests start it as an unprivileged user,
// since the tests themselves run as root, whom the host never refuses, and
// in a mount namespace of its own with another /proc.
// BRIGHTSWEEP_TEST_ATTRIBUTE_ROUTE=proc reads attributes through /proc.
//
// "survey" and "report" (a delete-by-pattern) first print a line for each
// match, "NAME deleted" or "NAME kept: WHY". With BRIGHTSWEEP_TEST_HOLD_LATE
// set to "HOLDER PATH", the run starts HOLDER open PATH once it has begun
// listing the folder, and waits until it holds the file.
#include "files/FileError.h"
#include "files/FileServices.h"
#include "files/Verdict.h"
#include "support/FaultySystemCalls.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

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

// Starts "HOLDER open PATH" and returns once it says it holds the file. Its
// standard input stays open until this process ends.
void holdLate(const char *setting)
{
    const std::string text = setting;
    const std::size_t space = text.find(' ');
    std::string holder = text.substr(0, space);
    std::string path = text.substr(space + 1);
    int toHolder[2];
    int fromHolder[2];
    if (pipe(toHolder) != 0 || pipe(fromHolder) != 0)
        std::exit(3);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHolder[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromHolder[1], STDOUT_FILENO);
    char open[] = "open";
    char *arguments[] = {holder.data(), open, path.data(), nullptr};
    pid_t pid;
    const int spawned = posix_spawn(&pid, holder.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        std::exit(3);
    close(toHolder[0]);
    close(fromHolder[1]);
    char ready[6] = {};
    if (read(fromHolder[0], ready, 5) != 5 || std::strcmp(ready, "ready") != 0)
        std::exit(3);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ROOT CURRENT cd|first|delete|report|survey|write ARGUMENT\n", argv[0]);
        return 2;
    }
    const std::string_view operation = argv[3];
    const char *argument = argv[4];
    std::string result;
    try {
        FaultySystemCalls calls;
        const char *late = std::getenv("BRIGHTSWEEP_TEST_HOLD_LATE");
        bool started = false;
        calls.setWatcher([&](const char *call) {
            if (late && !started && std::strcmp(call, "getdents64") == 0) {
                started = true;
                holdLate(late);
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
        std::printf("error %d\n", error.number());
        return 0;
    }
    std::printf("ok %s\n", result.c_str());
    return 0;
}
