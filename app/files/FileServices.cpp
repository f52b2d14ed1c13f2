#include "files/FileServices.h"

#include "files/CaseFolding.h"
#include "files/DosPath.h"
#include "files/FileError.h"
#include "files/EntryClassification.h"
#include "files/FolderReader.h"
#include "files/SplitMix.h"
#include "files/SystemCalls.h"
#include "files/UseCheck.h"
#include "files/Wildcard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace {

// One helping of a folder for delete-by-pattern and the case-insensitive
// look-up, which read the whole folder anyway.
constexpr std::size_t folderBufferSize = 64 * 1024;
// first-match asks for less at a time: when an early entry matches, the rest
// of a huge folder is never read.
constexpr std::size_t firstMatchReadSize = 8 * 1024;

constexpr int lowestFileNumber = 1;
constexpr int highestFileNumber = 511;

// Folders are walked with handles that can only name them, so a folder that
// may be crossed but not listed can still be crossed, and a link is never one.
constexpr int walkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int readFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Which step failed decides what an errno means to the caller.
enum class Step { Path, Read, Create, Flush, Replace };

int errorNumber(int error, Step step)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return FileError::DiskFull;
    case EACCES:
    case EPERM:
        return FileError::PermissionDenied;
    case EROFS:
        // A read-only file system refuses the file like a read-only file does.
        return FileError::PathFileAccessError;
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return step == Step::Flush || step == Step::Replace ? FileError::DeviceIoError
                                                            : FileError::PathNotFound;
    case EIO:
        return FileError::DeviceIoError;
    default:
        break;
    }
    switch (step) {
    case Step::Create:
    case Step::Replace:
        return FileError::PathFileAccessError;
    case Step::Path:
    case Step::Read:
    case Step::Flush:
        break;
    }
    return FileError::DeviceIoError;
}

std::string hostReason(int error)
{
    return error == 0 ? std::string() : std::string(std::strerror(error));
}

[[noreturn]] void fail(int number, std::string dosPath, std::string reason)
{
    throw FileError(number, std::move(dosPath), std::move(reason));
}

[[noreturn]] void failWithErrno(int error, Step step, std::string dosPath)
{
    fail(errorNumber(error, step), std::move(dosPath), hostReason(error));
}

// A folder or name that is not there, or not reachable without following a
// link: first-match finds nothing in it, which is no failure.
bool isMissing(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

// A match that could not be examined: the device failed, this user may not
// look, or what it is cannot be told.
int uncheckedNumber(int error)
{
    if (error == EIO)
        return FileError::DeviceIoError;
    if (error == EACCES || error == EPERM)
        return FileError::PermissionDenied;
    return FileError::PathFileAccessError;
}

std::string reasonOf(const EntryInfo &info)
{
    if (info.useUnknown)
        return "whether it is in use cannot be told: " + hostReason(info.error);
    return info.attributesUnread ? "DOS attributes unreadable: " + hostReason(info.error) : hostReason(info.error);
}

std::string inUseReason(const EntryInfo &info)
{
    return info.holders.empty() ? std::string("in use") : "in use by " + info.holders;
}

bool holdsNul(std::string_view text)
{
    return text.find('\0') != std::string_view::npos;
}

// A folder's listing names the folder and its parent too; neither is an
// entry of it.
bool isDotOrDotDot(std::string_view name)
{
    return name == "." || name == "..";
}


} // namespace

struct FileServices::State
{
    // One written file between open-for-output and close-all. Its text goes
    // to a hidden temporary file beside the target, which only close-all
    // puts in the target's place.
    struct OpenFile
    {
        Descriptor folder;
        Descriptor file;
        std::string temporaryName;
        std::string targetName;
        std::string dosPath;
        std::string text;
    };

    struct Walk
    {
        Descriptor folder;
        std::vector<std::string> stored;
        int error = 0;
    };

    State(std::string rootPath, SystemCalls &systemCalls)
        : hostRoot(std::move(rootPath))
        , calls(systemCalls)
        , buffer(new char[folderBufferSize])
        , randomState(std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())
                      ^ reinterpret_cast<std::uintptr_t>(this))
    {
        openRoot();
    }

    ~State()
    {
        for (auto &[number, file] : openFiles)
            discard(file);
    }

    std::string hostRoot;
    SystemCalls &calls;
    Descriptor root;
    int rootError = 0;
    std::vector<std::string> current;
    Descriptor currentFolder;
    std::map<int, OpenFile> openFiles;
    std::unique_ptr<char[]> buffer;
    std::uint64_t randomState;

    void openRoot()
    {
        // The root alone may be a link: it is the user's choice of drive.
        const int fd = calls.openat(AT_FDCWD, hostRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        rootError = fd < 0 ? errno : 0;
        root = Descriptor(calls, fd);
    }

    int rootFd()
    {
        if (!root)
            openRoot();
        return root.get();
    }

    int currentFd() { return currentFolder ? currentFolder.get() : rootFd(); }

    // The stored spelling of name in a folder: the exact bytes when they
    // exist, else the first in byte order of the entries that differ from it
    // only in case. Nothing, with error set, when no entry has that name.
    std::optional<std::string> lookUp(int folderFd, const std::string &name, int &error)
    {
        struct stat status;
        if (calls.fstatat(folderFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            return name;
        error = errno;
        if (error != ENOENT)
            return std::nullopt;
        return lookUpOtherCase(folderFd, name, error);
    }

    std::optional<std::string> lookUpOtherCase(int folderFd, std::string_view name, int &error)
    {
        Descriptor reading(calls, calls.openat(folderFd, ".", readFlags, 0));
        if (!reading) {
            error = errno;
            return std::nullopt;
        }
        const FoldedName wanted(name);
        std::optional<std::string> best;
        FolderReader reader(calls, reading.get(), buffer.get(), folderBufferSize);
        FolderReader::Entry entry;
        while (reader.next(entry)) {
            const std::string_view candidate = entry.name;
            if (candidate == "." || candidate == "..")
                continue;
            if (wanted.sameAs(candidate) && (!best || candidate < *best))
                best = std::string(candidate);
        }
        error = reader.error() != 0 ? reader.error() : best ? 0 : ENOENT;
        return reader.error() != 0 ? std::nullopt : best;
    }

    // Opens the folder of a resolved path, never through a link, and keeps
    // the stored spelling of each folder. A failed walk leaves error set and
    // no folder open.
    Walk walk(const DosFolderPath &path)
    {
        Walk result;
        std::size_t from = 0;
        int start;
        if (path.belowCurrent) {
            start = currentFd();
            from = current.size();
            result.stored = current;
        } else {
            start = rootFd();
        }
        if (start < 0) {
            result.error = rootError;
            return result;
        }
        Descriptor held;
        for (std::size_t i = from; i < path.components.size(); ++i) {
            const int at = held ? held.get() : start;
            std::string name = path.components[i];
            int fd = calls.openat(at, name.c_str(), walkFlags, 0);
            if (fd < 0 && errno == ENOENT) {
                int error = 0;
                if (std::optional<std::string> found = lookUpOtherCase(at, name, error)) {
                    name = std::move(*found);
                    fd = calls.openat(at, name.c_str(), walkFlags, 0);
                } else {
                    errno = error;
                }
            }
            if (fd < 0) {
                result.error = errno;
                return result;
            }
            held = Descriptor(calls, fd);
            result.stored.push_back(std::move(name));
        }
        if (!held) {
            held = Descriptor(calls, calls.openat(start, ".", walkFlags, 0));
            if (!held) {
                result.error = errno;
                return result;
            }
        }
        result.folder = std::move(held);
        return result;
    }

    // The folder part of dosPath, opened; the failure is thrown.
    Walk walkTo(std::string_view folderPath, std::string_view wholePath)
    {
        const std::optional<DosFolderPath> path = resolveDosFolder(folderPath, current);
        if (!path)
            fail(FileError::PathNotFound, std::string(wholePath), {});
        Walk result = walk(*path);
        if (result.error != 0)
            failWithErrno(result.error, Step::Path, dosPathText(path->components));
        return result;
    }

    Descriptor openForReading(int folderFd, const std::vector<std::string> &stored)
    {
        Descriptor reading(calls, calls.openat(folderFd, ".", readFlags, 0));
        if (!reading)
            failWithErrno(errno, Step::Read, dosPathText(stored));
        return reading;
    }

    void discard(OpenFile &file)
    {
        file.file.reset();
        if (!file.temporaryName.empty())
            calls.unlinkat(file.folder.get(), file.temporaryName.c_str(), 0);
        file.temporaryName.clear();
    }

    // A pattern of delete-by-pattern or the survey: the folder it names,
    // walked to, and its name part, prepared once for the whole listing.
    struct PatternWalk
    {
        std::string_view name;
        Walk walked;
        WildcardPattern wildcards;
    };

    PatternWalk walkToPattern(std::string_view pattern)
    {
        if (holdsNul(pattern))
            fail(FileError::BadFileNameOrNumber, std::string(pattern), {});
        const DosPathParts parts = splitDosPath(pattern);
        return {parts.name, walkTo(parts.folder, pattern), WildcardPattern(parts.name)};
    }

    // Hands each entry the pattern matches to visit(judge, name, type),
    // which returns true when it deleted the entry; the judge, of the
    // entry's folder, checks use with use when given. A listing of this
    // pattern in this very folder, when given, is the first reading of it,
    // and is used up. Some file systems shift their listing as entries go,
    // so a pass that deleted something may have skipped others: the folder
    // is read again until a pass deletes nothing.
    template <typename Visit>
    void eachMatch(const PatternWalk &target, UseCheck *use, Visit visit, FolderListing *listed = nullptr)
    {
        const Walk &walked = target.walked;
        const WildcardPattern &wildcards = target.wildcards;
        const int folder = walked.folder.get();
        if (!wildcards.hasWildcards()) {
            int error = 0;
            const std::optional<std::string> stored =
                wildcards.text().empty() ? std::nullopt : lookUp(folder, wildcards.text(), error);
            // A look-up the device refused is not "nothing matched".
            if (!stored && error != 0 && error != ENOENT)
                failWithErrno(error, Step::Read, dosPathText(walked.stored, target.name));
            if (stored) {
                EntryJudge judge(calls, folder, use);
                visit(judge, stored->c_str(), DT_UNKNOWN);
            }
            return;
        }
        Descriptor reading = openForReading(folder, walked.stored);
        EntryJudge judge(calls, reading.get(), use);
        if (listed) {
            const FolderListing used = std::exchange(*listed, FolderListing());
            if (isListingOf(used, target, reading.get())) {
                const std::vector<char> &entries = used.m_entries;
                for (const char *at = entries.data(), *end = at + entries.size(); at < end;) {
                    const auto type = static_cast<unsigned char>(*at++);
                    const char *name = at;
                    at += std::strlen(name) + 1;
                    visit(judge, name, type);
                }
            }
        }
        for (bool deleted = true; deleted;) {
            deleted = false;
            FolderReader reader(calls, reading.get(), buffer.get(), folderBufferSize);
            FolderReader::Entry entry;
            while (reader.next(entry)) {
                if (!isDotOrDotDot(entry.name) && wildcards.matches(entry.name))
                    deleted = visit(judge, entry.name, entry.type) || deleted;
            }
            if (reader.error() != 0)
                failWithErrno(reader.error(), Step::Read, dosPathText(walked.stored));
            if (deleted && calls.lseek(reading.get(), 0, SEEK_SET) != 0)
                failWithErrno(errno, Step::Read, dosPathText(walked.stored));
        }
    }

    // Whether listed was read from the folder open as folderFd, for the
    // pattern's name part: a folder put in the listed one's place since is
    // read for itself.
    bool isListingOf(const FolderListing &listed, const PatternWalk &target, int folderFd)
    {
        struct stat status;
        return listed.m_usable && listed.m_pattern == target.name
               && calls.fstatat(folderFd, "", &status, AT_EMPTY_PATH) == 0 && status.st_dev == listed.m_device
               && status.st_ino == listed.m_inode;
    }

    // What stands at name in folder, looked at without a lease.
    EntryInfo look(int folder, const std::string &name)
    {
        EntryJudge judge(calls, folder);
        return judge.judge(name.c_str(), DT_UNKNOWN);
    }

    void putInPlace(OpenFile &file);
    std::string createTemporary(OpenFile &file);
    void keepOwnerAndMode(OpenFile &file, const EntryInfo &target);
};

FileServices::FileServices(std::string hostRoot, SystemCalls *systemCalls)
    : m_state(std::make_unique<State>(std::move(hostRoot), systemCalls ? *systemCalls : SystemCalls::host()))
{
}

FileServices::~FileServices() = default;

const std::string &FileServices::hostRoot() const
{
    return m_state->hostRoot;
}

std::string FileServices::currentDirectory() const
{
    return dosPathText(m_state->current);
}

void FileServices::changeDirectory(std::string_view dosPath)
{
    State &s = *m_state;
    if (holdsNul(dosPath))
        fail(FileError::PathNotFound, std::string(dosPath), {});
    State::Walk walked = s.walkTo(dosPath, dosPath);
    // Handles that only name a folder open without the right to enter it;
    // a current directory that cannot be entered is refused here, as chdir
    // would.
    if (s.calls.faccessat(walked.folder.get(), ".", X_OK, AT_EACCESS) != 0)
        failWithErrno(errno, Step::Path, dosPathText(walked.stored));
    s.current = std::move(walked.stored);
    s.currentFolder = std::move(walked.folder);
}

std::string FileServices::firstMatch(std::string_view pattern)
{
    State &s = *m_state;
    if (holdsNul(pattern))
        return {};
    const DosPathParts parts = splitDosPath(pattern);
    const std::optional<DosFolderPath> path = resolveDosFolder(parts.folder, s.current);
    const WildcardPattern wildcards(parts.name);
    if (!path || wildcards.text().empty())
        return {};
    State::Walk walked = s.walk(*path);
    // A missing folder holds no match; one that is there but cannot be
    // entered or read is not an empty one.
    if (walked.error != 0) {
        if (isMissing(walked.error))
            return {};
        failWithErrno(walked.error, Step::Read, dosPathText(path->components));
    }
    const int folder = walked.folder.get();
    // Whether a name found is an ordinary file; one that cannot be examined
    // is neither returned nor passed over.
    std::optional<EntryJudge> judge;
    auto isMatch = [&](const char *name, unsigned char type) {
        const EntryInfo info = judge->judge(name, type);
        if (info.kind == EntryKind::Unreadable)
            fail(uncheckedNumber(info.error), dosPathText(walked.stored, name), reasonOf(info));
        return info.kind == EntryKind::Deletable || info.kind == EntryKind::ReadOnly;
    };

    if (!wildcards.hasWildcards()) {
        int error = 0;
        const std::optional<std::string> stored = s.lookUp(folder, wildcards.text(), error);
        if (!stored && !isMissing(error))
            failWithErrno(error, Step::Read, dosPathText(walked.stored, wildcards.text()));
        judge.emplace(s.calls, folder);
        return stored && isMatch(stored->c_str(), DT_UNKNOWN) ? *stored : std::string();
    }

    Descriptor reading(s.calls, s.calls.openat(folder, ".", readFlags, 0));
    if (!reading) {
        if (isMissing(errno))
            return {};
        failWithErrno(errno, Step::Read, dosPathText(walked.stored));
    }
    judge.emplace(s.calls, reading.get());
    FolderReader reader(s.calls, reading.get(), s.buffer.get(), firstMatchReadSize);
    FolderReader::Entry entry;
    while (reader.next(entry)) {
        if (!isDotOrDotDot(entry.name) && wildcards.matches(entry.name) && isMatch(entry.name, entry.type))
            return entry.name;
    }
    if (reader.error() != 0)
        failWithErrno(reader.error(), Step::Read, dosPathText(walked.stored));
    return {};
}

void FileServices::deleteByPattern(std::string_view pattern, EntryObserver *observer, FolderListing *listed)
{
    State &s = *m_state;
    const State::PatternWalk target = s.walkToPattern(pattern);
    const std::vector<std::string> &stored = target.walked.stored;
    const std::string patternPath = dosPathText(stored, target.name);

    // What could not be deleted, each once; the first is named in the failure.
    std::size_t matched = 0;
    std::set<std::string, std::less<>> left;
    std::string firstLeft;
    std::string firstLeftReason;
    auto leave = [&](std::string_view name, std::string reason) {
        if (left.emplace(name).second && left.size() == 1) {
            firstLeft = dosPathText(stored, name);
            firstLeftReason = std::move(reason);
        }
    };
    // An observer hears of each match once, however often the folder is
    // read; the kept ones are remembered only for its sake.
    std::set<std::string, std::less<>> told;
    auto tell = [&](const char *name, const EntryInfo &info, bool deleted) {
        if (observer && (deleted || told.emplace(name).second))
            observer->entry({name, deleted ? Verdict::Delete : info.verdict, info.size, info.holders}, deleted);
    };
    UseCheck use(s.calls);
    // Judges one match and deletes it when it may go; true when it went.
    // A file found free stays so until the lease goes with the unlink done.
    auto deleteEntry = [&](EntryJudge &judge, const char *name, unsigned char type) {
        if (!left.empty() && left.count(std::string_view(name)) != 0)
            return false;
        const EntryInfo info = judge.judge(name, type);
        // It matched when the folder was read; another cleaner deleted it
        // since, as on Windows, where two deletes never conflict.
        if (info.kind == EntryKind::Gone) {
            ++matched;
            return false;
        }
        if (info.kind == EntryKind::Other || info.kind == EntryKind::Hidden) {
            tell(name, info, false);
            return false;
        }
        ++matched;
        if (info.kind == EntryKind::ReadOnly) {
            leave(name, "read-only file");
        } else if (info.kind == EntryKind::InUse) {
            leave(name, inUseReason(info));
        } else if (info.kind == EntryKind::Unreadable) {
            leave(name, reasonOf(info));
        } else if (s.calls.unlinkat(judge.folder(), name, 0) == 0) {
            judge.release();
            tell(name, info, true);
            return true;
        } else if (errno != ENOENT) { // one already gone counts as deleted
            leave(name, hostReason(errno));
        }
        judge.release();
        tell(name, info, false);
        return false;
    };

    s.eachMatch(target, &use, deleteEntry, listed);

    if (matched == 0)
        fail(FileError::FileNotFound, patternPath, {});
    if (!left.empty()) {
        if (left.size() > 1)
            firstLeftReason += "; " + std::to_string(left.size()) + " matching files were left";
        fail(FileError::PathFileAccessError, firstLeft, firstLeftReason);
    }
}

void FileServices::survey(std::string_view pattern, EntryObserver &observer)
{
    State &s = *m_state;
    UseCheck use(s.calls);
    s.eachMatch(s.walkToPattern(pattern), &use, [&](EntryJudge &judge, const char *name, unsigned char type) {
        const EntryInfo info = judge.judge(name, type);
        judge.release();
        if (info.kind != EntryKind::Gone)
            observer.entry({name, info.verdict, info.size, info.holders}, false);
        return false;
    });
}

FolderListing FileServices::listMatches(std::string_view pattern)
{
    State &s = *m_state;
    const State::PatternWalk target = s.walkToPattern(pattern);
    const State::Walk &walked = target.walked;
    const WildcardPattern &wildcards = target.wildcards;
    FolderListing listing;
    if (!wildcards.hasWildcards()) {
        // A delete looks a plain name up for itself; only the count is kept.
        int error = 0;
        const bool found = !wildcards.text().empty() && s.lookUp(walked.folder.get(), wildcards.text(), error);
        if (!found && error != 0 && error != ENOENT)
            failWithErrno(error, Step::Read, dosPathText(walked.stored, target.name));
        listing.m_matches = found ? 1 : 0;
        return listing;
    }
    Descriptor reading = s.openForReading(walked.folder.get(), walked.stored);
    struct stat folder;
    if (s.calls.fstatat(reading.get(), "", &folder, AT_EMPTY_PATH) == 0) {
        listing.m_usable = true;
        listing.m_device = folder.st_dev;
        listing.m_inode = folder.st_ino;
        listing.m_pattern = target.name;
    }
    std::vector<char> &entries = listing.m_entries;
    FolderReader reader(s.calls, reading.get(), s.buffer.get(), folderBufferSize);
    FolderReader::Entry entry;
    while (reader.next(entry)) {
        if (isDotOrDotDot(entry.name) || !wildcards.matches(entry.name))
            continue;
        ++listing.m_matches;
        if (listing.m_usable) {
            entries.push_back(static_cast<char>(entry.type));
            entries.insert(entries.end(), entry.name, entry.name + std::strlen(entry.name) + 1);
        }
    }
    if (reader.error() != 0)
        failWithErrno(reader.error(), Step::Read, dosPathText(walked.stored));
    return listing;
}

void FileServices::openForOutput(int fileNumber, std::string_view name)
{
    State &s = *m_state;
    if (fileNumber < lowestFileNumber || fileNumber > highestFileNumber || holdsNul(name))
        fail(FileError::BadFileNameOrNumber, std::string(name), {});
    if (s.openFiles.count(fileNumber) != 0)
        fail(FileError::FileAlreadyOpen, std::string(name), {});
    const DosPathParts parts = splitDosPath(name);
    if (parts.name.find_first_of("*?") != std::string_view::npos)
        fail(FileError::BadFileNameOrNumber, std::string(name), {});
    State::Walk walked = s.walkTo(parts.folder, name);
    if (parts.name.empty() || parts.name == "." || parts.name == "..")
        fail(FileError::PathFileAccessError, dosPathText(walked.stored, parts.name), "not a file name");

    State::OpenFile file;
    file.folder = s.openForReading(walked.folder.get(), walked.stored);
    const int folder = file.folder.get();
    int error = 0;
    file.targetName = s.lookUp(folder, std::string(parts.name), error).value_or(std::string(parts.name));
    file.dosPath = dosPathText(walked.stored, file.targetName);
    if (error != 0 && error != ENOENT)
        failWithErrno(error, Step::Create, file.dosPath);

    // What stands in the target's place is judged now, so that the caller
    // learns at once that its text could never get there. A link is fine:
    // it is replaced, never written through.
    const EntryInfo target = s.look(folder, file.targetName);
    switch (target.kind) {
    case EntryKind::Gone:
        break;
    case EntryKind::Deletable:
        if (target.isRegular
            && s.calls.faccessat(folder, file.targetName.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
            failWithErrno(errno, Step::Create, file.dosPath);
        break;
    case EntryKind::ReadOnly:
        fail(FileError::PathFileAccessError, file.dosPath, "read-only file");
    case EntryKind::Hidden:
        fail(FileError::PathFileAccessError, file.dosPath, "hidden or system file");
    case EntryKind::InUse:
        fail(FileError::PathFileAccessError, file.dosPath, inUseReason(target));
    case EntryKind::Other:
        fail(FileError::PathFileAccessError, file.dosPath, "not an ordinary file");
    case EntryKind::Unreadable:
        fail(uncheckedNumber(target.error), file.dosPath, reasonOf(target));
    }

    s.createTemporary(file);
    s.keepOwnerAndMode(file, target);
    s.openFiles.emplace(fileNumber, std::move(file));
}

std::string FileServices::State::createTemporary(OpenFile &file)
{
    constexpr int attempts = 64;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".~bsw%016llx.tmp",
                      static_cast<unsigned long long>(nextRandom(randomState)));
        const int fd = calls.openat(file.folder.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                    0666);
        if (fd >= 0) {
            file.file = Descriptor(calls, fd);
            file.temporaryName = name;
            return file.temporaryName;
        }
        if (errno != EEXIST)
            failWithErrno(errno, Step::Create, file.dosPath);
    }
    failWithErrno(EEXIST, Step::Create, file.dosPath);
}

// The file that replaces a regular one keeps its owner, group and permission
// bits, set before any text is in it. A link in the target's place is
// replaced, and its bits mean nothing for a file.
void FileServices::State::keepOwnerAndMode(OpenFile &file, const EntryInfo &target)
{
    if (!target.isRegular)
        return;
    // Only root may give a file away, and a user only to a group of their
    // own: a file a user replaces becomes theirs, as with any editor.
    int error = calls.fchown(file.file.get(), target.owner, target.group) == 0 ? 0 : errno;
    if (error == EPERM || error == EINVAL)
        error = 0;
    if (error == 0 && calls.fchmod(file.file.get(), target.mode & 0777) != 0)
        error = errno;
    if (error != 0) {
        discard(file);
        failWithErrno(error, Step::Create, file.dosPath);
    }
}

void FileServices::writeRecord(int fileNumber, std::string_view text)
{
    const auto found = m_state->openFiles.find(fileNumber);
    if (found == m_state->openFiles.end())
        fail(FileError::BadFileNameOrNumber, {}, "file number " + std::to_string(fileNumber) + " is not open");
    std::string &line = found->second.text;
    line += '"';
    line += text;
    line += "\"\r\n";
}

void FileServices::State::putInPlace(OpenFile &file)
{
    const char *data = file.text.data();
    std::size_t remaining = file.text.size();
    while (remaining > 0) {
        const ssize_t written = calls.write(file.file.get(), data, remaining);
        if (written <= 0)
            failWithErrno(written < 0 ? errno : EIO, Step::Flush, file.dosPath);
        data += written;
        remaining -= std::size_t(written);
    }
    if (calls.fsync(file.file.get()) != 0)
        failWithErrno(errno, Step::Flush, file.dosPath);
    if (const int error = file.file.close(); error != 0)
        failWithErrno(error, Step::Flush, file.dosPath);

    // The target may have become read-only or a folder since the open.
    const EntryInfo target = look(file.folder.get(), file.targetName);
    if (target.kind == EntryKind::Unreadable)
        fail(uncheckedNumber(target.error), file.dosPath, reasonOf(target));
    if (target.kind == EntryKind::ReadOnly || target.kind == EntryKind::Hidden || target.kind == EntryKind::Other)
        fail(FileError::PathFileAccessError, file.dosPath, "no longer an ordinary writable file");

    if (calls.renameat(file.folder.get(), file.temporaryName.c_str(), file.folder.get(), file.targetName.c_str())
        != 0)
        failWithErrno(errno, Step::Replace, file.dosPath);
    file.temporaryName.clear();
    // File systems that cannot flush a folder say EINVAL; the rename is then
    // as durable as they make anything.
    if (calls.fsync(file.folder.get()) != 0 && errno != EINVAL)
        failWithErrno(errno, Step::Flush, file.dosPath);
}

void FileServices::closeAll()
{
    State &s = *m_state;
    std::optional<FileError> firstFailure;
    for (auto &[number, file] : s.openFiles) {
        try {
            s.putInPlace(file);
        } catch (const FileError &failure) {
            if (!firstFailure)
                firstFailure = failure;
        }
        s.discard(file);
    }
    s.openFiles.clear();
    if (firstFailure)
        throw *firstFailure;
}
