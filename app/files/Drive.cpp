#include "files/Drive.h"

#include "files/CaseFolding.h"
#include "files/DosPath.h"
#include "files/Wildcard.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

namespace {

// A folder's listing names the folder and its parent too; neither is an
// entry of it.
bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A failure while reading the folder itself.
Failure ofFolder(Failure failure)
{
    failure.entry.clear();
    return failure.in(failure.step == Step::Unset ? Step::Read : failure.step);
}

} // namespace

Drive::Walked Drive::walk(const DosFolderPath &path, DriveFolder *current,
                          const std::vector<std::string> &currentStored)
{
    Walked result;
    std::size_t from = 0;
    DriveFolder *start = nullptr;
    if (path.belowCurrent && current) {
        start = current;
        from = currentStored.size();
        result.stored = currentStored;
    } else {
        Result<DriveFolder *> top = root();
        if (!top) {
            result.failure = top.failure();
            return result;
        }
        start = *top;
    }
    std::unique_ptr<DriveFolder> held;
    for (std::size_t i = from; i < path.components.size(); ++i) {
        DriveFolder &at = held ? *held : *start;
        std::string name = path.components[i];
        Result<std::unique_ptr<DriveFolder>> next = at.enter(name);
        if (!next && next.failure().error == ENOENT) {
            Result<std::string> found = lookUpOtherCase(at, name);
            if (found) {
                name = found.take();
                next = at.enter(name);
            } else {
                next = found.failure();
            }
        }
        if (!next) {
            result.failure = next.failure();
            return result;
        }
        held = next.take();
        result.stored.push_back(std::move(name));
    }
    if (!held) {
        Result<std::unique_ptr<DriveFolder>> same = start->again();
        if (!same) {
            result.failure = same.failure();
            return result;
        }
        held = same.take();
    }
    result.folder = std::move(held);
    return result;
}

Result<std::string> Drive::lookUp(DriveFolder &folder, const std::string &name)
{
    const Failure exact = folder.has(name);
    if (!exact.failed())
        return name;
    if (exact.error != ENOENT)
        return exact;
    return lookUpOtherCase(folder, name);
}

Result<std::string> Drive::lookUpOtherCase(DriveFolder &folder, std::string_view name)
{
    Result<std::unique_ptr<FolderCursor>> reading = folder.read(DriveFolder::Purpose::Look);
    if (!reading)
        return reading.failure();
    FolderCursor &cursor = **reading;
    const FoldedName wanted(name);
    std::optional<std::string> best;
    ListedEntry entry;
    while (cursor.next(entry)) {
        if (isDotOrDotDot(entry.name))
            continue;
        const std::string_view candidate = entry.name;
        if (wanted.sameAs(candidate) && (!best || candidate < *best))
            best = std::string(candidate);
    }
    if (const Failure failed = cursor.failure(); failed.failed())
        return failed;
    if (!best)
        return Failure::of(ENOENT);
    return std::move(*best);
}

Failure Drive::eachMatch(DriveFolder &folder, std::string_view name, const WildcardPattern &wildcards,
                         DriveFolder::Purpose purpose, MatchVisitor &visit, FolderListing *listed)
{
    const auto commit = [&visit](FolderEntries &entries) {
        Failure failed = entries.commit();
        if (failed.failed())
            return ofFolder(std::move(failed));
        visit.committed();
        return Failure();
    };
    if (!wildcards.hasWildcards()) {
        if (wildcards.text().empty())
            return {};
        Result<std::string> stored = lookUp(folder, wildcards.text());
        // A look-up the device refused is not "nothing matched".
        if (!stored) {
            if (stored.failure().error == ENOENT)
                return {};
            Failure failed = stored.failure();
            return failed.in(Step::Read).at(std::string(name));
        }
        const std::unique_ptr<FolderEntries> entries = folder.entries(purpose == DriveFolder::Purpose::Delete);
        visit.visit(*entries, ListedEntry{stored->c_str(), DT_UNKNOWN, 0});
        return commit(*entries);
    }

    Result<std::unique_ptr<FolderCursor>> reading = folder.read(purpose);
    if (!reading)
        return ofFolder(reading.failure());
    FolderCursor &cursor = **reading;
    using Then = MatchVisitor::Then;
    if (listed) {
        const FolderListing used = std::exchange(*listed, FolderListing());
        if (used.m_folder.known && used.m_pattern == name && cursor.identity() == used.m_folder) {
            const std::vector<char> &entries = used.m_entries;
            for (const char *at = entries.data(), *end = at + entries.size(); at < end;) {
                ListedEntry entry;
                entry.type = static_cast<unsigned char>(*at++);
                std::memcpy(&entry.slot, at, sizeof entry.slot);
                at += sizeof entry.slot;
                entry.name = at;
                at += std::strlen(at) + 1;
                if (visit.visit(cursor, entry) == Then::Stop)
                    return commit(cursor);
                if (cursor.wantsCommit()) {
                    if (Failure failed = commit(cursor); failed.failed())
                        return failed;
                }
            }
        }
    }
    for (bool deleted = true; deleted;) {
        deleted = false;
        ListedEntry entry;
        while (cursor.next(entry)) {
            if (isDotOrDotDot(entry.name) || !wildcards.matches(entry.name))
                continue;
            const Then then = visit.visit(cursor, entry);
            if (then == Then::Stop)
                return commit(cursor);
            deleted = then == Then::Deleted || deleted;
            if (cursor.wantsCommit()) {
                if (Failure failed = commit(cursor); failed.failed())
                    return failed;
            }
        }
        const Failure unread = cursor.failure();
        if (Failure failed = commit(cursor); failed.failed())
            return failed;
        if (unread.failed())
            return ofFolder(unread);
        if (deleted) {
            if (Failure failed = cursor.rewind(); failed.failed())
                return ofFolder(std::move(failed));
        }
    }
    return {};
}

Result<FolderListing> Drive::listMatches(DriveFolder &folder, std::string_view name, const WildcardPattern &wildcards)
{
    FolderListing listing;
    if (!wildcards.hasWildcards()) {
        // A delete looks a plain name up for itself; only the count is kept.
        if (!wildcards.text().empty()) {
            Result<std::string> stored = lookUp(folder, wildcards.text());
            if (!stored && stored.failure().error != ENOENT) {
                Failure failed = stored.failure();
                return failed.in(Step::Read).at(std::string(name));
            }
            listing.m_matches = stored ? 1 : 0;
        }
        return listing;
    }
    Result<std::unique_ptr<FolderCursor>> reading = folder.read(DriveFolder::Purpose::Look);
    if (!reading)
        return ofFolder(reading.failure());
    FolderCursor &cursor = **reading;
    listing.m_folder = cursor.identity();
    const bool keep = listing.m_folder.known;
    if (keep)
        listing.m_pattern = std::string(name);
    std::vector<char> &entries = listing.m_entries;
    ListedEntry entry;
    while (cursor.next(entry)) {
        if (isDotOrDotDot(entry.name) || !wildcards.matches(entry.name))
            continue;
        ++listing.m_matches;
        if (keep) {
            entries.push_back(static_cast<char>(entry.type));
            const char *slot = reinterpret_cast<const char *>(&entry.slot);
            entries.insert(entries.end(), slot, slot + sizeof entry.slot);
            entries.insert(entries.end(), entry.name, entry.name + std::strlen(entry.name) + 1);
        }
    }
    if (const Failure failed = cursor.failure(); failed.failed())
        return ofFolder(failed);
    return listing;
}
