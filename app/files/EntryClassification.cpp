#include "files/EntryClassification.h"

#include "files/SystemCalls.h"
#include "files/UseCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

namespace {

void unreadable(EntryInfo &info, int error)
{
    info.verdict = error == ENOENT ? Verdict::Gone : Verdict::Unreadable;
    info.error = error;
}

void inUse(EntryInfo &info, std::string holders)
{
    info.verdict = Verdict::InUse;
    info.holders = std::move(holders);
}

void useUnknown(EntryInfo &info, int error)
{
    info.verdict = Verdict::Unreadable;
    info.useUnknown = true;
    info.error = error;
}

} // namespace

std::string reasonOf(const EntryInfo &info)
{
    switch (info.verdict) {
    case Verdict::ReadOnly:
    case Verdict::DosReadOnly:
        return "read-only file";
    case Verdict::InUse:
        return info.holders.empty() ? std::string("in use") : "in use by " + info.holders;
    case Verdict::Hidden:
    case Verdict::DosHidden:
        return "hidden or system file";
    case Verdict::Unreadable:
        if (info.useUnknown)
            return "whether it is in use cannot be told: " + std::string(std::strerror(info.error));
        return info.attributesUnread ? "DOS attributes unreadable: " + std::string(std::strerror(info.error))
                                     : std::string(info.error != 0 ? std::strerror(info.error) : "");
    case Verdict::Folder:
    case Verdict::LinkToFolder:
    case Verdict::Special:
    case Verdict::VolumeLabel:
        return "not an ordinary file";
    case Verdict::Delete:
    case Verdict::Gone:
        break;
    }
    return {};
}

EntryJudge::EntryJudge(SystemCalls &calls, int folderFd, UseCheck *use)
    : m_calls(calls)
    , m_folderFd(folderFd)
    , m_attributes(calls, folderFd)
    , m_use(use)
{
}

EntryInfo EntryJudge::judge(const char *name, unsigned char type)
{
    release();
    EntryInfo info;
    if (name[0] == '.') {
        // Wine's hidden files: never looked at further.
        info.verdict = Verdict::Hidden;
        return info;
    }
    if (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN) {
        info.verdict = type == DT_DIR ? Verdict::Folder : Verdict::Special;
        return info;
    }
    if (m_use)
        m_use->begin();
    for (;;) {
        info = EntryInfo();
        switch (judgeOnce(name, type, info)) {
        case Step::Done:
            return info;
        case Step::Again:
            continue;
        case Step::Refused:
            break;
        }
        switch (m_use->afterRefusal(info.device, info.inode)) {
        case UseCheck::Answer::TryAgain:
        case UseCheck::Answer::Free:
            continue;
        case UseCheck::Answer::InUse:
            inUse(info, m_use->holders());
            return info;
        case UseCheck::Answer::Unknown:
            useUnknown(info, m_use->error());
            return info;
        }
    }
}

EntryJudge::Step EntryJudge::judgeOnce(const char *name, unsigned char type, EntryInfo &info)
{
    if (type != DT_REG) {
        // A link, or an entry of a listing without types: its status says
        // what it is before anything is opened.
        struct stat status;
        if (m_calls.fstatat(m_folderFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            unreadable(info, errno);
            return Step::Done;
        }
        if (!S_ISREG(status.st_mode)) {
            judgeStatus(name, status, info);
            return Step::Done;
        }
    }
    Descriptor file(m_calls, openToLook(m_calls, m_folderFd, name));
    if (!file) {
        const int error = errno;
        if (error == ENOENT) {
            info.verdict = Verdict::Gone;
            return Step::Done;
        }
        return judgeUnopened(name, error, info);
    }
    struct stat status;
    if (m_calls.fstatat(file.get(), "", &status, AT_EMPTY_PATH) != 0) {
        unreadable(info, errno == ENOENT ? EIO : errno);
        return Step::Done;
    }
    // Whatever took the listed file's place is judged as what it is.
    judgeStatus(name, status, info);
    if (!S_ISREG(status.st_mode))
        return Step::Done;
    judgeAttributes(file.get(), name, info);
    if (!m_use || info.verdict != Verdict::Delete)
        return Step::Done;
    switch (m_use->lease(file.get())) {
    case UseCheck::Lease::Held:
        // Closing the descriptor lets the lease go; no call of its own.
        m_lease = std::move(file);
        return Step::Done;
    case UseCheck::Lease::Refused:
        return Step::Refused;
    case UseCheck::Lease::NotOffered:
        file.reset();
        return fromProcessTable(info);
    case UseCheck::Lease::Failed:
        useUnknown(info, errno);
        return Step::Done;
    }
    return Step::Done;
}

// The entry could not be opened: its status by name says what it is. A
// regular file this user may not read, or one whose opening another
// process's lease stops, is judged by name; any other failure leaves it
// unexamined.
EntryJudge::Step EntryJudge::judgeUnopened(const char *name, int openError, EntryInfo &info)
{
    struct stat status;
    if (m_calls.fstatat(m_folderFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        unreadable(info, errno);
        return Step::Done;
    }
    judgeStatus(name, status, info);
    if (!S_ISREG(status.st_mode))
        return Step::Done;
    if (openError != EACCES && openError != EPERM && openError != EWOULDBLOCK) {
        unreadable(info, openError);
        return Step::Done;
    }
    judgeAttributes(-1, name, info);
    if (!m_use || info.verdict != Verdict::Delete)
        return Step::Done;
    return openError == EWOULDBLOCK ? Step::Refused : fromProcessTable(info);
}

EntryJudge::Step EntryJudge::fromProcessTable(EntryInfo &info)
{
    switch (m_use->fromProcessTable(info.device, info.inode)) {
    case UseCheck::Answer::Free:
        return Step::Done;
    case UseCheck::Answer::InUse:
        inUse(info, m_use->holders());
        return Step::Done;
    case UseCheck::Answer::TryAgain:
        return Step::Again;
    case UseCheck::Answer::Unknown:
        useUnknown(info, m_use->error());
        return Step::Done;
    }
    return Step::Done;
}

void EntryJudge::judgeStatus(const char *name, const struct stat &status, EntryInfo &info)
{
    info.verdict = Verdict::Delete;
    info.size = std::uint64_t(status.st_size);
    info.device = status.st_dev;
    info.inode = status.st_ino;
    if (S_ISLNK(status.st_mode)) {
        // A link carries no attributes of its own; only where it leads matters.
        struct stat target;
        if (m_calls.fstatat(m_folderFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode))
            info.verdict = Verdict::LinkToFolder;
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        info.verdict = S_ISDIR(status.st_mode) ? Verdict::Folder : Verdict::Special;
        return;
    }
    info.isRegular = true;
    info.mode = status.st_mode;
    info.owner = status.st_uid;
    info.group = status.st_gid;
}

void EntryJudge::judgeAttributes(int fd, const char *name, EntryInfo &info)
{
    const std::optional<unsigned> bits = m_attributes.read(fd, name);
    if (!bits) {
        info.error = m_attributes.error();
        info.verdict = Verdict::Unreadable;
        // ENOENT is "gone" only when the entry really is: through a /proc
        // that is not this process's, every name is missing. An open file
        // is never gone.
        struct stat status;
        if (fd < 0 && info.error == ENOENT && m_calls.fstatat(m_folderFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0
            && errno == ENOENT)
            info.verdict = Verdict::Gone;
        info.attributesUnread = true;
    } else if (*bits & (DosHidden | DosSystem)) {
        info.verdict = Verdict::DosHidden;
    } else if (*bits & DosReadOnly) {
        info.verdict = Verdict::DosReadOnly;
    } else if ((info.mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        info.verdict = Verdict::ReadOnly;
    }
}
