#pragma once

#include <sys/types.h>

#include "files/DosAttributes.h"
#include "files/FolderReader.h"
#include "files/Verdict.h"

#include <cstdint>
#include <string>

class SystemCalls;
class UseCheck;

// What an entry of a folder counts as: the one decision first-match,
// delete-by-pattern, a survey and open-for-output take about it.

struct EntryInfo
{
    // Delete, or why the entry is kept.
    Verdict verdict = Verdict::Gone;
    // Of an unreadable entry: why.
    int error = 0;
    bool isRegular = false;
    // Unreadable because of its DOS attributes, not its status; because
    // whether it is in use could not be told.
    bool attributesUnread = false;
    bool useUnknown = false;
    // Of a file in use: who holds it, where that can be seen.
    std::string holders;
    // Of a regular file: what a file written in its place keeps.
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    // Of a file to delete: its size in bytes.
    std::uint64_t size = 0;
    // Which file it was, to know it again.
    dev_t device = 0;
    ino_t inode = 0;
};

// Why an entry that may not be deleted or written stays, in the words a
// failure names it with: "read-only file", "in use by setup.exe (PID 4242)".
std::string reasonOf(const EntryInfo &info);

// Judges the entries of one folder. A regular file is judged through one
// descriptor, opened first: its type, write bits and identity, its DOS
// attributes and, when the judge is given a UseCheck, the lease that tells
// whether it is in use, so that deleting it costs two look-ups of its name
// (the open, the unlink). Folders, FIFOs, sockets and device nodes are never
// opened: the listing's type, or the status of an entry the listing does
// not type, rules them out first. A file that cannot be opened (not this
// user's to read, or under another's lease) is judged by its name instead.
class EntryJudge
{
public:
    EntryJudge(SystemCalls &calls, int folderFd, UseCheck *use = nullptr);
    EntryJudge(const EntryJudge &) = delete;
    EntryJudge &operator=(const EntryJudge &) = delete;

    // The entry name as it stands now. type is its getdents64 type,
    // DT_UNKNOWN when not known. Names beginning with "." are hidden
    // without a system call; "." and ".." are the caller's to skip. A file
    // judged deletable with a UseCheck stays leased until release() or the
    // next judge(), so nothing opens it while it is deleted.
    EntryInfo judge(const char *name, unsigned char type);
    void release() { m_lease.reset(); }
    int folder() const { return m_folderFd; }

private:
    enum class Step { Done, Refused, Again };
    Step judgeOnce(const char *name, unsigned char type, EntryInfo &info);
    Step judgeUnopened(const char *name, int openError, EntryInfo &info);
    Step fromProcessTable(EntryInfo &info);
    void judgeStatus(const char *name, const struct stat &status, EntryInfo &info);
    void judgeAttributes(int fd, const char *name, EntryInfo &info);

    SystemCalls &m_calls;
    int m_folderFd;
    AttributeReader m_attributes;
    UseCheck *m_use;
    Descriptor m_lease;
};
