// Reads arbitrary disk images as drive C: and, where the FAT volume on one
// is whole, deletes files and writes a marker in it as a clean-up does,
// in every folder it can go into, commits that to the image in memory and
// reads the image back. Reading must survive anything. Where the volume was
// whole: no write lies outside the drive or fails, the volume opened afresh
// is whole again, every entry not deleted is still there with its records,
// its chain and its data as they were, what was deleted is gone and its
// clusters free, the marker reads back as written, no cluster is taken that
// no entry names, and no byte changed outside the FATs, the FSInfo counts,
// the folders worked in and the marker's clusters. On request, a commit
// cut short by a power cut must leave the volume whole too: stopped after
// any write that is flushed, the writes before it made and none after.
// With BRIGHTSWEEP_FUZZ_FAT_STOPS=writes set, after any write at all; a
// disk may reorder writes between two flushes, so that is more than the
// program can rely on, and a long name whose records lie in two clusters
// apart is two writes of one step, which only the child that makes a
// commit keeps together.
//
// Input: an 8-byte header, then the image.
//   0    flags: 1 no marker; 2 removals committed before the marker is
//        written, in a commit of its own; 4 the volume checked at the
//        stops of every commit
//   1    the share of deletable files deleted, out of 255
//   2    the folder the marker goes to, by its place in the walk
//   3    the marker's name, by its place in markerNames
//   4-5  what picks the files to delete
//   6-7  the disk's size in sectors, at most 4 MB; the image is padded with
//        zeros to it, so that a seed need not hold the empty end of a disk
// fuzz/make-fat-seeds makes the seeds.
#include "files/BlockDevice.h"
#include "files/DiskImage.h"
#include "files/FatVolume.h"
#include "files/SplitMix.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t headerBytes = 8;
constexpr std::uint64_t maxDiskBytes = 4 * 1024 * 1024;
// A bounded walk: a hostile image may hold many folders, and a damaged one
// folders that hold each other.
constexpr std::size_t maxFolders = 256;
constexpr std::size_t maxEntries = 20000;
// Folders that share their clusters are each read whole: a damaged image of
// 4 MB can hold thousands of 2 MB folders.
constexpr std::uint64_t maxBytesWalked = 16 * 1024 * 1024;
// The most a folder holds: 65,536 records.
constexpr std::uint64_t folderLimitBytes = 65536 * 32;
constexpr std::uint32_t slotBytes = 32;

constexpr std::string_view markerContent = "\"This directory was emptyed by Brightsweep\"\r\n";
// The clean-up's own name first; then names that take other ways through
// write(): a short name in capitals, a long name over several records, one
// beyond ASCII, one without an extension, one no FAT drive can hold, and
// one beyond the 16 bits of a long name's characters.
constexpr std::string_view markerNames[] = {
    "deleted.txt",
    "DELETED.TXT",
    "Deleted by the clean-up, a note with a name too long for one record.txt",
    "d\xc3\xa9j\xc3\xa0 vid\xc3\xa9.txt",
    "deleted",
    "bad|name.txt",
    "deleted \xf0\x9f\x97\x91.txt",
};
constexpr std::size_t refusedName = 5;

// Whether a commit may stop after any write, not only after a flushed one.
bool g_stopAnywhere = false;

[[noreturn]] void fatal(const std::string &what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

std::string hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::uint32_t le32(const std::uint8_t *at)
{
    return std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16)
           | (std::uint32_t(at[3]) << 24);
}

// A disk in memory and drive C: on it, seen as the program sees it: through
// a view that lets nothing past the partition's ends. The bytes live in a
// buffer kept from one run to the next: a fresh one of megabytes each time
// costs more than the run.
class Image
{
public:
    Image(std::vector<std::uint8_t> &buffer, const std::vector<std::uint8_t> &bytes, const DriveLocation &where)
        : m_bytes(refill(buffer, bytes))
        , m_disk(m_bytes.data(), m_bytes.size())
        , m_drive(m_disk, where.start, where.size)
    {
    }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    const std::vector<std::uint8_t> &bytes() const { return m_bytes; }
    BlockDevice &drive() { return m_drive; }

private:
    static std::vector<std::uint8_t> &refill(std::vector<std::uint8_t> &buffer, const std::vector<std::uint8_t> &bytes)
    {
        buffer.assign(bytes.begin(), bytes.end());
        return buffer;
    }

    std::vector<std::uint8_t> &m_bytes;
    MemoryBlocks m_disk;
    PartitionView m_drive;
};

struct SeenEntry
{
    FatEntry entry;
    bool chainRead = false;
    std::vector<std::uint32_t> chain;
};

struct SeenFolder
{
    std::uint32_t cluster = 0;
    // Reached through folders checkWhole() goes into alone.
    bool checked = true;
    // Empty for the fixed root of FAT12 and FAT16.
    std::vector<std::uint32_t> chain;
    std::vector<SeenEntry> entries;
};

// The tree as far as a bounded walk reaches.
struct Census
{
    std::map<std::uint32_t, SeenFolder> folders;
    std::vector<std::uint32_t> order; // folders as the walk met them
    // Whether the walk reached every folder and read every chain.
    bool complete = true;
    // By cluster: named by a folder or a file the walk read.
    std::vector<bool> named;
};

bool isDotEntry(const FatEntry &entry)
{
    return entry.name == "." || entry.name == "..";
}

bool isFolder(const FatEntry &entry)
{
    return (entry.attributes & FatAttribute::Directory) != 0;
}

bool isLabel(const FatEntry &entry)
{
    return (entry.attributes & FatAttribute::VolumeLabel) != 0;
}

// A folder the clean-up can go into: a volume label that says it is a
// folder as well is none, to the program as to checkWhole().
bool isSubfolder(const FatEntry &entry)
{
    return isFolder(entry) && !isLabel(entry) && !isDotEntry(entry) && entry.firstCluster != 0;
}

// One checkWhole() goes into too: a volume label that says it is a folder
// as well is none to it.
bool isCheckedFolder(const FatEntry &entry)
{
    return isSubfolder(entry) && !isLabel(entry);
}

std::uint64_t folderClusters(const FatLayout &layout)
{
    return (folderLimitBytes + layout.clusterBytes - 1) / layout.clusterBytes;
}

// The clusters a file's size asks for, never more than the drive has: a
// longer chain loops, and a size of 4 GB must not make a walk of millions.
std::uint64_t fileClusters(const FatLayout &layout, std::uint32_t size)
{
    const std::uint64_t needed = std::max<std::uint64_t>((std::uint64_t(size) + layout.clusterBytes - 1) / layout.clusterBytes, 1);
    return std::min<std::uint64_t>(needed, layout.clusterCount);
}

Census takeCensus(FatVolume &volume)
{
    const FatLayout &layout = volume.layout();
    Census census;
    census.named.assign(std::size_t(layout.clusterCount) + 2, false);
    auto name = [&](const std::vector<std::uint32_t> &chain) {
        for (const std::uint32_t cluster : chain)
            census.named[cluster] = true;
    };
    std::deque<std::pair<std::uint32_t, bool>> waiting; // cluster, checked
    std::set<std::uint32_t> met;
    const std::uint32_t top = layout.type == FatType::Fat32 ? layout.rootCluster : 0;
    waiting.emplace_back(top, true);
    met.insert(top);
    std::size_t entries = 0;
    std::uint64_t folderBytes = 0;
    while (!waiting.empty()) {
        const auto [cluster, checked] = waiting.front();
        waiting.pop_front();
        if (census.folders.size() >= maxFolders || entries >= maxEntries || folderBytes >= maxBytesWalked) {
            census.complete = false;
            break;
        }
        Result<FatDirectory *> read = volume.directory(cluster);
        if (!read) {
            census.complete = false;
            continue;
        }
        SeenFolder folder;
        folder.cluster = cluster;
        folder.checked = checked;
        if (cluster != 0) {
            Result<std::vector<std::uint32_t>> chain = volume.chain(cluster, folderClusters(layout));
            if (!chain)
                fatal("folder at cluster " + std::to_string(cluster) + " was read although its chain is not whole: "
                      + chain.failure().reason);
            folder.chain = chain.take();
            name(folder.chain);
            folderBytes += folder.chain.size() * layout.clusterBytes;
        }
        for (const FatEntry &entry : (*read)->entries()) {
            if (entry.deleted)
                fatal("a folder just read holds an entry marked deleted");
            if (++entries > maxEntries) {
                census.complete = false;
                break;
            }
            SeenEntry seen;
            seen.entry = entry;
            // A label's cluster number names nothing, to checkWhole() as
            // to Windows.
            if (!isDotEntry(entry) && !isLabel(entry) && entry.firstCluster != 0) {
                const std::uint64_t limit = isFolder(entry) ? folderClusters(layout) : fileClusters(layout, entry.size);
                Result<std::vector<std::uint32_t>> chain = volume.chain(entry.firstCluster, limit);
                if (chain) {
                    seen.chainRead = true;
                    seen.chain = chain.take();
                    if (!isFolder(entry))
                        name(seen.chain);
                } else {
                    census.complete = false;
                }
            }
            if (isSubfolder(entry) && met.insert(entry.firstCluster).second)
                waiting.emplace_back(entry.firstCluster, checked && isCheckedFolder(entry));
            folder.entries.push_back(std::move(seen));
        }
        census.order.push_back(cluster);
        census.folders.emplace(cluster, std::move(folder));
    }
    return census;
}

// Where a record of a folder lies on the drive.
std::uint64_t slotOffset(const FatLayout &layout, const SeenFolder &folder, std::uint32_t slot)
{
    const std::uint64_t at = std::uint64_t(slot) * slotBytes;
    if (folder.chain.empty())
        return layout.rootOffset + at;
    const std::uint64_t piece = at / layout.clusterBytes;
    if (piece >= folder.chain.size())
        fatal("record " + std::to_string(slot) + " lies beyond its folder's chain");
    return layout.dataOffset + std::uint64_t(folder.chain[piece] - 2) * layout.clusterBytes + at % layout.clusterBytes;
}

std::uint64_t clusterOffset(const FatLayout &layout, std::uint32_t cluster)
{
    return layout.dataOffset + std::uint64_t(cluster - 2) * layout.clusterBytes;
}

// What the clean-up deletes: an ordinary file, as judged by its attributes
// and name.
bool deletable(const FatEntry &entry)
{
    return !entry.name.empty() && entry.name[0] != '.'
           && (entry.attributes
               & (FatAttribute::VolumeLabel | FatAttribute::Directory | FatAttribute::Hidden | FatAttribute::System
                  | FatAttribute::ReadOnly))
                  == 0;
}

std::string describeEntry(const SeenFolder &folder, const FatEntry &entry)
{
    return "\"" + entry.name + "\" (record " + std::to_string(entry.slot) + " of the folder at cluster "
           + std::to_string(folder.cluster) + ")";
}

// Every stop of a commit, as a power cut leaves the disk: the writes before
// it made, none after.
void checkStops(const std::vector<std::uint8_t> &disk, const DriveLocation &where,
                const std::vector<CommitWrite> &writes)
{
    if (writes.size() < 2)
        return;
    static std::vector<std::uint8_t> buffer;
    Image stopped(buffer, disk, where);
    for (std::size_t made = 1; made < writes.size(); ++made) {
        const CommitWrite &last = writes[made - 1];
        if (Failure failed = stopped.drive().write(last.offset, last.bytes.data(), last.bytes.size()); failed.failed())
            fatal("a write of a commit fails on a copy of the disk: " + wordsOf(failed));
        if (!last.flushAfter && !g_stopAnywhere)
            continue;
        Result<std::unique_ptr<FatVolume>> volume = FatVolume::open(stopped.drive(), true);
        // Stopped between two copies of the FAT, the copies differ, which
        // the next clean refuses until ScanDisk mends it; the copy in use
        // must be sound all the same.
        if (!volume && g_stopAnywhere && !last.flushAfter
            && volume.failure().reason.find("its FAT copies differ") != std::string::npos)
            volume = FatVolume::open(stopped.drive(), false);
        if (!volume)
            fatal("a commit stopped after " + std::to_string(made) + " of its " + std::to_string(writes.size())
                  + " writes leaves a volume that does not open: " + volume.failure().reason);
        if (Failure failed = (*volume)->checkWhole(); failed.failed())
            fatal("a commit stopped after " + std::to_string(made) + " of its " + std::to_string(writes.size())
                  + " writes (the last " + std::to_string(writes[made - 1].bytes.size()) + " bytes at "
                  + hex(writes[made - 1].offset) + ") leaves the volume damaged: " + failed.reason);
    }
}

void commit(FatVolume &volume, Image &image, const DriveLocation &where, bool stops)
{
    const std::vector<CommitWrite> writes = volume.commitSteps();
    for (const CommitWrite &write : writes) {
        if (write.offset > where.size || write.bytes.size() > where.size - write.offset)
            fatal("a commit writes " + std::to_string(write.bytes.size()) + " bytes at " + hex(write.offset)
                  + ", outside the drive of " + std::to_string(where.size) + " bytes");
    }
    if (stops)
        checkStops(image.bytes(), where, writes);
    DirectCommitter committer;
    if (Failure failed = committer.run(image.drive(), writes); failed.failed())
        fatal("a commit to a whole volume in memory failed: " + wordsOf(failed));
    volume.committed();
    if (volume.changed())
        fatal("the volume still has changes waiting after committed()");
}

struct Marker
{
    bool written = false;
    std::uint32_t folder = 0;
    std::string name;
    std::uint32_t firstSlot = 0;
    std::uint32_t slot = 0;
    // The entry it took the place of.
    bool replaced = false;
    std::uint8_t oldAttributes = 0;
};

// The marker, written as the clean-up writes it: in the place of an
// ordinary file of that name, and not at all where the name is taken by
// anything else.
Marker writeMarker(FatVolume &volume, const Census &before, std::uint32_t folderCluster, std::size_t nameIndex,
                   std::set<std::uint32_t> &touched, std::vector<std::uint32_t> &freed)
{
    Marker marker;
    marker.folder = folderCluster;
    marker.name = std::string(markerNames[nameIndex]);
    Result<FatDirectory *> folder = volume.directory(folderCluster);
    if (!folder)
        fatal("a folder of a whole volume cannot be read again: " + folder.failure().reason);
    FatEntry *existing = (*folder)->named(marker.name);
    if (existing && !deletable(*existing))
        return marker;
    std::vector<std::uint32_t> oldChain;
    if (existing) {
        marker.replaced = true;
        marker.oldAttributes = existing->attributes;
        marker.firstSlot = existing->firstSlot;
        marker.slot = existing->slot;
        for (const SeenEntry &seen : before.folders.at(folderCluster).entries) {
            if (seen.entry.slot == existing->slot)
                oldChain = seen.chain;
        }
    }
    const bool waitingBefore = volume.changed();
    touched.insert(folderCluster);
    Failure failed = volume.write(**folder, marker.name, existing, markerContent);
    if (nameIndex == refusedName) {
        if (!failed.failed() || failed.error != EINVAL)
            fatal("write() took the name \"" + marker.name + "\", which no FAT drive can hold");
        if (volume.changed() != waitingBefore)
            fatal("a write refused for its name left changes waiting");
        return marker;
    }
    if (failed.failed()) {
        // Full, or where checkWhole() never looked, damaged.
        if (failed.error == ENOSPC || !before.folders.at(folderCluster).checked)
            return marker;
        fatal("write() of \"" + marker.name + "\" failed on a whole volume: " + wordsOf(failed));
    }
    const FatEntry *written = existing ? existing : (*folder)->named(marker.name);
    if (!written)
        fatal("write() of \"" + marker.name + "\" left no entry of that name in memory");
    const FatEntry &entry = *written;
    if (entry.name != marker.name || entry.size != markerContent.size() || entry.deleted)
        fatal("the entry write() left in memory is not the marker: \"" + entry.name + "\", "
              + std::to_string(entry.size) + " bytes");
    if (existing && (entry.firstSlot != marker.firstSlot || entry.slot != marker.slot))
        fatal("the marker written in the place of a file moved its records");
    marker.written = true;
    marker.firstSlot = entry.firstSlot;
    marker.slot = entry.slot;
    freed.insert(freed.end(), oldChain.begin(), oldChain.end());
    return marker;
}

void compareTrees(const Census &a, const Census &b, const char *what)
{
    if (a.order != b.order)
        fatal(std::string("the walk meets other folders ") + what);
    for (const auto &[cluster, folder] : a.folders) {
        const SeenFolder &other = b.folders.at(cluster);
        if (folder.chain != other.chain || folder.entries.size() != other.entries.size())
            fatal(std::string("the folder at cluster ") + std::to_string(cluster) + " differs " + what);
        for (std::size_t i = 0; i < folder.entries.size(); ++i) {
            const FatEntry &x = folder.entries[i].entry;
            const FatEntry &y = other.entries[i].entry;
            if (x.name != y.name || x.shortName != y.shortName || x.attributes != y.attributes
                || x.firstCluster != y.firstCluster || x.size != y.size || x.slot != y.slot
                || x.firstSlot != y.firstSlot || folder.entries[i].chain != other.entries[i].chain)
                fatal(std::string("entry ") + describeEntry(folder, x) + " differs " + what);
        }
    }
}

// The image after the commits against the image before: see the top.
void checkAfter(const std::vector<std::uint8_t> &original, Image &image, const DriveLocation &where,
                FatVolume &reference, const Census &before, FatVolume &worked,
                const std::set<std::pair<std::uint32_t, std::uint32_t>> &removed, const std::set<std::uint32_t> &touched,
                const std::vector<std::uint32_t> &freedClusters, const Marker &marker)
{
    const FatLayout &layout = reference.layout();
    const std::vector<std::uint8_t> &after = image.bytes();

    Result<std::unique_ptr<FatVolume>> reopened = FatVolume::open(image.drive(), true);
    if (!reopened)
        fatal("after the commit the volume does not open for writing: " + reopened.failure().reason);
    FatVolume &volume = **reopened;
    if (Failure failed = volume.checkWhole(); failed.failed())
        fatal("after the commit the volume is damaged: " + failed.reason);
    if (volume.shutDownCleanly().failed() != reference.shutDownCleanly().failed())
        fatal("the commit changed whether the volume was shut down cleanly");
    const Census now = takeCensus(volume);

    // The folders' records.
    std::set<std::uint32_t> markerClusters;
    for (const auto &[cluster, folder] : before.folders) {
        const auto found = now.folders.find(cluster);
        if (found == now.folders.end()) {
            if (before.complete && folder.checked)
                fatal("the folder at cluster " + std::to_string(cluster) + " is no longer reached");
            continue;
        }
        const SeenFolder &folderNow = found->second;
        std::map<std::uint32_t, const SeenEntry *> bySlot;
        for (const SeenEntry &seen : folderNow.entries)
            bySlot[seen.entry.slot] = &seen;
        const bool markerHere = marker.written && marker.folder == cluster;
        if (!folder.checked) {
            // A folder checkWhole() never went into may lie on others'
            // clusters and its entries name any: nothing in it is anyone's
            // to keep. Only the marker's cluster is wanted from it.
            const auto at = bySlot.find(marker.slot);
            if (markerHere && at != bySlot.end())
                markerClusters.insert(at->second->chain.begin(), at->second->chain.end());
            continue;
        }
        const bool grows = touched.count(cluster) != 0;
        if (grows ? !std::equal(folder.chain.begin(), folder.chain.end(), folderNow.chain.begin(),
                                    folderNow.chain.begin() + std::ptrdiff_t(std::min(folder.chain.size(), folderNow.chain.size())))
                            || folderNow.chain.size() < folder.chain.size()
                      : folderNow.chain != folder.chain)
            fatal("the chain of the folder at cluster " + std::to_string(cluster) + " changed");
        std::size_t expected = markerHere && !marker.replaced ? 1 : 0;
        for (const SeenEntry &seen : folder.entries) {
            const FatEntry &entry = seen.entry;
            const bool gone = removed.count({cluster, entry.slot}) != 0;
            const bool isMarker = markerHere && marker.replaced && entry.slot == marker.slot;
            if (!gone)
                ++expected;
            if (gone) {
                for (std::uint32_t slot = entry.firstSlot; slot <= entry.slot; ++slot) {
                    if (markerHere && slot >= marker.firstSlot && slot <= marker.slot)
                        continue;
                    if (after[where.start + slotOffset(layout, folderNow, slot)] != 0xE5)
                        fatal("record " + std::to_string(slot) + " of the deleted " + describeEntry(folder, entry)
                              + " is not marked deleted");
                }
                if (bySlot.count(entry.slot) && !(markerHere && entry.slot == marker.slot))
                    fatal("the deleted " + describeEntry(folder, entry) + " is still there as \""
                          + bySlot[entry.slot]->entry.name + "\"");
                continue;
            }
            const auto at = bySlot.find(entry.slot);
            if (at == bySlot.end())
                fatal("the kept " + describeEntry(folder, entry) + " is gone");
            const SeenEntry &kept = *at->second;
            if (isMarker)
                continue;
            if (kept.entry.name != entry.name || kept.entry.attributes != entry.attributes
                || kept.entry.size != entry.size || kept.entry.firstCluster != entry.firstCluster
                || kept.entry.firstSlot != entry.firstSlot || kept.entry.shortName != entry.shortName)
                fatal("the kept " + describeEntry(folder, entry) + " changed: now \"" + kept.entry.name + "\", attributes "
                      + hex(kept.entry.attributes) + ", " + std::to_string(kept.entry.size) + " bytes, cluster "
                      + std::to_string(kept.entry.firstCluster));
            for (std::uint32_t slot = entry.firstSlot; slot <= entry.slot; ++slot) {
                const std::uint64_t offset = where.start + slotOffset(layout, folder, slot);
                if (offset != where.start + slotOffset(layout, folderNow, slot)
                    || std::memcmp(&original[offset], &after[offset], slotBytes) != 0)
                    fatal("a record of the kept " + describeEntry(folder, entry) + " changed");
            }
            const bool growingFolder = isFolder(entry) && touched.count(entry.firstCluster) != 0;
            if (kept.chainRead != seen.chainRead
                || (growingFolder ? !std::equal(seen.chain.begin(), seen.chain.end(), kept.chain.begin())
                                        || kept.chain.size() < seen.chain.size()
                                  : kept.chain != seen.chain))
                fatal("the chain of the kept " + describeEntry(folder, entry) + " changed");
            if (!isFolder(entry)) {
                for (const std::uint32_t cluster2 : seen.chain) {
                    const std::uint64_t offset = where.start + clusterOffset(layout, cluster2);
                    if (std::memcmp(&original[offset], &after[offset], layout.clusterBytes) != 0)
                        fatal("the data of the kept " + describeEntry(folder, entry) + " changed in cluster "
                              + std::to_string(cluster2));
                }
            }
        }
        std::size_t present = 0;
        for (const SeenEntry &seen : folderNow.entries)
            present += seen.entry.deleted ? 0 : 1;
        if (before.complete && now.complete && present != expected)
            fatal("the folder at cluster " + std::to_string(cluster) + " holds " + std::to_string(present)
                  + " entries, " + std::to_string(expected) + " expected");
        if (markerHere) {
            const auto at = bySlot.find(marker.slot);
            if (at == bySlot.end())
                fatal("the marker \"" + marker.name + "\" is not at record " + std::to_string(marker.slot));
            const SeenEntry &entry = *at->second;
            const std::uint8_t attributes =
                marker.replaced ? static_cast<std::uint8_t>(marker.oldAttributes | FatAttribute::Archive) : FatAttribute::Archive;
            if (entry.entry.name != marker.name || entry.entry.attributes != attributes
                || entry.entry.size != markerContent.size() || entry.entry.firstSlot != marker.firstSlot
                || !entry.chainRead || entry.chain.size() != 1)
                fatal("the marker reads back as \"" + entry.entry.name + "\", attributes " + hex(entry.entry.attributes)
                      + ", " + std::to_string(entry.entry.size) + " bytes");
            const std::uint64_t offset = where.start + clusterOffset(layout, entry.chain[0]);
            if (std::memcmp(&after[offset], markerContent.data(), markerContent.size()) != 0)
                fatal("the marker's content reads back wrong");
            markerClusters.insert(entry.chain.begin(), entry.chain.end());
            for (const auto &[folderCluster, other] : before.folders) {
                for (const SeenEntry &seen : other.entries) {
                    if (other.checked && !isFolder(seen.entry) && removed.count({folderCluster, seen.entry.slot}) == 0
                        && !(folderCluster == marker.folder && seen.entry.slot == marker.slot)
                        && std::find(seen.chain.begin(), seen.chain.end(), entry.chain[0]) != seen.chain.end())
                        fatal("the marker took a cluster of the kept " + describeEntry(other, seen.entry));
                }
            }
        }
    }

    // What the volume in memory holds since the commit is what the disk
    // holds, a new entry kept last in memory wherever its records went.
    auto bySlotOrder = [](const FatEntry *a, const FatEntry *b) { return a->slot < b->slot; };
    for (const std::uint32_t cluster : touched) {
        Result<FatDirectory *> inMemory = worked.directory(cluster);
        const auto found = now.folders.find(cluster);
        if (!inMemory || found == now.folders.end() || !before.folders.at(cluster).checked)
            continue;
        std::vector<const FatEntry *> kept;
        for (const FatEntry &entry : (*inMemory)->entries()) {
            if (!entry.deleted)
                kept.push_back(&entry);
        }
        std::sort(kept.begin(), kept.end(), bySlotOrder);
        const std::vector<SeenEntry> &onDisk = found->second.entries;
        bool same = kept.size() == onDisk.size();
        for (std::size_t i = 0; same && i < kept.size(); ++i) {
            same = kept[i]->name == onDisk[i].entry.name && kept[i]->slot == onDisk[i].entry.slot
                   && kept[i]->attributes == onDisk[i].entry.attributes && kept[i]->size == onDisk[i].entry.size
                   && kept[i]->firstCluster == onDisk[i].entry.firstCluster;
        }
        if (!same)
            fatal("after the commit the folder at cluster " + std::to_string(cluster)
                  + " in memory is not the one on the disk");
    }

    // The FAT: a cluster changes only from free to named, from named to free
    // where its file was deleted, or where a folder grew past its end.
    std::set<std::uint32_t> freed(freedClusters.begin(), freedClusters.end());
    std::set<std::uint32_t> grown;
    for (const std::uint32_t cluster : touched) {
        const auto found = before.folders.find(cluster);
        if (found != before.folders.end() && !found->second.chain.empty())
            grown.insert(found->second.chain.back());
    }
    for (std::uint32_t cluster = 0; cluster <= layout.clusterCount + 1; ++cluster) {
        const std::uint32_t was = reference.next(cluster);
        const std::uint32_t is = volume.next(cluster);
        if (cluster >= 2 && freed.count(cluster) && is != 0 && now.complete && !now.named[cluster])
            fatal("cluster " + std::to_string(cluster) + " of a deleted file was not freed");
        if (was == is)
            continue;
        if (cluster < 2)
            fatal("FAT entry " + std::to_string(cluster) + " changed from " + hex(was) + " to " + hex(is));
        if (was != 0 && freed.count(cluster) == 0 && grown.count(cluster) == 0)
            fatal("FAT entry of cluster " + std::to_string(cluster) + " changed from " + hex(was) + " to " + hex(is)
                  + " though nothing freed it");
        if (is != 0 && now.complete && !now.named[cluster])
            fatal("cluster " + std::to_string(cluster) + " was taken (FAT entry " + hex(is)
                  + ") but no entry names it: a lost cluster");
    }

    // FSInfo's free count, where it was right, stays right.
    if (layout.fsInfoOffset != 0) {
        const std::uint64_t at = where.start + layout.fsInfoOffset + 488;
        const std::uint32_t countWas = le32(&original[at]);
        const std::uint32_t countIs = le32(&after[at]);
        std::uint32_t freeWas = 0;
        std::uint32_t freeIs = 0;
        for (std::uint32_t cluster = 2; cluster <= layout.clusterCount + 1; ++cluster) {
            freeWas += reference.next(cluster) == 0 ? 1u : 0u;
            freeIs += volume.next(cluster) == 0 ? 1u : 0u;
        }
        if (countWas == freeWas && countIs != freeIs)
            fatal("FSInfo counted " + std::to_string(countWas) + " free clusters rightly; now " + std::to_string(countIs)
                  + " where " + std::to_string(freeIs) + " are free");
        if (countWas > layout.clusterCount && countIs != countWas)
            fatal("FSInfo's unknown free count became " + std::to_string(countIs));
        const std::uint32_t hint = le32(&after[at + 4]);
        if (hint != le32(&original[at + 4]) && (hint < 2 || hint > layout.clusterCount + 1))
            fatal("FSInfo's next free cluster became " + std::to_string(hint) + ", outside the drive");
    }

    // Nothing else changed.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> allowed; // [begin, end) on the disk
    auto allow = [&](std::uint64_t from, std::uint64_t bytes) {
        allowed.emplace_back(where.start + from, where.start + from + bytes);
    };
    const std::uint64_t fatEntryBytes = layout.type == FatType::Fat12   ? ((std::uint64_t(layout.clusterCount) + 2) * 3 + 1) / 2
                                        : layout.type == FatType::Fat16 ? (std::uint64_t(layout.clusterCount) + 2) * 2
                                                                        : (std::uint64_t(layout.clusterCount) + 2) * 4;
    for (std::uint32_t copy = 0; copy < layout.fatCount; ++copy) {
        if (layout.mirrored || copy == layout.activeFat)
            allow(layout.fatOffset + copy * layout.fatBytes, std::min(fatEntryBytes, layout.fatBytes));
    }
    if (layout.fsInfoOffset != 0)
        allow(layout.fsInfoOffset + 488, 8);
    for (const std::uint32_t cluster : touched) {
        const auto found = now.folders.find(cluster);
        if (cluster == 0 && layout.type != FatType::Fat32)
            allow(layout.rootOffset, layout.rootBytes);
        else if (found != now.folders.end())
            for (const std::uint32_t piece : found->second.chain)
                allow(clusterOffset(layout, piece), layout.clusterBytes);
    }
    for (const std::uint32_t cluster : markerClusters)
        allow(clusterOffset(layout, cluster), layout.clusterBytes);
    std::sort(allowed.begin(), allowed.end());
    std::uint64_t from = 0;
    auto compareUpTo = [&](std::uint64_t end) {
        end = std::min<std::uint64_t>(end, after.size());
        if (from >= end || std::memcmp(&original[from], &after[from], std::size_t(end - from)) == 0)
            return;
        std::size_t i = std::size_t(from);
        while (original[i] == after[i])
            ++i;
        fatal("byte " + hex(i) + " of the disk (" + hex(i - std::min<std::uint64_t>(i, where.start))
              + " into the drive) changed from " + hex(original[i]) + " to " + hex(after[i])
              + ", outside every place the commit may write");
    };
    for (const auto &[begin, end] : allowed) {
        compareUpTo(begin);
        from = std::max(from, end);
    }
    compareUpTo(after.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *stops = std::getenv("BRIGHTSWEEP_FUZZ_FAT_STOPS");
    g_stopAnywhere = stops && std::string_view(stops) == "writes";
    return 0;
}

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

// libFuzzer's own mutations spread over the whole input: they would seldom
// touch the header, 8 bytes of many thousands, and their inserts and erases
// shift every structure off the place the others point at. So some of the
// time an option is set instead, or one sector that holds anything is
// mutated in place.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    std::uint64_t state = seed;
    if (size < headerBytes + 512)
        return LLVMFuzzerMutate(data, size, maxSize);
    switch (nextRandom(state) % 4) {
    case 0:
        // Not the disk's size: made larger, it only slows the runs down.
        data[nextRandom(state) % 6] = static_cast<std::uint8_t>(nextRandom(state));
        return size;
    case 1: {
        static const std::uint8_t zeros[512] = {};
        const std::size_t sectors = (size - headerBytes) / 512;
        std::size_t at = 0;
        for (int tries = 0; tries < 8; ++tries) {
            at = headerBytes + std::size_t(nextRandom(state) % sectors) * 512;
            if (std::memcmp(data + at, zeros, 512) != 0)
                break;
        }
        LLVMFuzzerMutate(data + at, 512, 512);
        return size;
    }
    default:
        return LLVMFuzzerMutate(data, size, maxSize);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < headerBytes + 512 || size - headerBytes > maxDiskBytes)
        return 0;
    const std::uint8_t flags = data[0];
    const std::uint8_t share = data[1];
    const std::uint8_t markerFolder = data[2];
    const std::size_t markerName = data[3] % (sizeof markerNames / sizeof markerNames[0]);
    std::uint64_t pick = std::uint64_t(data[4]) | (std::uint64_t(data[5]) << 8);
    const std::uint64_t sectors = std::uint64_t(data[6]) | (std::uint64_t(data[7]) << 8);
    const std::uint64_t diskBytes = std::max<std::uint64_t>(size - headerBytes, std::min(sectors * 512, maxDiskBytes));
    static std::vector<std::uint8_t> original;
    original.assign(data + headerBytes, data + size);
    original.resize(std::size_t(diskBytes), 0);

    // Drive C: on the disk, as the program finds it.
    const std::size_t tailBytes = original.size() >= 1024 ? 512 : 0;
    Result<ImageFormat> format = detectImageFormat(original.data(), std::min<std::size_t>(original.size(), 1024),
                                                   original.data() + original.size() - tailBytes, tailBytes,
                                                   original.size());
    if (!format || !format->raw())
        return 0;
    // Read only, by findDriveC() and the volume opened for reading.
    MemoryBlocks disk(original.data(), original.size());
    Result<DriveLocation> located = findDriveC(disk);
    if (!located)
        return 0;
    const DriveLocation where = *located;
    if (where.start + where.size > original.size())
        fatal("drive C: found at " + hex(where.start) + ", " + hex(where.size) + " bytes, beyond the disk's end");

    // Read as a listing does: whatever the image holds, nothing may crash,
    // hang or write.
    PartitionView pristine(disk, where.start, where.size);
    Result<std::unique_ptr<FatVolume>> read = FatVolume::open(pristine, false);
    if (!read)
        return 0;
    FatVolume &reference = **read;
    (void)reference.describe();
    (void)reference.shutDownCleanly();
    const Census readCensus = takeCensus(reference);
    const bool readWhole = !reference.checkWhole().failed();

    static std::vector<std::uint8_t> buffer;
    Image image(buffer, original, where);
    Result<std::unique_ptr<FatVolume>> opened = FatVolume::open(image.drive(), true);
    if (!opened)
        return 0;
    FatVolume &volume = **opened;
    const Census before = takeCensus(volume);
    const bool whole = !volume.checkWhole().failed();
    static const std::uint8_t zeros[4096] = {};
    bool untouched = std::memcmp(original.data(), data + headerBytes, size - headerBytes) == 0 && image.bytes() == original;
    for (std::size_t at = size - headerBytes; untouched && at < original.size(); at += sizeof zeros)
        untouched = std::memcmp(&original[at], zeros, std::min(sizeof zeros, original.size() - at)) == 0;
    if (!untouched)
        fatal("reading the volume wrote to the disk");
    if (!whole) {
        if (volume.changed())
            fatal("a damaged volume has changes waiting that nobody made");
        return 0;
    }
    if (!readWhole)
        fatal("the volume is whole opened for writing but damaged opened for reading");
    compareTrees(readCensus, before, "between the volume opened for reading and the one opened for writing");

    // The clean-up: deletable files deleted, then the marker.
    std::set<std::pair<std::uint32_t, std::uint32_t>> removed;
    std::set<std::uint32_t> touched;
    std::vector<std::uint32_t> freed;
    for (const std::uint32_t cluster : before.order) {
        const SeenFolder &seenFolder = before.folders.at(cluster);
        Result<FatDirectory *> folder = volume.directory(cluster);
        if (!folder)
            fatal("a folder of a whole volume cannot be read again: " + folder.failure().reason);
        for (const SeenEntry &seen : seenFolder.entries) {
            if (!deletable(seen.entry) || nextRandom(pick) % 255 >= share)
                continue;
            FatEntry *entry = (*folder)->atSlot(seen.entry.slot);
            if (!entry || entry->name != seen.entry.name)
                fatal("the entry " + describeEntry(seenFolder, seen.entry) + " is not found again by its record");
            if (Failure failed = volume.remove(**folder, *entry); failed.failed()) {
                // Damage where checkWhole() never looked is found here at the latest.
                if (!seenFolder.checked)
                    continue;
                fatal("remove() of " + describeEntry(seenFolder, seen.entry) + " failed on a whole volume: " + wordsOf(failed));
            }
            if (!entry->deleted || (*folder)->atSlot(seen.entry.slot) != nullptr)
                fatal("the removed " + describeEntry(seenFolder, seen.entry) + " is still there in memory");
            removed.insert({cluster, seen.entry.slot});
            touched.insert(cluster);
            freed.insert(freed.end(), seen.chain.begin(), seen.chain.end());
        }
    }
    if (volume.pendingRemovals() != removed.size())
        fatal(std::to_string(volume.pendingRemovals()) + " removals pending after " + std::to_string(removed.size()));
    const bool stops = (flags & 4) != 0;
    if ((flags & 2) != 0)
        commit(volume, image, where, stops);
    Marker marker;
    if ((flags & 1) == 0 && !before.order.empty())
        marker = writeMarker(volume, before, before.order[markerFolder % before.order.size()], markerName, touched, freed);
    commit(volume, image, where, stops);

    checkAfter(original, image, where, reference, before, volume, removed, touched, freed, marker);
    return 0;
}
