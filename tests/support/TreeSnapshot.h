#pragma once

#include <dirent.h>

#include <map>
#include <string>
#include <vector>

// Everything observable about one entry of a host folder tree, taken without
// following links: what a cleaner must never change behind the user's back.
struct EntryState
{
    char type = '?'; // 'f' file, 'd' folder, 'l' link, 'p' FIFO, 's' socket, 'c'/'b' device
    unsigned mode = 0; // permission bits only
    unsigned long long inode = 0;
    long long size = 0;
    long long mtimeNs = 0;
    std::string contentHash; // SHA-256 of a regular file's bytes
    std::string linkTarget;
    std::map<std::string, std::string> xattrs;

    bool operator==(const EntryState &other) const = default;
    std::string describe() const;
};

// A whole tree keyed by path relative to its root, as raw bytes joined by
// '/'. The root itself is the key "".
class TreeSnapshot
{
public:
    static TreeSnapshot take(const std::string &root);
    // The whole folder around root, keyed relative to root all the same:
    // root's neighbours are "../name/...", the folder around it "..".
    static TreeSnapshot takeAround(const std::string &root);

    const std::map<std::string, EntryState> &entries() const { return m_entries; }
    const EntryState *find(const std::string &relativePath) const;

private:
    std::map<std::string, EntryState> m_entries;
};

struct TreeChange
{
    std::string path;
    const EntryState *before = nullptr; // null: created
    const EntryState *after = nullptr;  // null: removed
    std::string describe() const;
};

// Every entry that differs between the two snapshots, in path order.
std::vector<TreeChange> compareTrees(const TreeSnapshot &before, const TreeSnapshot &after);

// The names in a folder listing, "." and ".." left out, in byte order. Closes
// the listing.
std::vector<std::string> sortedNames(DIR *listing);
