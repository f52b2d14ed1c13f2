// A small stand-in for the program that the safety tests can run as another
// user or kill at any moment. It goes through the same file services and
// cleaning steps as the windows do, with no display.
//
//   safety_driver ROOT clean
//       every target in order, stopping at the first failure; prints
//       "completed" or "stopped TARGET NUMBER".
//   safety_driver ROOT rewrite DOSFOLDER NAME TEXT
//       writes NAME in DOSFOLDER again and again until killed; prints
//       "writing" once the first copy is in place.
#include "engine/CleaningTargets.h"
#include "files/FileError.h"
#include "files/FileServices.h"
#include "support/TestAttributeRoute.h"

#include <cstdio>
#include <string>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: safety_driver ROOT clean | ROOT rewrite DOSFOLDER NAME TEXT\n");
        return 2;
    }
    SystemCalls calls(attributeRouteUnderTest());
    FileServices files(argv[1], &calls);
    const std::string command = argv[2];
    if (command == "clean") {
        for (const CleaningTarget &target : cleaningTargets()) {
            try {
                cleanTarget(files, target);
            } catch (const FileError &error) {
                std::printf("stopped %d %d\n", target.number, error.number());
                std::fprintf(stderr, "%s\n", error.what());
                return 0;
            }
        }
        std::printf("completed\n");
        return 0;
    }
    if (command == "rewrite" && argc == 6) {
        try {
            files.changeDirectory(argv[3]);
            for (bool first = true;; first = false) {
                files.openForOutput(1, argv[4]);
                files.writeRecord(1, argv[5]);
                files.closeAll();
                if (first) {
                    std::printf("writing\n");
                    std::fflush(stdout);
                }
            }
        } catch (const FileError &error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
    std::fprintf(stderr, "safety_driver: unknown command\n");
    return 2;
}
