// bench_lookup --small DIR --large DIR --folded DIR --name NAME [benchmark flags]
//
// first_match/small and first_match/large: first-match of "*.*" in a folder of
// a thousand and of a million ordinary files; both stop at the first entry.
// folded_lookup: first-match of NAME, a name stored in DIR only in another
// case, so the exact look-up misses and the whole folder is scanned once.
// readdir_pass: the floor for that scan, one plain readdir over the same folder.
#include "files/FileError.h"
#include "files/FileServices.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Folders
{
    std::string small;
    std::string large;
    std::string folded;
    std::string name;
};

void firstMatchAll(benchmark::State &state, const std::string &root)
{
    FileServices files(root);
    for (auto _ : state)
        benchmark::DoNotOptimize(files.firstMatch("*.*"));
}

void foldedLookup(benchmark::State &state, const std::string &root, const std::string &name)
{
    FileServices files(root);
    for (auto _ : state)
        benchmark::DoNotOptimize(files.firstMatch(name));
}

long readdirPass(const std::string &root)
{
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return -1;
    }
    long entries = 0;
    while (const dirent *entry = readdir(dir)) {
        benchmark::DoNotOptimize(entry->d_name[0]);
        ++entries;
    }
    closedir(dir);
    return entries;
}

void plainReaddir(benchmark::State &state, const std::string &root)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(readdirPass(root));
}

// Takes our own options out of argv so that the rest can go to the library.
bool takeFolders(int &argc, char **argv, Folders &folders)
{
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string *target = arg == "--small"    ? &folders.small
                              : arg == "--large"  ? &folders.large
                              : arg == "--folded" ? &folders.folded
                              : arg == "--name"   ? &folders.name
                                                  : nullptr;
        if (target && i + 1 < argc)
            *target = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    for (std::size_t i = 0; i < rest.size(); ++i)
        argv[i] = rest[i];
    argc = static_cast<int>(rest.size());
    return !folders.small.empty() && !folders.large.empty() && !folders.folded.empty()
           && !folders.name.empty();
}

// A benchmark of a look-up that finds nothing measures a different path;
// refuse to run rather than print a figure for it.
bool checkFolders(const Folders &folders)
{
    for (const std::string *root : {&folders.small, &folders.large}) {
        FileServices files(*root);
        if (files.firstMatch("*.*").empty()) {
            std::fprintf(stderr, "bench_lookup: nothing matches *.* in %s\n", root->c_str());
            return false;
        }
    }
    FileServices files(folders.folded);
    const std::string found = files.firstMatch(folders.name);
    if (found.empty() || found == folders.name) {
        std::fprintf(stderr, "bench_lookup: %s must be stored in %s in another case only (found \"%s\")\n",
                     folders.name.c_str(), folders.folded.c_str(), found.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Folders folders;
    if (!takeFolders(argc, argv, folders)) {
        std::fprintf(stderr, "usage: %s --small DIR --large DIR --folded DIR --name NAME [benchmark flags]\n",
                     argv[0]);
        return 2;
    }
    try {
        if (!checkFolders(folders))
            return 1;
    } catch (const FileError &error) {
        std::fprintf(stderr, "bench_lookup: %d %s: %s (%s)\n", error.number(), error.words().c_str(),
                     error.dosPath().c_str(), error.hostReason().c_str());
        return 1;
    }

    benchmark::RegisterBenchmark("first_match/small", firstMatchAll, folders.small);
    benchmark::RegisterBenchmark("first_match/large", firstMatchAll, folders.large);
    benchmark::RegisterBenchmark("folded_lookup", foldedLookup, folders.folded, folders.name);
    benchmark::RegisterBenchmark("readdir_pass", plainReaddir, folders.folded);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
