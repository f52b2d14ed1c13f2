// Feeds the DOS attribute reader arbitrary attribute lists and values of any
// length, values that grow between the size query and the read, and any
// error on any call, through system calls that only pretend. The one rule:
// unless every DOS attribute value was read whole and is a number without
// the hidden, system or read-only bit, the file is not deletable. And where
// nothing went wrong and the values say so, it is.
#include "files/FolderEntries.h"
#include "files/SystemCalls.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <sys/stat.h>

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
    bool failed = false;   // a call answered with an error that leaves nothing known
    bool meddled = false;  // a value grew, or ERANGE came without cause

    int fstatat(int, const char *path, struct stat *status, int) override
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
        if (path[0] == '\0')
            return 0;
        // The file; asked again after an ENOENT, it may have gone.
        status->st_ino = 7;
        status->st_mode = S_IFREG | 0644;
        return m_askedOnce++ && m_input.ConsumeBool() ? fail(ENOENT) : 0;
    }

    ssize_t listxattrat(int, const char *, char *list, std::size_t size) override
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

    ssize_t getxattrat(int, const char *, const char *name, void *value, std::size_t size) override
    {
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

private:
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
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const auto route = input.ConsumeBool() ? SystemCalls::AttributeRoute::ProcFd
                                           : SystemCalls::AttributeRoute::AtFolder;
    ScriptedCalls calls(input, route);
    AttributeReader reader(calls, folderFd);
    const EntryInfo info = classifyEntry(calls, folderFd, "file", reader);

    bool clean = true;
    for (const Attribute &attribute : calls.attributes)
        clean = clean && (!isDosName(attribute.name) || allowsDelete(attribute.value));
    const bool deletable = info.kind == EntryKind::Deletable;
    if (deletable && (calls.failed || !clean)) {
        std::fprintf(stderr, "deletable although %s\n", calls.failed ? "a read failed" : "the attributes forbid it");
        std::abort();
    }
    if (!deletable && !calls.failed && !calls.meddled && clean) {
        std::fprintf(stderr, "kept (kind %d, error %d) although every value was read and allows it\n",
                     int(info.kind), info.error);
        std::abort();
    }
    return 0;
}
