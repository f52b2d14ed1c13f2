// bench_clean_run ROOT
// The clean run with every box ticked, as the main window drives it but
// without one: each target of the table in order, stopping at the first
// failure just as the window's handler would.
#include "engine/CleaningTargets.h"
#include "files/FileError.h"
#include "files/FileServices.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ROOT\n", argv[0]);
        return 2;
    }
    try {
        FileServices files(argv[1]);
        for (const CleaningTarget &target : cleaningTargets())
            cleanTarget(files, target);
    } catch (const FileError &error) {
        std::fprintf(stderr, "%s: %d %s: %s (%s)\n", argv[0], error.number(), error.words().c_str(),
                     error.dosPath().c_str(), error.hostReason().c_str());
        return 1;
    }
    return 0;
}
