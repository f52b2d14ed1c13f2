// file_services_probe ROOT CURRENT OPERATION ARGUMENT
// Runs one file service as whatever user started it and prints "ok RESULT"
// or "error NUMBER". The permission tests start it as an unprivileged user,
// since the tests themselves run as root, whom the host never refuses, and
// in a mount namespace of its own with another /proc.
// BRIGHTSWEEP_TEST_ATTRIBUTE_ROUTE=proc reads attributes through /proc.
#include "files/FileError.h"
#include "files/FileServices.h"
#include "files/SystemCalls.h"
#include "support/TestAttributeRoute.h"

#include <cstdio>
#include <string_view>

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ROOT CURRENT cd|first|delete|write ARGUMENT\n", argv[0]);
        return 2;
    }
    const std::string_view operation = argv[3];
    const char *argument = argv[4];
    std::string result;
    try {
        SystemCalls calls(attributeRouteUnderTest());
        FileServices files(argv[1], &calls);
        files.changeDirectory(argv[2]);
        if (operation == "cd") {
            files.changeDirectory(argument);
            result = files.currentDirectory();
        } else if (operation == "first") {
            result = files.firstMatch(argument);
        } else if (operation == "delete") {
            files.deleteByPattern(argument);
        } else if (operation == "write") {
            files.openForOutput(1, argument);
            files.writeRecord(1, "Hello World");
            files.closeAll();
        } else {
            return 2;
        }
    } catch (const FileError &error) {
        std::printf("error %d\n", error.number());
        return 0;
    }
    std::printf("ok %s\n", result.c_str());
    return 0;
}
