#include "support/DriveChecker.h"

#include "support/TestDrive.h"

#include <QCryptographicHash>

#include <set>

namespace {

std::string sha256(const std::string &bytes)
{
    return QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::string parentOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string nameOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool sameButMtime(const EntryState *before, const EntryState *after)
{
    if (!before || !after)
        return false;
    EntryState left = *before;
    left.mtimeNs = after->mtimeNs;
    return left == *after;
}

bool holds(const EntryState *entry, const std::string &content)
{
    return entry && entry->type == 'f' && entry->contentHash == sha256(content);
}

std::string show(const EntryState *entry)
{
    return entry ? entry->describe() : std::string("(absent)");
}

} // namespace

std::string markerLine()
{
    return TestDrive::markerLine().toStdString();
}

std::string flagLine()
{
    return TestDrive::flagLine().toStdString();
}

std::string startupLine()
{
    return TestDrive::startupLine().toStdString();
}

DriveBefore captureBefore(const TestDrive &drive)
{
    DriveBefore before{TreeSnapshot::takeAround(drive.root()), {}};
    for (int number = 1; number <= 6; ++number) {
        const std::string folder = drive.targetFolder(number);
        const EntryState *folderState = before.tree.find(folder);
        if (!folderState || folderState->type != 'd')
            continue; // missing, or a link: nothing behind it may be touched
        for (const auto &[path, state] : before.tree.entries()) {
            if (parentOf(path) != folder)
                continue;
            const HostEntryKind kind = classifyHostEntry(drive.host(path), nameOf(path));
            before.deletable[path] = kind.ordinary && !kind.readOnly;
        }
    }
    return before;
}

std::vector<std::string> checkRun(const TestDrive &drive, const DriveBefore &before,
                                  const RunExpectation &expected)
{
    const TreeSnapshot after = TreeSnapshot::takeAround(drive.root());
    std::vector<std::string> problems;

    std::map<std::string, int> targetOf;
    for (int number = 1; number <= 6; ++number)
        targetOf[drive.targetFolder(number)] = number;
    const auto outcomeOf = [&](int number) { return expected.targets[static_cast<size_t>(number - 1)]; };

    for (const TreeChange &change : compareTrees(before.tree, after)) {
        const std::string &path = change.path;
        if (expected.ownFiles.count(path))
            continue; // checked below, whatever it was before
        if (path == parentOf(drive.targetFolder(1)) && !expected.ownFiles.empty()
            && sameButMtime(change.before, change.after))
            continue;
        if (targetOf.count(path) && outcomeOf(targetOf[path]) != TargetOutcome::Untouched
            && sameButMtime(change.before, change.after))
            continue;
        const std::string parent = parentOf(path);
        if (targetOf.count(parent)) {
            const int number = targetOf[parent];
            const TargetOutcome outcome = outcomeOf(number);
            const bool isMarker = nameOf(path) == TestDrive::markerName(number).toStdString();
            const auto deletable = before.deletable.find(path);
            const bool wasDeletable = deletable != before.deletable.end() && deletable->second;
            if ((outcome == TargetOutcome::EmptiedWithMarker || outcome == TargetOutcome::Interrupted)
                && isMarker && (wasDeletable || !change.before) && holds(change.after, markerLine()))
                continue;
            if (outcome != TargetOutcome::Untouched && wasDeletable && !change.after)
                continue;
        }
        problems.push_back("unexpected change: " + change.describe());
    }

    // What must have happened, not only what must not.
    for (const auto &[path, isDeletable] : before.deletable) {
        const std::string parent = parentOf(path);
        const int number = targetOf[parent];
        if (!isDeletable || outcomeOf(number) == TargetOutcome::Untouched
            || outcomeOf(number) == TargetOutcome::Interrupted)
            continue;
        if (nameOf(path) == TestDrive::markerName(number).toStdString() && outcomeOf(number) == TargetOutcome::EmptiedWithMarker)
            continue;
        if (after.find(path))
            problems.push_back("not deleted: " + path + " " + show(after.find(path)));
    }
    for (int number = 1; number <= 6; ++number) {
        if (outcomeOf(number) != TargetOutcome::EmptiedWithMarker)
            continue;
        const std::string marker = drive.targetFolder(number) + "/" + TestDrive::markerName(number).toStdString();
        if (!holds(after.find(marker), markerLine()))
            problems.push_back("no complete marker: " + marker + " " + show(after.find(marker)));
    }
    for (const auto &[path, content] : expected.ownFiles) {
        const EntryState *state = after.find(path);
        if (!content ? state != nullptr : !holds(state, *content))
            problems.push_back("own file wrong: " + path + " " + show(state));
    }
    for (const std::string &path : newHiddenEntries(before, after))
        problems.push_back("leftover hidden entry: " + path);
    return problems;
}

bool runAsExpected(const TestDrive &drive, const DriveBefore &before, const RunExpectation &expected)
{
    const std::vector<std::string> problems = checkRun(drive, before, expected);
    for (const std::string &line : problems)
        qWarning("%s", line.c_str());
    return problems.empty();
}

std::vector<std::string> newHiddenEntries(const DriveBefore &before, const TreeSnapshot &after)
{
    std::vector<std::string> found;
    for (const auto &[path, state] : after.entries()) {
        const std::string name = nameOf(path);
        if (!name.empty() && name[0] == '.' && !before.tree.find(path))
            found.push_back(path);
    }
    return found;
}
