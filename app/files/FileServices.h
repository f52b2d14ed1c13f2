#pragma once

#include "files/Drive.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class Drive;
class EntryObserver;
class SystemCalls;

// The six file services every window and the cleaning engine go through,
// on drive C:, a Drive: a host folder or a disk image. The current
// directory is held here, as a DOS path and an open folder of the drive; the
// process's own working directory is never touched.
//
// Every failure is thrown as FileError; nothing here shows anything.
//
// One thread at a time: an object holds its current directory, open files and
// buffers without locks. Its user may hand it to another thread for a while,
// as long as no other thread touches it then.
class FileServices
{
public:
    // hostRoot is the host folder that stands for "C:\"; it may itself be a
    // link. The current directory starts at the root. systemCalls, when
    // given, replaces the host's system calls (tests inject faults through
    // it) and must outlive this object.
    explicit FileServices(std::string hostRoot, SystemCalls *systemCalls = nullptr);
    // Drive C: as the given drive, of any kind.
    explicit FileServices(std::unique_ptr<Drive> drive);
    ~FileServices();
    FileServices(const FileServices &) = delete;
    FileServices &operator=(const FileServices &) = delete;

    // The host path that is drive C:, a folder or an image.
    const std::string &hostRoot() const;
    Drive &drive() const;

    // Holds the drive for a run of calls (a handler's, a clean's): an image
    // is opened, checked and locked once for them all, at the first call
    // that needs it, rather than for each call.
    class Hold
    {
    public:
        explicit Hold(FileServices &files);
        ~Hold();
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;

    private:
        FileServices &m_files;
    };

    // Why a clean could not write to the drive now ("in use by ..."), or "":
    // changes nothing.
    std::string whyNotWritable();

    // The current directory as a DOS path in stored case, "C:\" for the
    // root and "C:\WINDOWS\TEMP" below it (no trailing backslash).
    std::string currentDirectory() const;

    // ChDir: an absolute or relative DOS path to an existing folder.
    // 76 "Path not found" otherwise.
    void changeDirectory(std::string_view dosPath);

    // Dir(pattern, 0): the stored name of the first ordinary file that
    // matches, or "" when none does or the folder is missing. Never throws
    // for a missing match.
    std::string firstMatch(std::string_view pattern);

    // Kill: deletes every deletable ordinary file that matches.
    // 76 missing folder, 53 nothing matched, 75 some match left in place.
    // observer, when given, hears of each matching entry once, deleted or
    // kept, with the verdict that decided it. listed, when given, is a
    // listing of the same pattern (listMatches) that stands for the first
    // reading of the folder; it is used up. The folder is still read at
    // least once, so that what came since the listing is deleted too.
    void deleteByPattern(std::string_view pattern, EntryObserver *observer = nullptr,
                         FolderListing *listed = nullptr);

    // What delete-by-pattern would make of each matching entry, judged the
    // same way, deleting nothing. Fails as delete-by-pattern does, except
    // that no match is no failure.
    void survey(std::string_view pattern, EntryObserver &observer);

    // The entries delete-by-pattern would meet for pattern now, by their
    // names alone: one listing of the folder and no look at any entry, so it
    // costs no system call per entry. Hidden files, folders and the like
    // are counted, as the delete meets them too. Fails as the survey does.
    FolderListing listMatches(std::string_view pattern);

    // Open name For Output As #fileNumber. Only file number 1 is used by the
    // program; the text reaches the named file at closeAll().
    void openForOutput(int fileNumber, std::string_view name);

    // Write #fileNumber, text: a double quote, the text, a double quote, CR, LF.
    void writeRecord(int fileNumber, std::string_view text);

    // Close: every open file is flushed and put in place durably.
    void closeAll();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
