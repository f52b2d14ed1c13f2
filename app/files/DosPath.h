#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A DOS path worked out against the current directory, before any name is
// looked up on the host. Both "\" and "/" separate names, so no name handed
// to the host can hold a "/".
struct DosFolderPath
{
    // The folders from the root, "." and ".." already applied; the ones
    // taken over from the current directory keep their stored case.
    std::vector<std::string> components;
    // True when the path never left the current directory on its way, so
    // the folders after the current directory's own can be looked up from
    // its open handle.
    bool belowCurrent = false;
};

// Resolves a folder path: "C:\WINDOWS", "c:\windows\", "TEMP", "..\SYSTEM",
// "\", "C:" (the current directory) or "" (the same). Returns nothing for a
// path that cannot exist on drive C:: another drive letter, a ".." above the
// root, or a network path ("\\server").
std::optional<DosFolderPath> resolveDosFolder(std::string_view dosPath,
                                              const std::vector<std::string> &currentDirectory);

// Splits "C:\WINDOWS\TEMP\*.*" into its folder "C:\WINDOWS\TEMP\" and its last
// name "*.*"; "C:*.*" into "C:" and "*.*"; "*.*" into "" and "*.*".
struct DosPathParts
{
    std::string_view folder;
    std::string_view name;
};
DosPathParts splitDosPath(std::string_view dosPath);

// "C:\" for the root, "C:\WINDOWS\TEMP" below it; with name, that name in the
// folder ("C:\WINDOWS\TEMP\deleted.txt").
std::string dosPathText(const std::vector<std::string> &components, std::string_view name = {});
