#pragma once

#include <cstdint>
#include <string_view>

// The one decision the program makes about an entry of a folder it cleans:
// delete it, or keep it and why. first-match, delete-by-pattern and the
// preview all take it from the same classification.
enum class Verdict {
    Delete,       // an ordinary file, or a link that does not lead to a folder
    ReadOnly,     // no write permission bit at all
    DosReadOnly,  // marked read-only in the DOS attributes
    Hidden,       // the name begins with "." (Wine's convention)
    DosHidden,    // marked hidden or system in the DOS attributes
    Unreadable,   // the DOS attributes could not be read or understood
    InUse,        // held open or mapped by a process, as Windows refuses to delete it
    Folder,       // a subfolder
    LinkToFolder, // a symbolic link that leads to a folder
    Special,      // a FIFO, socket or device node
    VolumeLabel,  // a FAT drive's volume label, which only looks like an entry
    Gone,         // vanished since it was listed; never reported
};

// The kinds of kept entry that are no match at all: neither named in a
// failure nor counted as a file.
inline bool isNoFile(Verdict verdict)
{
    return verdict == Verdict::Folder || verdict == Verdict::LinkToFolder || verdict == Verdict::Special
           || verdict == Verdict::VolumeLabel;
}
inline bool isHidden(Verdict verdict)
{
    return verdict == Verdict::Hidden || verdict == Verdict::DosHidden;
}
inline bool isReadOnly(Verdict verdict)
{
    return verdict == Verdict::ReadOnly || verdict == Verdict::DosReadOnly;
}

// Why an entry is kept, in the words the preview prints; "" for Delete.
std::string_view keptBecause(Verdict verdict);

// A match that delete-by-pattern reports as left behind: an ordinary file it
// may not delete. Hidden entries, folders and the like are no match at all.
bool isLeftBehind(Verdict verdict);

// One matching entry as the classification judged it.
struct EntryReport
{
    std::string_view name;
    Verdict verdict = Verdict::Delete;
    std::uint64_t size = 0; // bytes, for a file to delete
    // Of a file in use: the programs that hold it, "name (PID n), ...", where
    // this user may see them; else "".
    std::string_view holders;
};

// Told of each matching entry delete-by-pattern deleted or kept, or a survey
// found.
class EntryObserver
{
public:
    virtual ~EntryObserver() = default;
    virtual void entry(const EntryReport &report, bool deleted) = 0;
};
