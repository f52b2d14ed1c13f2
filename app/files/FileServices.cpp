#include "files/FileServices.h"

#include "files/DosPath.h"
#include "files/EntryClassification.h"
#include "files/FileError.h"
#include "files/HostDrive.h"
#include "files/Wildcard.h"

#include <dirent.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace {

constexpr int lowestFileNumber = 1;
constexpr int highestFileNumber = 511;

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

// Which step failed decides what an errno means to the caller.
int errorNumber(int error, Step step)
{
    if (step == Step::Examine)
        return uncheckedNumber(error);
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
    case Step::Unset:
    case Step::Path:
    case Step::Read:
    case Step::Examine:
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

// A folder or name that is not there, or not reachable without following a
// link: first-match finds nothing in it, which is no failure.
bool isMissing(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

bool holdsNul(std::string_view text)
{
    return text.find('\0') != std::string_view::npos;
}

// The FileError a failure inside the layer stands for, when it happened in
// step, unless it says its own, and concerns dosPath.
[[noreturn]] void raise(const Failure &failure, Step step, std::string dosPath)
{
    const int number =
        failure.number != 0 ? failure.number : errorNumber(failure.error, failure.step != Step::Unset ? failure.step : step);
    fail(number, std::move(dosPath), failure.reason.empty() ? hostReason(failure.error) : failure.reason);
}

} // namespace


struct FileServices::State
{
    // One written file between open-for-output and close-all: the folder
    // it goes to, held open throughout, and the file on its way there.
    struct OpenFile
    {
        std::unique_ptr<DriveFolder> folder;
        std::unique_ptr<PendingWrite> pending;
        std::string dosPath;
        std::string text;
    };

    explicit State(std::unique_ptr<Drive> ofDrive)
        : drive(std::move(ofDrive))
    {
    }

    std::unique_ptr<Drive> drive;
    std::vector<std::string> current;
    std::unique_ptr<DriveFolder> currentFolder;
    std::map<int, OpenFile> openFiles;

    // The drive held for the length of one service, within whatever hold
    // its caller has; the FileError a hold meets names dosPath.
    class Held
    {
    public:
        Held(Drive &drive, Drive::Access access, std::string_view dosPath)
            : m_drive(drive)
        {
            if (const Failure failed = drive.hold(access); failed.failed())
                raise(failed, access == Drive::Access::Write ? Step::Create : Step::Read, std::string(dosPath));
        }
        ~Held() { m_drive.letGo(); }
        Held(const Held &) = delete;
        Held &operator=(const Held &) = delete;

    private:
        Drive &m_drive;
    };

    // The folder part of dosPath, opened; the failure is thrown.
    Drive::Walked walkTo(std::string_view folderPath, std::string_view wholePath)
    {
        const std::optional<DosFolderPath> path = resolveDosFolder(folderPath, current);
        if (!path)
            fail(FileError::PathNotFound, std::string(wholePath), {});
        Drive::Walked walked = drive->walk(*path, currentFolder.get(), current);
        if (walked.failure.failed())
            raise(walked.failure, Step::Path, dosPathText(path->components));
        return walked;
    }

    // A pattern of delete-by-pattern or the survey: the folder it names,
    // walked to, and its name part, prepared once for the whole listing.
    struct PatternWalk
    {
        std::string_view name;
        Drive::Walked walked;
        WildcardPattern wildcards;
    };

    PatternWalk walkToPattern(std::string_view pattern)
    {
        if (holdsNul(pattern))
            fail(FileError::BadFileNameOrNumber, std::string(pattern), {});
        const DosPathParts parts = splitDosPath(pattern);
        return {parts.name, walkTo(parts.folder, pattern), WildcardPattern(parts.name)};
    }
};

namespace {

void nothing() {}

// Tells each visited entry to a function of the entries and the entry, and
// each commit to another.
template <typename Visit, typename Committed = void (*)()>
class Visitor final : public Drive::MatchVisitor
{
public:
    explicit Visitor(Visit visit, Committed onCommit = nothing)
        : m_visit(std::move(visit))
        , m_committed(std::move(onCommit))
    {
    }
    Then visit(FolderEntries &entries, const ListedEntry &entry) override { return m_visit(entries, entry); }
    void committed() override { m_committed(); }

private:
    Visit m_visit;
    Committed m_committed;
};

} // namespace

FileServices::FileServices(std::string hostRoot, SystemCalls *systemCalls)
    : FileServices(std::make_unique<HostDrive>(std::move(hostRoot), systemCalls))
{
}

FileServices::FileServices(std::unique_ptr<Drive> drive)
    : m_state(std::make_unique<State>(std::move(drive)))
{
}

FileServices::~FileServices() = default;

const std::string &FileServices::hostRoot() const
{
    return m_state->drive->path();
}

Drive &FileServices::drive() const
{
    return *m_state->drive;
}

FileServices::Hold::Hold(FileServices &files)
    : m_files(files)
{
    files.drive().retain();
}

FileServices::Hold::~Hold()
{
    m_files.drive().release();
}

std::string FileServices::whyNotWritable()
{
    const Failure failed = drive().whyNotWritable();
    return failed.failed() ? (failed.reason.empty() ? hostReason(failed.error) : failed.reason) : std::string();
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
    const State::Held held(*s.drive, Drive::Access::Read, dosPath);
    Drive::Walked walked = s.walkTo(dosPath, dosPath);
    if (const Failure failed = walked.folder->mayEnter(); failed.failed())
        raise(failed, Step::Path, dosPathText(walked.stored));
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
    const State::Held held(*s.drive, Drive::Access::Read, pattern);
    Drive::Walked walked = s.drive->walk(*path, s.currentFolder.get(), s.current);
    // A missing folder holds no match; one that is there but cannot be
    // entered or read is not an empty one.
    if (walked.failure.failed()) {
        if (walked.failure.number == 0 && isMissing(walked.failure.error))
            return {};
        raise(walked.failure, Step::Read, dosPathText(path->components));
    }
    // The first ordinary file, read-only or not; one that cannot be
    // examined is neither returned nor passed over.
    std::string found;
    std::optional<FileError> unexamined;
    Visitor visitor([&](FolderEntries &entries, const ListedEntry &entry) {
        const EntryInfo info = entries.judge(entry);
        if (info.verdict == Verdict::Unreadable) {
            unexamined.emplace(uncheckedNumber(info.error), dosPathText(walked.stored, entry.name), reasonOf(info));
            return Drive::MatchVisitor::Then::Stop;
        }
        if (info.verdict != Verdict::Delete && !isReadOnly(info.verdict))
            return Drive::MatchVisitor::Then::GoOn;
        found = entry.name;
        return Drive::MatchVisitor::Then::Stop;
    });
    const Failure failed =
        s.drive->eachMatch(*walked.folder, parts.name, wildcards, DriveFolder::Purpose::FirstMatch, visitor);
    if (unexamined)
        throw *unexamined;
    if (failed.failed()) {
        // A plain name that is not there, or a folder gone before it could
        // be read, holds no match.
        const bool ofName = !wildcards.hasWildcards();
        if (failed.number == 0 && isMissing(failed.error) && (ofName || failed.step == Step::Path))
            return {};
        raise(failed, Step::Read, ofName ? dosPathText(walked.stored, wildcards.text()) : dosPathText(walked.stored));
    }
    return found;
}

void FileServices::deleteByPattern(std::string_view pattern, EntryObserver *observer, FolderListing *listed)
{
    State &s = *m_state;
    const State::Held held(*s.drive, Drive::Access::Write, pattern);
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
    // read; the kept ones are remembered only for its sake. A removal that
    // the drive makes lasting later is told once it has.
    std::set<std::string, std::less<>> told;
    auto tell = [&](std::string_view name, const EntryInfo &info, bool deleted) {
        if (observer && (deleted || told.emplace(name).second))
            observer->entry({name, deleted ? Verdict::Delete : info.verdict, info.size, info.holders}, deleted);
    };
    std::vector<std::pair<std::string, EntryInfo>> pending;
    using Then = Drive::MatchVisitor::Then;
    // Judges one match and deletes it when it may go.
    auto deleteEntry = [&](FolderEntries &entries, const ListedEntry &entry) {
        const std::string_view name = entry.name;
        if (!left.empty() && left.count(name) != 0)
            return Then::GoOn;
        const EntryInfo info = entries.judge(entry);
        // It matched when the folder was read; another cleaner deleted it
        // since, as on Windows, where two deletes never conflict.
        if (info.verdict == Verdict::Gone) {
            ++matched;
            return Then::GoOn;
        }
        if (isNoFile(info.verdict) || isHidden(info.verdict)) {
            tell(name, info, false);
            return Then::GoOn;
        }
        ++matched;
        if (info.verdict != Verdict::Delete) {
            leave(name, reasonOf(info));
            entries.release();
            tell(name, info, false);
            return Then::GoOn;
        }
        Failure failed;
        switch (entries.remove(entry, failed)) {
        case FolderEntries::Removal::Deleted:
            tell(name, info, true);
            return Then::Deleted;
        case FolderEntries::Removal::Pending:
            pending.emplace_back(name, info);
            return Then::Deleted;
        case FolderEntries::Removal::Failed:
            leave(name, failed.reason.empty() ? hostReason(failed.error) : failed.reason);
            break;
        case FolderEntries::Removal::Gone:
            break;
        }
        tell(name, info, false);
        return Then::GoOn;
    };
    auto committed = [&] {
        for (const auto &[name, info] : pending)
            tell(name, info, true);
        pending.clear();
    };
    Visitor visitor(deleteEntry, committed);

    const Failure failed = s.drive->eachMatch(*target.walked.folder, target.name, target.wildcards,
                                              DriveFolder::Purpose::Delete, visitor, listed);
    if (failed.failed())
        raise(failed, Step::Read, failed.entry.empty() ? dosPathText(stored) : dosPathText(stored, failed.entry));
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
    const State::Held held(*s.drive, Drive::Access::Read, pattern);
    const State::PatternWalk target = s.walkToPattern(pattern);
    Visitor visitor([&](FolderEntries &entries, const ListedEntry &entry) {
        const EntryInfo info = entries.judge(entry);
        entries.release();
        if (info.verdict != Verdict::Gone)
            observer.entry({entry.name, info.verdict, info.size, info.holders}, false);
        return Drive::MatchVisitor::Then::GoOn;
    });
    const Failure failed = s.drive->eachMatch(*target.walked.folder, target.name, target.wildcards,
                                              DriveFolder::Purpose::Delete, visitor);
    const std::vector<std::string> &stored = target.walked.stored;
    if (failed.failed())
        raise(failed, Step::Read, failed.entry.empty() ? dosPathText(stored) : dosPathText(stored, failed.entry));
}

FolderListing FileServices::listMatches(std::string_view pattern)
{
    State &s = *m_state;
    const State::Held held(*s.drive, Drive::Access::Read, pattern);
    const State::PatternWalk target = s.walkToPattern(pattern);
    Result<FolderListing> listing = s.drive->listMatches(*target.walked.folder, target.name, target.wildcards);
    const std::vector<std::string> &stored = target.walked.stored;
    if (!listing) {
        const Failure &failed = listing.failure();
        raise(failed, Step::Read, failed.entry.empty() ? dosPathText(stored) : dosPathText(stored, failed.entry));
    }
    return listing.take();
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
    const State::Held held(*s.drive, Drive::Access::Write, name);
    Drive::Walked walked = s.walkTo(parts.folder, name);
    if (parts.name.empty() || parts.name == "." || parts.name == "..")
        fail(FileError::PathFileAccessError, dosPathText(walked.stored, parts.name), "not a file name");

    State::OpenFile file;
    Result<std::unique_ptr<DriveFolder>> writing = walked.folder->forWriting();
    if (!writing)
        raise(writing.failure(), Step::Read, dosPathText(walked.stored));
    file.folder = writing.take();
    Result<std::string> stored = s.drive->lookUp(*file.folder, std::string(parts.name));
    const std::string targetName = stored ? *stored : std::string(parts.name);
    file.dosPath = dosPathText(walked.stored, targetName);
    if (!stored && stored.failure().error != ENOENT)
        raise(stored.failure(), Step::Create, file.dosPath);

    // What stands in the target's place is judged now, so that the caller
    // learns at once that its text could never get there. A link is fine:
    // it is replaced, never written through.
    const EntryInfo target = file.folder->entries(false)->judge(ListedEntry{targetName.c_str(), DT_UNKNOWN, 0});
    if (target.verdict == Verdict::Unreadable)
        fail(uncheckedNumber(target.error), file.dosPath, reasonOf(target));
    if (target.verdict != Verdict::Gone && target.verdict != Verdict::Delete)
        fail(FileError::PathFileAccessError, file.dosPath, reasonOf(target));
    Result<std::unique_ptr<PendingWrite>> pending = file.folder->prepareWrite(targetName, target);
    if (!pending)
        raise(pending.failure(), Step::Create, file.dosPath);
    file.pending = pending.take();
    s.openFiles.emplace(fileNumber, std::move(file));
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

void FileServices::closeAll()
{
    State &s = *m_state;
    std::optional<FileError> firstFailure;
    {
        std::optional<State::Held> held;
        try {
            if (!s.openFiles.empty())
                held.emplace(*s.drive, Drive::Access::Write, s.openFiles.begin()->second.dosPath);
        } catch (const FileError &failure) {
            firstFailure = failure;
        }
        for (auto &[number, file] : s.openFiles) {
            if (firstFailure && !held)
                break;
            if (const Failure failed = file.pending->putInPlace(file.text); failed.failed() && !firstFailure) {
                try {
                    raise(failed, Step::Flush, file.dosPath);
                } catch (const FileError &failure) {
                    firstFailure = failure;
                }
            }
            file.pending.reset();
        }
        s.openFiles.clear();
    }
    if (firstFailure)
        throw *firstFailure;
}
