#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class SystemCalls;

// Whether a process holds a file open or mapped, as Windows, which refuses
// to delete such a file, would know.

// The files that processes hold open or have mapped, as /proc shows them to
// this user: for naming who holds a file, and where no lease can be had.
class ProcessTable
{
public:
    explicit ProcessTable(SystemCalls &calls);

    // Who holds a file: a program, or only cleaners like this one (a
    // process of the same name), which hold a file for the moment it takes
    // to check and delete it. This process itself does not count, nor one
    // that has ended since the look.
    struct Holding
    {
        bool byProgram = false;
        bool byCleaner = false;
    };
    // From a look at /proc at most renewAfter old and taken no earlier than
    // notBefore (milliseconds of the steady clock); nothing, with error()
    // set, when /proc cannot be read.
    std::optional<Holding> holding(dev_t device, ino_t inode, long long notBefore = -1);
    // The same from the last look, if it is of this device and at most
    // renewAfter old; else nothing, and nothing is looked at.
    std::optional<Holding> lastSeen(dev_t device, ino_t inode);
    // "name (PID n), ..." of the processes the last look saw holding the
    // file that still run, their names read now; "" where none were seen.
    std::string holders(dev_t device, ino_t inode);
    // The same, one process at a time, with the process that started it.
    struct Holder
    {
        long pid = 0;
        std::string name;
        long parent = 0;
        std::string parentName;
    };
    std::vector<Holder> holdersOf(dev_t device, ino_t inode);
    // This program's own name, as /proc shows it: another process of it is
    // another cleaner.
    const std::string &ownName();
    int error() const { return m_error; }

    static constexpr long renewAfterMilliseconds = 50;
    static long long millisecondsNow();

private:
    bool renew(dev_t device, long long notBefore);
    bool scan(dev_t device);
    Holding holdingFromLast(ino_t inode);
    bool readWholeFile(int folderFd, const char *path, std::string &text);
    std::string nameOf(long pid);
    long parentOf(long pid);

    SystemCalls &m_calls;
    int m_error = 0;
    dev_t m_device = 0;
    long long m_takenAt = -1;
    long m_ownPid;
    std::optional<std::string> m_ownName;
    // (inode, PID), sorted.
    std::vector<std::pair<ino_t, long>> m_held;
    std::vector<char> m_buffer;
    std::vector<char> m_innerBuffer;
};

// Tells for one file at a time whether another process holds it. A write
// lease tells in one call, and while it is held any other open of the file
// waits: a file found free stays free until the lease is let go, so checking
// and deleting are one step. Where the host grants no lease (another user's
// file, a file system without leases) the process table tells instead.
//
// Another cleaner's check holds a file for a moment, as this one's does; on
// Windows two deletes never conflict. So a file refused where no program is
// seen holding it is tried again after a short wait, with jitter so that
// two cleaners refusing each other part, for up to refusalBudget, and for
// as long as cleanerBudget once another cleaner has been seen holding it.
class UseCheck
{
public:
    explicit UseCheck(SystemCalls &calls);

    enum class Lease {
        Held,       // no other process holds the file; closing fd lets go
        Refused,    // another process holds it open
        NotOffered, // not this user's to lease, or no leases here
        Failed,     // could not be told; errno says why
    };
    Lease lease(int fd);

    enum class Answer {
        Free,      // no one else holds it
        InUse,     // holders() names who, where that can be seen
        TryAgain,  // after the wait this made
        Unknown,   // could not be told; error() says why
    };
    // Starts the checks of another file.
    void begin();
    // The file no lease can be had for: what the process table shows.
    Answer fromProcessTable(dev_t device, ino_t inode);
    // The file was refused: an open or a lease stopped by another process.
    Answer afterRefusal(dev_t device, ino_t inode);

    const std::string &holders() const { return m_holders; }
    int error() const { return m_error; }
    // Waited so far for the file begun last, in microseconds.
    long waited() const { return m_waited; }

    static constexpr long refusalBudgetMicroseconds = 20'000;
    static constexpr long cleanerBudgetMicroseconds = 1'000'000;

private:
    Answer inUse(dev_t device, ino_t inode);
    void pause();

    SystemCalls &m_calls;
    ProcessTable m_table;
    std::string m_holders;
    int m_error = 0;
    long m_waited = 0;
    int m_rounds = 0;
    long long m_refusedSince = -1;
    bool m_cleanerSeen = false;
    std::uint64_t m_random;
};
