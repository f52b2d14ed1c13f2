#include "files/UseCheck.h"

#include "files/FolderReader.h"
#include "files/SplitMix.h"
#include "files/SystemCalls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <string_view>

namespace {

bool isNumber(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

// The device and inode of one line of /proc/PID/maps: "start-end perms
// offset major:minor inode path"; false for a line without them.
bool mappedFile(std::string_view line, dev_t &device, ino_t &inode)
{
    auto field = [&line]() {
        while (!line.empty() && line.front() == ' ')
            line.remove_prefix(1);
        const std::size_t end = std::min(line.find(' '), line.size());
        const std::string_view word = line.substr(0, end);
        line.remove_prefix(end);
        return word;
    };
    field();
    field();
    field();
    const std::string_view numbers = field();
    const std::string_view inodeText = field();
    const std::size_t colon = numbers.find(':');
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long long number = 0;
    if (colon == std::string_view::npos
        || std::from_chars(numbers.data(), numbers.data() + colon, major, 16).ec != std::errc()
        || std::from_chars(numbers.data() + colon + 1, numbers.data() + numbers.size(), minor, 16).ec
               != std::errc()
        || std::from_chars(inodeText.data(), inodeText.data() + inodeText.size(), number).ec != std::errc()
        || number == 0)
        return false;
    device = makedev(major, minor);
    inode = ino_t(number);
    return true;
}


// The first waits of a refused file are shorter than a look at /proc: a
// cleaner's check is over in microseconds, and the next try is cheaper than
// finding out who it was.
constexpr long lookAfterMicroseconds = 1'000;
constexpr long firstPauseMicroseconds = 250;
constexpr int pauseDoublings = 4;

} // namespace

ProcessTable::ProcessTable(SystemCalls &calls)
    : m_calls(calls)
    , m_ownPid(long(::getpid()))
{
}

long long ProcessTable::millisecondsNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool ProcessTable::readWholeFile(int folderFd, const char *path, std::string &text)
{
    text.clear();
    Descriptor file(m_calls, m_calls.openat(folderFd, path, O_RDONLY | O_CLOEXEC, 0));
    if (!file)
        return false;
    char chunk[4096];
    for (;;) {
        const ssize_t got = m_calls.read(file.get(), chunk, sizeof chunk);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        text.append(chunk, std::size_t(got));
    }
}

// Every file of device that a process this user may look at holds open or
// mapped. Processes come and go while /proc is read, and some are not this
// user's to see: those are passed over. False, with error set, only when
// /proc itself cannot be read.
bool ProcessTable::scan(dev_t device)
{
    m_held.clear();
    Descriptor proc(m_calls, m_calls.openat(AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!proc) {
        m_error = errno;
        return false;
    }
    m_buffer.resize(32 * 1024);
    m_innerBuffer.resize(16 * 1024);
    std::string text;
    FolderReader processes(m_calls, proc.get(), m_buffer.data(), m_buffer.size());
    FolderReader::Entry process;
    while (processes.next(process)) {
        if (!isNumber(process.name))
            continue;
        const std::string pid = process.name;
        const long number = std::stol(pid);
        Descriptor descriptors(m_calls, m_calls.openat(proc.get(), (pid + "/fd").c_str(),
                                                       O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        if (descriptors) {
            FolderReader reader(m_calls, descriptors.get(), m_innerBuffer.data(), m_innerBuffer.size());
            FolderReader::Entry entry;
            while (reader.next(entry)) {
                struct stat status;
                if (isNumber(entry.name) && m_calls.fstatat(descriptors.get(), entry.name, &status, 0) == 0
                    && status.st_dev == device)
                    m_held.emplace_back(status.st_ino, number);
            }
        }
        if (readWholeFile(proc.get(), (pid + "/maps").c_str(), text)) {
            std::string_view rest = text;
            while (!rest.empty()) {
                const std::size_t end = std::min(rest.find('\n'), rest.size());
                dev_t mappedDevice = 0;
                ino_t inode = 0;
                if (mappedFile(rest.substr(0, end), mappedDevice, inode) && mappedDevice == device)
                    m_held.emplace_back(inode, number);
                rest.remove_prefix(std::min(end + 1, rest.size()));
            }
        }
    }
    std::sort(m_held.begin(), m_held.end());
    m_held.erase(std::unique(m_held.begin(), m_held.end()), m_held.end());
    if (processes.error() != 0) {
        m_error = processes.error();
        return false;
    }
    return true;
}

bool ProcessTable::renew(dev_t device, long long notBefore)
{
    const long long now = millisecondsNow();
    if (m_takenAt >= 0 && device == m_device && now - m_takenAt <= renewAfterMilliseconds && m_takenAt >= notBefore)
        return true;
    m_takenAt = -1;
    if (!scan(device))
        return false;
    m_device = device;
    m_takenAt = now;
    return true;
}

std::string ProcessTable::nameOf(long pid)
{
    std::string name;
    if (!readWholeFile(AT_FDCWD, ("/proc/" + std::to_string(pid) + "/comm").c_str(), name))
        return {};
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

long ProcessTable::parentOf(long pid)
{
    std::string stat;
    if (!readWholeFile(AT_FDCWD, ("/proc/" + std::to_string(pid) + "/stat").c_str(), stat))
        return 0;
    // "PID (NAME) STATE PARENT ...": the name may hold anything, brackets too.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size())
        return 0;
    return std::strtol(stat.c_str() + close + 4, nullptr, 10);
}

const std::string &ProcessTable::ownName()
{
    if (!m_ownName)
        m_ownName = nameOf(m_ownPid);
    return *m_ownName;
}

std::vector<ProcessTable::Holder> ProcessTable::holdersOf(dev_t device, ino_t inode)
{
    std::vector<Holder> found;
    if (m_takenAt < 0 || device != m_device)
        return found;
    const auto first = std::lower_bound(m_held.begin(), m_held.end(), std::make_pair(inode, 0L));
    for (auto at = first; at != m_held.end() && at->first == inode; ++at) {
        if (at->second == m_ownPid || (!found.empty() && found.back().pid == at->second))
            continue;
        std::string name = nameOf(at->second);
        if (name.empty())
            continue;
        const long parent = parentOf(at->second);
        found.push_back({at->second, std::move(name), parent, parent > 0 ? nameOf(parent) : std::string()});
    }
    return found;
}

ProcessTable::Holding ProcessTable::holdingFromLast(ino_t inode)
{
    Holding holding;
    const auto first = std::lower_bound(m_held.begin(), m_held.end(), std::make_pair(inode, 0L));
    for (auto at = first; at != m_held.end() && at->first == inode; ++at) {
        if (at->second == m_ownPid)
            continue;
        if (!m_ownName)
            m_ownName = nameOf(m_ownPid);
        // A process whose name cannot be read has ended since the look:
        // it holds nothing now.
        const std::string name = nameOf(at->second);
        if (!name.empty())
            (name == *m_ownName ? holding.byCleaner : holding.byProgram) = true;
    }
    return holding;
}

std::optional<ProcessTable::Holding> ProcessTable::holding(dev_t device, ino_t inode, long long notBefore)
{
    if (!renew(device, notBefore))
        return std::nullopt;
    return holdingFromLast(inode);
}

std::optional<ProcessTable::Holding> ProcessTable::lastSeen(dev_t device, ino_t inode)
{
    if (m_takenAt < 0 || device != m_device || millisecondsNow() - m_takenAt > renewAfterMilliseconds)
        return std::nullopt;
    return holdingFromLast(inode);
}

std::string ProcessTable::holders(dev_t device, ino_t inode)
{
    std::string names;
    if (m_takenAt < 0 || device != m_device)
        return names;
    const auto first = std::lower_bound(m_held.begin(), m_held.end(), std::make_pair(inode, 0L));
    for (auto at = first; at != m_held.end() && at->first == inode; ++at) {
        if (at->second == m_ownPid)
            continue;
        const std::string name = nameOf(at->second);
        if (name.empty())
            continue;
        if (!names.empty())
            names += ", ";
        names += name + " (PID " + std::to_string(at->second) + ")";
    }
    return names;
}

UseCheck::UseCheck(SystemCalls &calls)
    : m_calls(calls)
    , m_table(calls)
    , m_random(std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())
               ^ (std::uint64_t(::getpid()) << 32))
{
}

UseCheck::Lease UseCheck::lease(int fd)
{
    if (m_calls.setLease(fd, F_WRLCK) == 0)
        return Lease::Held;
    const int error = errno;
    if (error == EAGAIN)
        return Lease::Refused;
    // Not the file's owner without CAP_LEASE, or a file system that grants
    // no leases (or leases turned off).
    if (error == EACCES || error == EPERM || error == EINVAL || error == ENOSYS || error == ENOTSUP)
        return Lease::NotOffered;
    errno = error;
    return Lease::Failed;
}

void UseCheck::begin()
{
    m_holders.clear();
    m_error = 0;
    m_waited = 0;
    m_rounds = 0;
    m_refusedSince = -1;
    m_cleanerSeen = false;
}

UseCheck::Answer UseCheck::fromProcessTable(dev_t device, ino_t inode)
{
    const std::optional<ProcessTable::Holding> seen = m_table.holding(device, inode);
    if (!seen) {
        m_error = m_table.error();
        return Answer::Unknown;
    }
    if (seen->byProgram)
        return inUse(device, inode);
    if (seen->byCleaner)
        return afterRefusal(device, inode);
    return Answer::Free;
}

UseCheck::Answer UseCheck::afterRefusal(dev_t device, ino_t inode)
{
    if (m_refusedSince < 0)
        m_refusedSince = ProcessTable::millisecondsNow();
    // A program seen holding it a moment ago holds it still: many files a
    // program holds cost no wait each.
    if (const std::optional<ProcessTable::Holding> seen = m_table.lastSeen(device, inode); seen && seen->byProgram)
        return inUse(device, inode);
    if (m_waited >= lookAfterMicroseconds) {
        // Taken since the refusal began, so it shows who refused it.
        if (const std::optional<ProcessTable::Holding> seen = m_table.holding(device, inode, m_refusedSince)) {
            if (seen->byProgram)
                return inUse(device, inode);
            // A cleaner seen once keeps the longer wait: a later look that
            // finds no one may have come just after it let go, while the
            // refusal that sent us here was its.
            m_cleanerSeen = m_cleanerSeen || seen->byCleaner;
        }
    }
    if (m_waited >= (m_cleanerSeen ? cleanerBudgetMicroseconds : refusalBudgetMicroseconds))
        return inUse(device, inode);
    pause();
    return Answer::TryAgain;
}

UseCheck::Answer UseCheck::inUse(dev_t device, ino_t inode)
{
    m_holders = m_table.holders(device, inode);
    return Answer::InUse;
}

void UseCheck::pause()
{
    const long step = firstPauseMicroseconds << std::min(m_rounds, pauseDoublings);
    // Between half and one and a half times the step.
    const long microseconds = step / 2 + long(nextRandom(m_random) % std::uint64_t(step));
    struct timespec duration {};
    duration.tv_sec = microseconds / 1'000'000;
    duration.tv_nsec = (microseconds % 1'000'000) * 1000;
    m_calls.nanosleep(duration);
    m_waited += microseconds;
    ++m_rounds;
}
