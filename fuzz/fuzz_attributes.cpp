// Feeds the judging of a file arbitrary attribute lists and values of any
// length, values that grow between the size query and the read, the
// attributes of FAT and NTFS file systems, opens refused for want of rights
// or by another's lease, the answers of the lease that tells a file in use,
// and any error on any call, through system calls that only pretend; a
// refused file is tried again after a wait, which starts the script's
// bookkeeping afresh. The one rule, of the last try: unless every DOS
// attribute value was read whole and is a number without the hidden, system
// or read-only bit, the file system's own bits (where it keeps any) were
// read and have none of them, and, when use is checked, nothing refused the
// file and a lease was granted or /proc was read and shows no holder, the
// file is not deletable. And where nothing went wrong and all say so, it is.
#include "files/EntryClassification.h"
#include "files/UseCheck.h"
#include "files/SystemCalls.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int folderFd = 3;
// What the pretended openat hands out; never a real descriptor.
constexpr int fileFd = 1000;
constexpr int procFd = 1001;

enum class Kind { Plain, Fat, Ntfs, Fuse };

bool isDosName(const std::string &name)
{
    return name == "user.DOSATTRIB" || name == "user.DOS_ATTRIB";
}

// The attributes as this target reads them, written apart from the
// product's parser: the text before the first NUL, less trailing blanks,
// is "0x" and hex digits or decimal digits, within 32 bits, and none of
// the bits 0x7 is set.
bool allowsDelete(std::string value)
{
    value = value.substr(0, value.find('\0'));
    while (!value.empty() && std::strchr(" \n\t", value.back()))
        value.pop_back();
    const bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    const std::string digits = hex ? value.substr(2) : value;
    if (digits.empty())
        return false;
    unsigned long long bits = 0;
    for (const char c : digits) {
        const char *all = "0123456789abcdefABCDEF";
        const char *at = std::strchr(all, c);
        if (c == '\0' || !at || (!hex && at - all >= 10))
            return false;
        const int digit = at - all >= 16 ? int(at - all) - 6 : int(at - all);
        bits = bits * (hex ? 16ull : 10ull) + unsigned(digit);
        if (bits > 0xFFFFFFFFull)
            return false;
    }
    return (bits & 0x7) == 0;
}

struct Attribute
{
    std::string name;
    std::string value;
};

class ScriptedCalls : public SystemCalls
{
public:
    ScriptedCalls(FuzzedDataProvider &input, AttributeRoute route)
        : SystemCalls(route)
        , m_input(input)
    {
        const int count = input.ConsumeIntegralInRange(0, 6);
        for (int i = 0; i < count; ++i) {
            static const char *const names[] = {"user.DOSATTRIB", "user.DOS_ATTRIB", "user.other",
                                                "security.selinux"};
            std::string name = names[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
            if (input.ConsumeBool())
                name = input.ConsumeRandomLengthString(100);
            name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
            std::string value = input.ConsumeRandomLengthString(6000);
            // A file has each name once.
            if (std::none_of(attributes.begin(), attributes.end(), [&](const Attribute &a) { return a.name == name; }))
                attributes.push_back({name, value});
        }
    }

    std::vector<Attribute> attributes;
    bool meddled = false; // a value grew, or ERANGE came without cause
    Kind kind = Kind::Plain;

    // Of the last try at the file: a try after a wait starts afresh.
    bool failed = false;      // a call answered with an error that leaves nothing known
    bool forbids = false;     // the file system's own bits keep the file
    bool refused = false;     // an open or a lease another process stopped
    bool openRights = false;  // the file is not this user's to open: judged by name
    enum class Lease { None, Granted, NotOffered, Failed } lease = Lease::None;
    // Of the last look at /proc, which stays good for a while.
    enum class Table { None, Empty, Failed } table = Table::None;
    int tries = 1;

    // The process table decides where no lease could be had, and says free
    // only after a look that found /proc readable and empty.
    bool vouched() const
    {
        return lease == Lease::Granted
               || ((lease == Lease::NotOffered || openRights) && lease != Lease::Failed && table == Table::Empty);
    }

    int nanosleep(const struct timespec &) override
    {
        failed = forbids = refused = openRights = false;
        lease = Lease::None;
        m_fileOpens = 0;
        m_askedOnce = 0;
        ++tries;
        return 0;
    }

    int openat(int, const char *path, int flags, mode_t) override
    {
        // /proc itself, or a file in it (a process's name).
        const bool proc = std::strncmp(path, "/proc", 5) == 0;
        const bool judging = !proc && m_fileOpens++ == 0;
        if (const int error = pickError()) {
            // Refused the access time's sparing, the file is opened again
            // without it.
            if (error == EPERM && (flags & O_NOATIME) != 0) {
                --m_fileOpens;
                return fail(error);
            }
            if (proc) {
                // A process whose name cannot be read has ended.
                if (std::strcmp(path, "/proc") == 0)
                    table = Table::Failed;
            } else if (judging && (error == EACCES || error == EPERM))
                openRights = true;
            else if (judging && error == EWOULDBLOCK)
                refused = true;
            else
                failed = true;
            return fail(error);
        }
        return proc ? procFd : fileFd;
    }

    int close(int) override { return 0; }

    ssize_t getdents64(int, void *, std::size_t) override
    {
        // An empty /proc, or one that is gone: no one holds anything.
        if (const int error = pickError()) {
            table = error == ENOENT ? Table::Empty : Table::Failed;
            return fail(error);
        }
        table = Table::Empty;
        return 0;
    }

    int fstatfs(int, struct statfs *status) override
    {
        *status = {};
        if (const int error = pickError()) {
            failed = true;
            return fail(error);
        }
        static const long types[] = {0xEF53, 0x4d44, 0x5346544e, 0x65735546};
        const std::size_t pick = m_input.ConsumeIntegralInRange<std::size_t>(0, 3);
        kind = Kind(pick);
        status->f_type = types[pick];
        return 0;
    }

    int fatAttributes(int, std::uint32_t &bits) override
    {
        if (kind != Kind::Fat)
            failed = true; // asked where the file system keeps no such byte
        if (const int error = pickError()) {
            failed = true;
            return fail(error);
        }
        bits = m_input.ConsumeIntegral<std::uint8_t>();
        forbids = forbids || (bits & 0x7) != 0;
        return 0;
    }

    int setLease(int, int type) override
    {
        if (type != F_WRLCK)
            return 0;
        static const int answers[] = {0, 0, 0, EAGAIN, EACCES, EINVAL, EIO, EBADF};
        const int answer = answers[m_input.ConsumeIntegralInRange<std::size_t>(0, 7)];
        refused = answer == EAGAIN;
        lease = answer == 0                                   ? Lease::Granted
                : answer == EACCES || answer == EINVAL        ? Lease::NotOffered
                : answer == EIO || answer == EBADF            ? Lease::Failed
                                                              : Lease::None;
        return answer == 0 ? 0 : fail(answer);
    }

    int fstatat(int dirFd, const char *path, struct stat *status, int) override
    {
        *status = {};
        status->st_dev = 1;
        status->st_ino = 2;
        status->st_mode = S_IFDIR | 0755;
        if (path[0] == '/') {
            // The /proc route's look at the folder: the same one, another, or none.
            const int answer = m_input.ConsumeIntegralInRange(0, 3);
            failed = failed || answer != 0;
            status->st_ino += unsigned(answer);
            return answer == 3 ? fail(ENOENT) : 0;
        }
        if (path[0] == '\0' && dirFd == fileFd) {
            // The opened file.
            status->st_mode = S_IFREG | 0644;
            status->st_ino = 7;
            return 0;
        }
        if (path[0] == '\0')
            return 0;
        // The file by name; asked again after an ENOENT, it may have gone.
        status->st_ino = 7;
        status->st_mode = S_IFREG | 0644;
        if (m_askedOnce++ && m_input.ConsumeBool()) {
            failed = true;
            return fail(ENOENT);
        }
        return 0;
    }

    ssize_t listxattrat(int, const char *, char *list, std::size_t size) override { return listAttributes(list, size); }
    ssize_t flistxattr(int, char *list, std::size_t size) override { return listAttributes(list, size); }

    ssize_t getxattrat(int, const char *, const char *name, void *value, std::size_t size) override
    {
        return attributeValue(name, value, size);
    }
    ssize_t fgetxattr(int, const char *name, void *value, std::size_t size) override
    {
        return attributeValue(name, value, size);
    }

private:
    ssize_t listAttributes(char *list, std::size_t size)
    {
        if (const int error = injected()) {
            // A file system that keeps none.
            if (error == ENODATA || error == ENOTSUP)
                attributes.clear();
            return fail(error);
        }
        std::string names;
        for (const Attribute &attribute : attributes)
            names += attribute.name + '\0';
        return answer(names, list, size);
    }

    ssize_t attributeValue(const char *name, void *value, std::size_t size)
    {
        if (std::strncmp(name, "system.", 7) == 0)
            return fileSystemAttribute(name, static_cast<unsigned char *>(value), size);
        const auto found = std::find_if(attributes.begin(), attributes.end(),
                                        [&](const Attribute &a) { return a.name == name; });
        if (found == attributes.end())
            return fail(ENODATA);
        if (m_input.ConsumeIntegralInRange(0, 7) == 7) {
            found->value += m_input.ConsumeRandomLengthString(300);
            meddled = true;
        }
        if (const int error = injected()) {
            // Gone since it was listed: truly none.
            if (error == ENODATA || error == ENOTSUP)
                attributes.erase(found);
            return fail(error);
        }
        return answer(found->value, static_cast<char *>(value), size);
    }

    // ntfs3's byte or ntfs-3g's big-endian word, of any length the input says.
    ssize_t fileSystemAttribute(const char *name, unsigned char *value, std::size_t size)
    {
        const bool byte = std::strcmp(name, "system.dos_attrib") == 0;
        if ((byte && kind != Kind::Ntfs) || (!byte && kind != Kind::Fuse))
            failed = true; // asked where that file system keeps no such thing
        if (const int error = injected())
            return fail(error);
        const std::string bytes = m_input.ConsumeBytesAsString(m_input.ConsumeIntegralInRange<std::size_t>(0, 5));
        const std::size_t wanted = byte ? 1 : 4;
        // A value of another size is no attribute word of these file systems.
        if (bytes.size() != wanted)
            failed = true;
        if (bytes.size() > size)
            return fail(ERANGE);
        std::memcpy(value, bytes.data(), bytes.size());
        if (bytes.size() == wanted && (static_cast<unsigned char>(bytes[wanted - 1]) & 0x7) != 0)
            forbids = true;
        return ssize_t(bytes.size());
    }

    // Mostly none; else one of the errors any call can give.
    int pickError()
    {
        static const int errors[] = {EIO, EACCES, ENOENT, EPERM, ENOTSUP, EINVAL, EMFILE, EWOULDBLOCK};
        const unsigned char pick = m_input.ConsumeIntegral<unsigned char>();
        return pick < 224 ? 0 : errors[(pick - 224u) % (sizeof errors / sizeof errors[0])];
    }

    int fail(int error)
    {
        errno = error;
        return -1;
    }

    // Mostly none; else one of the errors these calls can give.
    int injected()
    {
        static const int errors[] = {EIO, EACCES, ENOENT, ENODATA, ENOTSUP, ERANGE, EINTR, E2BIG, EPERM};
        const unsigned char pick = m_input.ConsumeIntegral<unsigned char>();
        if (pick < 224)
            return 0;
        const int error = errors[(pick - 224u) % (sizeof errors / sizeof errors[0])];
        if (error == ERANGE)
            meddled = true;
        else if (error != ENODATA && error != ENOTSUP)
            failed = true;
        return error;
    }

    ssize_t answer(const std::string &text, char *buffer, std::size_t size)
    {
        if (size == 0)
            return ssize_t(text.size());
        if (size < text.size())
            return fail(ERANGE);
        std::memcpy(buffer, text.data(), text.size());
        return ssize_t(text.size());
    }

    FuzzedDataProvider &m_input;
    int m_askedOnce = 0;
    int m_fileOpens = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const auto route = input.ConsumeBool() ? SystemCalls::AttributeRoute::ProcFd
                                           : SystemCalls::AttributeRoute::AtFolder;
    // As a delete or a survey judges (with the use check), or first-match.
    const bool claims = input.ConsumeBool();
    const unsigned char type = input.ConsumeBool() ? DT_REG : DT_UNKNOWN;
    ScriptedCalls calls(input, route);
    UseCheck use(calls);
    EntryJudge judge(calls, folderFd, claims ? &use : nullptr);
    const EntryInfo info = judge.judge("file", type);

    bool clean = !calls.forbids;
    for (const Attribute &attribute : calls.attributes)
        clean = clean && (!isDosName(attribute.name) || allowsDelete(attribute.value));
    const bool free = !claims || (!calls.refused && calls.vouched());
    const bool deletable = info.verdict == Verdict::Delete;
    if (deletable && (calls.failed || !clean || !free)) {
        std::fprintf(stderr, "deletable after %d tries although %s\n", calls.tries,
                     calls.failed    ? "a read failed"
                     : !clean        ? "the attributes forbid it"
                     : calls.refused ? "it is in use"
                                     : "no one told it is free");
        std::abort();
    }
    if (!deletable && !calls.failed && !calls.meddled && clean && free) {
        std::fprintf(stderr, "kept (verdict %d, error %d) after %d tries although every value was read and allows it\n",
                     int(info.verdict), info.error, calls.tries);
        std::abort();
    }
    return 0;
}
