// Drives change-directory and first-match with arbitrary DOS paths over a
// drive full of links, case twins and odd names, and checks that nothing
// ever resolves outside the drive or through a link into a folder.
#include "files/FileError.h"
#include "files/FileServices.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string g_top;  // holds drive/ and outside/
std::string g_root; // drive C:
std::string g_realRoot;
std::set<std::string> g_neverMatched; // names first-match must never return

[[noreturn]] void fatal(const std::string &what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

void folder(const std::string &path)
{
    if (mkdir((g_top + "/" + path).c_str(), 0755) != 0)
        fatal("mkdir " + path);
}

void file(const std::string &path)
{
    const int fd = open((g_top + "/" + path).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0)
        fatal("create " + path);
    close(fd);
}

void link(const std::string &path, const std::string &target)
{
    if (symlink(target.c_str(), (g_top + "/" + path).c_str()) != 0)
        fatal("symlink " + path);
}

// Every real folder of the drive holds one file "id-<folder>" so that the
// folder first-match looks in can be told from its name.
void idFolder(const std::string &path, const std::string &id)
{
    folder(path);
    file(path + "/id-" + id);
}

int removeEntry(const char *path, const struct stat *, int flag, struct FTW *)
{
    return flag == FTW_DP ? rmdir(path) : unlink(path);
}

void removeTree()
{
    nftw(g_top.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void buildTree()
{
    char pattern[] = "/tmp/fuzz-dospath-XXXXXX";
    if (!mkdtemp(pattern))
        fatal("mkdtemp");
    g_top = pattern;
    g_root = g_top + "/drive";
    std::atexit(removeTree);

    folder("outside");
    file("outside/id-outside");
    file("outside/outside-secret.txt");
    folder("outside/nested");
    file("outside/nested/outside-nested.txt");

    idFolder("drive", "root");
    idFolder("drive/windows", "windows");
    idFolder("drive/windows/TEMP", "temp");
    file("drive/windows/TEMP/a.txt");
    idFolder("drive/windows/System", "system");
    idFolder("drive/windows/System/Deep", "deep");
    idFolder("drive/windows/Mixed", "mixed1");
    idFolder("drive/windows/MIXED", "mixed2");
    idFolder("drive/windows/mixed", "mixed3");
    idFolder("drive/windows/caf\xc3\xa9", "cafe");
    idFolder("drive/windows/\xff\xfe", "latin1");
    idFolder("drive/windows/dots...", "dots");
    idFolder("drive/windows/ spaced ", "spaced");
    idFolder("drive/RECYCLED", "recycled");
    file("drive/RECYCLED/.hidden-file");
    if (mkfifo((g_root + "/RECYCLED/fifo-entry").c_str(), 0644) != 0)
        fatal("mkfifo");

    // Links, none of which may ever be walked into as a folder.
    link("drive/windows/out-relative", "../../outside");
    link("drive/windows/out-absolute", g_top + "/outside");
    link("drive/windows/in-link", "TEMP");
    link("drive/windows/up-link", "..");
    link("drive/windows/root-link", "/");
    link("drive/windows/loop", "loop");
    link("drive/windows/file-link.txt", "../../outside/outside-secret.txt");
    link("drive/Cookies", g_top + "/outside/nested");
    link("drive/windows/System/Deeper", "Deep");

    g_neverMatched = {"id-outside", "outside-secret.txt", "outside-nested.txt", ".hidden-file", "fifo-entry",
                      "TEMP", "System", "Deep", "Mixed", "MIXED", "mixed", "RECYCLED", "windows",
                      "out-relative", "out-absolute", "in-link", "up-link", "root-link", "Cookies", "Deeper"};

    char real[PATH_MAX];
    if (!realpath(g_root.c_str(), real))
        fatal("realpath");
    g_realRoot = real;
}

// The host folder a DOS current directory names, checked on the way: every
// step a real folder, never a link.
std::string hostFolderOf(const std::string &dosPath)
{
    if (dosPath.rfind("C:\\", 0) != 0)
        fatal("current directory without C:\\: " + dosPath);
    std::string host = g_root;
    std::string_view rest = std::string_view(dosPath).substr(3);
    while (!rest.empty()) {
        const size_t cut = rest.find('\\');
        host += "/" + std::string(rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        struct stat info {};
        if (lstat(host.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            fatal("current directory " + dosPath + " goes through something that is not a folder: " + host);
    }
    char real[PATH_MAX];
    if (!realpath(host.c_str(), real))
        fatal("realpath " + host);
    const std::string resolved = real;
    if (resolved != g_realRoot && resolved.rfind(g_realRoot + "/", 0) != 0)
        fatal("current directory " + dosPath + " is outside the drive: " + resolved);
    return host;
}

std::string idIn(const std::string &host)
{
    DIR *listing = opendir(host.c_str());
    if (!listing)
        fatal("opendir " + host);
    std::string id;
    while (const dirent *entry = readdir(listing)) {
        if (std::string_view(entry->d_name).rfind("id-", 0) == 0)
            id = entry->d_name;
    }
    closedir(listing);
    return id;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    buildTree();
    return 0;
}

// Input: lines; a line starting with 'c' changes directory to the rest of the
// line, any other line asks first-match for the rest.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view input(reinterpret_cast<const char *>(data), std::min<size_t>(size, 4096));
    FileServices files(g_root);
    for (int step = 0; step < 8 && !input.empty(); ++step) {
        const size_t cut = input.find('\n');
        const std::string_view line = input.substr(0, cut);
        input = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
        if (line.empty())
            continue;
        const std::string argument(line.substr(1));

        if (line[0] == 'c') {
            const std::string before = files.currentDirectory();
            try {
                files.changeDirectory(argument);
            } catch (const FileError &error) {
                if (error.number() != FileError::PathNotFound)
                    fatal("change-directory \"" + argument + "\": unexpected error " + error.what());
                if (files.currentDirectory() != before)
                    fatal("a failed change-directory moved the current directory");
                continue;
            }
            const std::string current = files.currentDirectory();
            const std::string host = hostFolderOf(current);
            // first-match looks through the open handle; it must be the
            // folder the DOS path names.
            const std::string seen = files.firstMatch("id-*");
            if (seen != idIn(host))
                fatal("current directory " + current + " holds " + idIn(host) + " but first-match saw " + seen);
        } else {
            std::string found;
            try {
                found = files.firstMatch(argument);
            } catch (const FileError &error) {
                fatal("first-match \"" + argument + "\" failed: " + error.what());
            }
            if (g_neverMatched.count(found))
                fatal("first-match \"" + argument + "\" returned " + found);
        }
    }
    return 0;
}
