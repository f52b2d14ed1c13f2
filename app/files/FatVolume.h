#pragma once

#include "files/BlockDevice.h"
#include "files/Failure.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A FAT12, FAT16 or FAT32 file system on a block device, read from its own
// structures: the boot sector, the FAT, the directory entries with their
// long names. What it changes it first keeps in memory, and commitSteps()
// hands over as the writes that make it lasting, in steps that leave the
// drive whole between any two of them: a deleted file's entries before its
// clusters are freed, a new file's clusters taken before an entry names
// them, every FAT copy in one write. Within the step of the entries, a long
// name whose records lie in two clusters apart is two writes: a commit is
// therefore run by a process that finishes it (see ImageDrive), and only a
// power cut there leaves a name for ScanDisk to mend. Nothing is written
// outside what was read and judged.

enum class FatType { Fat12, Fat16, Fat32 };

namespace FatAttribute {
constexpr std::uint8_t ReadOnly = 0x01;
constexpr std::uint8_t Hidden = 0x02;
constexpr std::uint8_t System = 0x04;
constexpr std::uint8_t VolumeLabel = 0x08;
constexpr std::uint8_t Directory = 0x10;
constexpr std::uint8_t Archive = 0x20;
constexpr std::uint8_t LongName = 0x0F;
} // namespace FatAttribute

// What a boot sector says of the file system's layout, checked against
// itself and the size of the drive it is on.
struct FatLayout
{
    FatType type = FatType::Fat16;
    std::uint32_t sectorBytes = 512;
    std::uint32_t clusterBytes = 0;
    // Data clusters, numbered 2 to clusterCount + 1.
    std::uint32_t clusterCount = 0;
    std::uint32_t fatCount = 0;
    std::uint64_t fatBytes = 0; // one copy
    // The copy in use, and whether every copy is kept the same.
    std::uint32_t activeFat = 0;
    bool mirrored = true;
    std::uint64_t fatOffset = 0;
    std::uint64_t rootOffset = 0; // FAT12 and FAT16: the fixed root folder
    std::uint64_t rootBytes = 0;
    std::uint64_t dataOffset = 0;
    std::uint32_t rootCluster = 0; // FAT32
    std::uint64_t fsInfoOffset = 0; // FAT32, 0 where there is none
    // The boot sector's state byte, whose bit 0 a system that keeps it sets
    // while it has the drive mounted.
    std::uint8_t state = 0;
    std::uint64_t stateOffset = 0;
};

Result<FatLayout> readFatLayout(const std::uint8_t *bootSector, std::uint64_t driveBytes);
// Whether sector holds a FAT boot sector that could be a drive's (a jump,
// a sane BIOS parameter block); says nothing of the layout's truth.
bool looksLikeFatBootSector(const std::uint8_t *sector);

// An entry of a FAT folder, as the folder holds it now.
struct FatEntry
{
    // The long name, else the short one as Windows shows it.
    std::string name;
    std::array<std::uint8_t, 11> shortName{};
    std::uint8_t attributes = 0;
    std::uint32_t firstCluster = 0;
    std::uint32_t size = 0;
    // Its first long-name record, or its short record where it has none,
    // and its short record.
    std::uint32_t firstSlot = 0;
    std::uint32_t slot = 0;
    // Deleted in memory, or written anew, since the folder was read.
    bool deleted = false;
};

// A folder of the volume, read whole.
class FatDirectory
{
public:
    // Its first cluster; 0 for the fixed root folder of FAT12 and FAT16.
    std::uint32_t cluster() const { return m_cluster; }
    // Every entry in the folder's order, "." and ".." among them.
    const std::vector<FatEntry> &entries() const { return m_entries; }
    std::vector<FatEntry> &entries() { return m_entries; }
    // The entry whose short record is slot, or null.
    FatEntry *atSlot(std::uint32_t slot);
    FatEntry *named(std::string_view name);

private:
    friend class FatVolume;

    std::uint32_t m_cluster = 0;
    std::vector<FatEntry> m_entries;
    std::map<std::uint32_t, std::size_t> m_bySlot;
    std::vector<std::uint8_t> m_bytes;
    // The device offset of each piece of the folder: a cluster, or for a
    // fixed root one sector.
    std::vector<std::uint64_t> m_pieces;
    std::vector<std::uint32_t> m_clusters;
    std::uint32_t m_pieceBytes = 0;
    // The slot of the end mark (the first record never used), or the
    // number of slots where there is none.
    std::uint32_t m_end = 0;
    std::vector<bool> m_dirty; // by sector
};

// One write of a commit, and whether what went before must be on the disk
// first.
struct CommitWrite
{
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
    bool flushAfter = false;
};

class FatVolume
{
public:
    // Reads the layout and the FAT in use; for writing, every FAT copy and
    // the reserved sectors too, and the copies must agree.
    static Result<std::unique_ptr<FatVolume>> open(BlockDevice &drive, bool writing);
    const FatLayout &layout() const { return m_layout; }
    std::string describe() const; // "FAT32", ...

    // Failed, with why, where Windows did not shut down cleanly or found
    // disk errors, or a system that marks it mounted has it still.
    Failure shutDownCleanly() const;

    // The folder whose first cluster is cluster, 0 for the root; read once
    // and kept.
    Result<FatDirectory *> directory(std::uint32_t cluster);
    Result<FatDirectory *> root() { return directory(m_layout.type == FatType::Fat32 ? m_layout.rootCluster : 0); }

    // Every folder read and every chain followed once: none loops, runs
    // out of range or into a free cluster, none is longer or shorter than
    // its file, no cluster belongs to two entries, no folder holds itself.
    // Before anything is written; once a volume.
    Failure checkWhole();

    // Deletes a file in memory: its records marked deleted, its clusters
    // freed once the records are on the disk.
    Failure remove(FatDirectory &folder, FatEntry &entry);
    std::size_t pendingRemovals() const { return m_removals; }

    // A file written whole as name in folder, in the place of existing
    // (null for a new file), as Windows 98 writes one: a long name where
    // the name is not a short name in capitals, the archive bit set, the
    // times of now.
    Failure write(FatDirectory &folder, const std::string &name, FatEntry *existing, std::string_view content);

    // Whether anything waits to be written.
    bool changed() const;
    // The writes that make every change lasting, in order; the volume in
    // memory holds the changes from then on. Once they are all made,
    // committed() clears what waited; after a failure the volume is no
    // longer to be trusted.
    std::vector<CommitWrite> commitSteps();
    void committed();

    // The FAT entry of a cluster, for reading chains.
    std::uint32_t next(std::uint32_t cluster) const;
    // The chain of a file or folder, checked; at most limit clusters.
    Result<std::vector<std::uint32_t>> chain(std::uint32_t first, std::uint64_t limit) const;

private:
    FatVolume(BlockDevice &drive, FatLayout layout);
    void setNext(std::uint32_t cluster, std::uint32_t value, std::uint64_t &low, std::uint64_t &high);
    bool isEnd(std::uint32_t value) const;
    Failure writeWhole(FatDirectory &folder, const std::string &name, FatEntry *existing, std::string_view content);
    Result<std::unique_ptr<FatDirectory>> readDirectory(std::uint32_t cluster);
    Failure parse(FatDirectory &folder);
    Result<std::vector<std::uint32_t>> allocate(std::uint32_t count);
    Failure extend(FatDirectory &folder);
    void markDirty(FatDirectory &folder, std::uint32_t slot);
    void addFatSpan(std::vector<CommitWrite> &writes, std::uint64_t low, std::uint64_t high);

    BlockDevice &m_drive;
    FatLayout m_layout;
    // The copy of the FAT in use.
    std::vector<std::uint8_t> m_fat;
    std::vector<std::uint8_t> m_reserved; // the FSInfo sector
    std::map<std::uint32_t, std::unique_ptr<FatDirectory>> m_directories;
    bool m_checked = false;
    // The free count FSInfo keeps, where it keeps a valid one.
    std::int64_t m_freeCount = -1;
    std::uint32_t m_nextFree = 2;

    // What waits: the clusters new data goes to, written first; the FAT
    // bytes that take clusters; the folders' records; the clusters freed.
    std::vector<CommitWrite> m_data;
    std::uint64_t m_takenLow = ~std::uint64_t(0);
    std::uint64_t m_takenHigh = 0;
    std::int64_t m_taken = 0;
    std::vector<std::uint32_t> m_toFree;
    std::size_t m_removals = 0;
    // While a write is under way: each FAT entry it changed, as it was.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> *m_undo = nullptr;
};

// What the commit of a volume's writes runs them through: in this process,
// or in a child of its own that finishes them whatever becomes of this one.
class Committer
{
public:
    virtual ~Committer() = default;
    virtual Failure run(BlockDevice &drive, const std::vector<CommitWrite> &writes) = 0;
};

// Here, one after the other, flushing where asked.
class DirectCommitter final : public Committer
{
public:
    Failure run(BlockDevice &drive, const std::vector<CommitWrite> &writes) override;
};
