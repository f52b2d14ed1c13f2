#include "support/TreeSnapshot.h"

#include <QCryptographicHash>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const std::string &what, const std::string &path)
{
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

char typeOf(mode_t mode)
{
    if (S_ISREG(mode))
        return 'f';
    if (S_ISDIR(mode))
        return 'd';
    if (S_ISLNK(mode))
        return 'l';
    if (S_ISFIFO(mode))
        return 'p';
    if (S_ISSOCK(mode))
        return 's';
    if (S_ISCHR(mode))
        return 'c';
    if (S_ISBLK(mode))
        return 'b';
    return '?';
}

std::string hashFile(int folder, const char *name, const std::string &path)
{
    const int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        fail("open", path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            close(fd);
            fail("read", path);
        }
        if (got == 0)
            break;
        hash.addData(QByteArrayView(buffer, got));
    }
    close(fd);
    return hash.result().toHex().toStdString();
}

std::map<std::string, std::string> readXattrs(const std::string &fullPath)
{
    std::map<std::string, std::string> result;
    const ssize_t length = llistxattr(fullPath.c_str(), nullptr, 0);
    if (length <= 0)
        return result;
    std::string names(static_cast<size_t>(length), '\0');
    const ssize_t got = llistxattr(fullPath.c_str(), names.data(), names.size());
    if (got < 0)
        fail("llistxattr", fullPath);
    names.resize(static_cast<size_t>(got));
    for (size_t at = 0; at < names.size();) {
        const std::string name(names.c_str() + at);
        at += name.size() + 1;
        const ssize_t valueLength = lgetxattr(fullPath.c_str(), name.c_str(), nullptr, 0);
        if (valueLength < 0)
            continue;
        std::string value(static_cast<size_t>(valueLength), '\0');
        const ssize_t valueGot = lgetxattr(fullPath.c_str(), name.c_str(), value.data(), value.size());
        if (valueGot < 0)
            fail("lgetxattr", fullPath);
        value.resize(static_cast<size_t>(valueGot));
        result[name] = value;
    }
    return result;
}

void walk(int folder, const std::string &root, const std::string &relative,
          std::map<std::string, EntryState> &entries)
{
    DIR *listing = fdopendir(dup(folder));
    if (!listing)
        fail("opendir", root + "/" + relative);
    for (const std::string &name : sortedNames(listing)) {
        const std::string childRelative = relative.empty() ? name : relative + "/" + name;
        const std::string fullPath = root + "/" + childRelative;
        struct stat info {};
        if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            fail("lstat", fullPath);
        EntryState state;
        state.type = typeOf(info.st_mode);
        state.mode = info.st_mode & 07777;
        state.inode = info.st_ino;
        state.mtimeNs = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
        if (state.type != 'd')
            state.size = info.st_size;
        state.xattrs = readXattrs(fullPath);
        if (state.type == 'f') {
            state.contentHash = hashFile(folder, name.c_str(), fullPath);
        } else if (state.type == 'l') {
            std::string target(4096, '\0');
            const ssize_t got = readlinkat(folder, name.c_str(), target.data(), target.size());
            if (got < 0)
                fail("readlink", fullPath);
            target.resize(static_cast<size_t>(got));
            state.linkTarget = target;
        }
        entries[childRelative] = state;
        if (state.type == 'd') {
            const int child = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0)
                fail("open folder", fullPath);
            walk(child, root, childRelative, entries);
            close(child);
        }
    }
}

} // namespace

std::vector<std::string> sortedNames(DIR *listing)
{
    std::vector<std::string> names;
    while (const dirent *entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

std::string EntryState::describe() const
{
    std::string text(1, type);
    char modeText[8];
    std::snprintf(modeText, sizeof modeText, " %04o", mode);
    text += modeText;
    text += " ino=" + std::to_string(inode) + " size=" + std::to_string(size)
            + " mtime=" + std::to_string(mtimeNs);
    if (!contentHash.empty())
        text += " sha256=" + contentHash.substr(0, 16);
    if (!linkTarget.empty())
        text += " -> " + linkTarget;
    for (const auto &[name, value] : xattrs)
        text += " " + name + "=" + value;
    return text;
}

TreeSnapshot TreeSnapshot::take(const std::string &root)
{
    TreeSnapshot snapshot;
    const int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        fail("open root", root);
    struct stat info {};
    fstat(folder, &info);
    EntryState rootState;
    rootState.type = 'd';
    rootState.mode = info.st_mode & 07777;
    rootState.inode = info.st_ino;
    rootState.xattrs = readXattrs(root);
    snapshot.m_entries[""] = rootState;
    try {
        walk(folder, root, "", snapshot.m_entries);
    } catch (...) {
        close(folder);
        throw;
    }
    close(folder);
    return snapshot;
}

TreeSnapshot TreeSnapshot::takeAround(const std::string &root)
{
    const std::size_t slash = root.rfind('/');
    const std::string name = root.substr(slash + 1);
    TreeSnapshot whole = take(root.substr(0, slash));
    TreeSnapshot snapshot;
    for (auto &[path, state] : whole.m_entries) {
        std::string key = path == name                    ? std::string()
                          : path.rfind(name + "/", 0) == 0 ? path.substr(name.size() + 1)
                          : path.empty()                   ? std::string("..")
                                                           : "../" + path;
        snapshot.m_entries.emplace(std::move(key), std::move(state));
    }
    return snapshot;
}

const EntryState *TreeSnapshot::find(const std::string &relativePath) const
{
    const auto found = m_entries.find(relativePath);
    return found == m_entries.end() ? nullptr : &found->second;
}

std::string TreeChange::describe() const
{
    return path + ": " + (before ? before->describe() : std::string("(absent)")) + "  =>  "
           + (after ? after->describe() : std::string("(absent)"));
}

std::vector<TreeChange> compareTrees(const TreeSnapshot &before, const TreeSnapshot &after)
{
    std::vector<TreeChange> changes;
    auto left = before.entries().begin();
    auto right = after.entries().begin();
    while (left != before.entries().end() || right != after.entries().end()) {
        if (right == after.entries().end()
            || (left != before.entries().end() && left->first < right->first)) {
            changes.push_back({left->first, &left->second, nullptr});
            ++left;
        } else if (left == before.entries().end() || right->first < left->first) {
            changes.push_back({right->first, nullptr, &right->second});
            ++right;
        } else {
            if (!(left->second == right->second))
                changes.push_back({left->first, &left->second, &right->second});
            ++left;
            ++right;
        }
    }
    return changes;
}
