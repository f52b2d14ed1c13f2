#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class EntryObserver;
class SystemCalls;

// The entries a pattern matched in its folder, read once ahead of the
// delete: what a clean run measures its progress against before it begins.
// Handed to delete-by-pattern of the same pattern it is that delete's first
// reading of the folder, so knowing the work ahead costs no second listing.
// Only FileServices reads what it holds.
class FolderListing
{
public:
    FolderListing() = default;

    // How many entries delete-by-pattern will meet for the pattern, as the
    // folder stood when it was read.
    std::uint64_t matches() const { return m_matches; }

private:
    friend class FileServices;

    std::uint64_t m_matches = 0;
    // Which folder was read, and for which name pattern; a delete of
    // another, or of a folder put in its place since, reads its own.
    bool m_usable = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    std::string m_pattern;
    // Each matching entry as its type (DT_REG, ...), its name and a NUL.
    std::vector<char> m_entries;
};

// Drive C: of the program, rooted at one host folder, and the six file
// services every window and the cleaning engine go through. The current
// directory is held here, as a DOS path and an open folder handle; the
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
    ~FileServices();
    FileServices(const FileServices &) = delete;
    FileServices &operator=(const FileServices &) = delete;

    const std::string &hostRoot() const;

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
