// bench_delete ROOT PATTERN
// One delete-by-pattern with ROOT as drive C: and its root as the current
// directory, timed from outside as a whole process like the floor it is
// compared with.
#include "files/FileError.h"
#include "files/FileServices.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ROOT PATTERN\n", argv[0]);
        return 2;
    }
    try {
        FileServices files(argv[1]);
        files.deleteByPattern(argv[2]);
    } catch (const FileError &error) {
        std::fprintf(stderr, "%s: %d %s: %s (%s)\n", argv[0], error.number(), error.words().c_str(),
                     error.dosPath().c_str(), error.hostReason().c_str());
        return 1;
    }
    return 0;
}
