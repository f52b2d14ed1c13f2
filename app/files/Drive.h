#pragma once

#include "files/EntryClassification.h"
#include "files/Failure.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class WildcardPattern;
struct DosFolderPath;

// Drive C: as the file services see it, whatever holds it: a host folder,
// or the FAT file system inside a disk image. Each kind gives the few
// things only it can do (enter a folder, list it, judge and delete an
// entry, put a written file in place); the walk along a path, the look-up
// of a name and the matching of a pattern are written here once, for every
// kind.

// One entry as a folder's listing names it.
struct ListedEntry
{
    const char *name = nullptr;
    unsigned char type = 0; // DT_REG, DT_DIR, ... or DT_UNKNOWN
    // Where the drive keeps the entry, for the drive's own use (the slot of
    // an image's directory); 0 where the name says it all.
    std::uint32_t slot = 0;
};

// Which folder was read, to know it again: a host folder's device and
// inode, an image folder's first cluster and the image's state.
struct FolderIdentity
{
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    bool known = false;
    bool operator==(const FolderIdentity &other) const
    {
        return known && other.known && first == other.first && second == other.second;
    }
};

// The entries a pattern matched in its folder, read once ahead of the
// delete: what a clean run measures its progress against before it begins.
// Handed to delete-by-pattern of the same pattern it is that delete's first
// reading of the folder, so knowing the work ahead costs no second listing.
// Only the drive's matching reads what it holds.
class FolderListing
{
public:
    FolderListing() = default;

    // How many entries delete-by-pattern will meet for the pattern, as the
    // folder stood when it was read.
    std::uint64_t matches() const { return m_matches; }

private:
    friend class Drive;

    std::uint64_t m_matches = 0;
    // Which folder was read, and for which name pattern; a delete of
    // another, or of a folder put in its place since, reads its own.
    FolderIdentity m_folder;
    std::string m_pattern;
    // Each matching entry as its type (DT_REG, ...), its slot (4 bytes),
    // its name and a NUL.
    std::vector<char> m_entries;
};

// Judges the entries of one folder and deletes them: the one
// classification's answer for this drive, and the delete that follows it.
class FolderEntries
{
public:
    virtual ~FolderEntries() = default;

    // What the entry stands for now. A file judged deletable by entries
    // that check use stays held until release(), remove() or the next
    // judge(), so that nothing opens it in between.
    virtual EntryInfo judge(const ListedEntry &entry) = 0;
    virtual void release() = 0;

    enum class Removal {
        Deleted, // gone, for good
        Pending, // gone once commit() has made it so
        Gone,    // someone else deleted it first
        Failed,  // still there; failure says why
    };
    // Deletes the entry judged last, judged deletable.
    virtual Removal remove(const ListedEntry &entry, Failure &failure) = 0;
    // Whether enough removals wait to be made lasting now rather than
    // later, so that the progress of a long delete is heard as it goes.
    virtual bool wantsCommit() const { return false; }
    // Makes every pending removal lasting, in the order that leaves the
    // drive whole at every moment.
    virtual Failure commit() { return {}; }
};

// One reading of a folder, a buffer at a time, whose entries it judges.
class FolderCursor : public FolderEntries
{
public:
    // False at the end of the folder, or on a failure that failure() names.
    virtual bool next(ListedEntry &entry) = 0;
    virtual Failure failure() const = 0;
    // Reads the folder once more from its start.
    virtual Failure rewind() = 0;
    virtual FolderIdentity identity() = 0;
};

// A file on its way to its place: made at open-for-output, put in place at
// close-all, thrown away when dropped before that.
class PendingWrite
{
public:
    virtual ~PendingWrite() = default;
    virtual Failure putInPlace(const std::string &text) = 0;
};

// A folder of the drive, open.
class DriveFolder
{
public:
    virtual ~DriveFolder() = default;

    // The subfolder stored exactly as name, never through a link; ENOENT
    // where there is none.
    virtual Result<std::unique_ptr<DriveFolder>> enter(const std::string &name) = 0;
    // The same folder once more, as a handle of its own.
    virtual Result<std::unique_ptr<DriveFolder>> again() = 0;
    // Whether it may become the current directory.
    virtual Failure mayEnter() = 0;
    // Whether an entry is stored exactly as name: no failure, ENOENT, or
    // why it cannot be told.
    virtual Failure has(const std::string &name) = 0;

    // What a reading is for: how much it reads at a time, and whether it
    // judges with the use check.
    enum class Purpose {
        Delete,     // judged with the use check, the whole folder read
        FirstMatch, // judged without, read a little at a time
        Look,       // names only
    };
    virtual Result<std::unique_ptr<FolderCursor>> read(Purpose purpose) = 0;
    // Entries judged by name, as found by a look-up.
    virtual std::unique_ptr<FolderEntries> entries(bool checkUse) = 0;

    // The folder as a file is written in it: looked up, judged and written
    // through one handle from the open-for-output to the close-all.
    virtual Result<std::unique_ptr<DriveFolder>> forWriting() = 0;
    // A file to be written as name, in the place of what target judged
    // stands there now.
    virtual Result<std::unique_ptr<PendingWrite>> prepareWrite(const std::string &name, const EntryInfo &target) = 0;
};

class Drive
{
public:
    virtual ~Drive() = default;

    // The host path that is drive C:, as it was given.
    virtual const std::string &path() const = 0;
    // The root folder, opened when first asked for; the drive keeps it.
    virtual Result<DriveFolder *> root() = 0;

    // How long a run of work holds the drive: an image is opened, checked
    // and locked once for all the calls of a hold, not for each. Holds
    // nest; the outermost decides. Writing is asked for before anything is
    // written, so that a drive that may not be written fails at once.
    enum class Access { Read, Write };
    virtual Failure hold(Access access) { return (void)access, Failure(); }
    virtual void letGo() {}
    // Whatever a call holds stays held until release(), for the calls of
    // one handler or one clean; counted, so that they nest.
    virtual void retain() {}
    virtual void release() {}
    // Why the drive may not be written now, or nothing. Changes nothing.
    virtual Failure whyNotWritable() { return {}; }
    // What holds drive C:, for messages: "" for a host folder, "partition 1
    // (type 0C) at sector 63, FAT32, of a qcow2 image" for an image.
    virtual std::string description() const { return {}; }


    // --- The same for every kind ---

    struct Walked
    {
        std::unique_ptr<DriveFolder> folder;
        // The stored spelling of each folder from the root.
        std::vector<std::string> stored;
        Failure failure;
    };
    // Opens the folder of a resolved path, never through a link, from the
    // root or, for a path below it, from the current folder.
    Walked walk(const DosFolderPath &path, DriveFolder *current, const std::vector<std::string> &currentStored);

    // The stored spelling of name in folder: the exact bytes when they
    // exist, else the first in byte order of the entries that differ from
    // it only in case. ENOENT when no entry has that name.
    Result<std::string> lookUp(DriveFolder &folder, const std::string &name);

    // Told of each entry a pattern matches.
    class MatchVisitor
    {
    public:
        enum class Then { GoOn, Deleted, Stop };
        virtual ~MatchVisitor() = default;
        virtual Then visit(FolderEntries &entries, const ListedEntry &entry) = 0;
        // The removals pending so far are lasting now.
        virtual void committed() {}
    };
    // Hands visit each entry of folder that pattern matches. A plain name
    // is looked up; a pattern with wildcards reads the folder, and, as some
    // file systems shift their listing as entries go, reads it again after
    // a pass that deleted something until one deletes nothing. listed, a
    // listing of the pattern made before, stands for the first reading where
    // it is of this very folder; it is used up.
    // name is the pattern as written, wildcards the same prepared.
    Failure eachMatch(DriveFolder &folder, std::string_view name, const WildcardPattern &wildcards,
                      DriveFolder::Purpose purpose, MatchVisitor &visit, FolderListing *listed = nullptr);
    // The entries the pattern matches now, by their names alone.
    Result<FolderListing> listMatches(DriveFolder &folder, std::string_view name, const WildcardPattern &wildcards);

private:
    Result<std::string> lookUpOtherCase(DriveFolder &folder, std::string_view name);
};
