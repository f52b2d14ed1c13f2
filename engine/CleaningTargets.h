#pragma once

#include <array>
#include <string_view>

class CleanObserver;
class FileServices;
class FolderListing;

// One row of the fixed table of folders a clean run may empty. Nothing
// configures it: the folders are the ones Windows 95/98 keeps its junk in.
struct CleaningTarget
{
    enum class Marker {
        BeforeAndAfterDelete, // written first so the delete always finds a match
        AfterDelete,          // written only when the delete ran
    };

    int number;                     // 1 to 6, also the order of the run
    std::string_view name;          // what the command line calls it
    std::string_view caption;       // the caption of the box that selects it
    std::string_view directory;     // entered before anything else is done
    std::string_view guard;         // first-match must find something; empty: no guard
    std::string_view deletePattern; // handed to delete-by-pattern
    std::string_view marker;        // marker file name, relative to the folder entered
    Marker markerWhen;
};

inline constexpr std::string_view markerText = "This directory was emptyed by Brightsweep";

// The six targets in the order of the run.
const std::array<CleaningTarget, 6> &cleaningTargets();

// Everything the run does for one ticked target: enter its folder, then its
// guard, delete and marker, telling observer (when given) as it goes. A
// FileError stops it at the failing step. listed, when given, is the
// listing of the target's delete pattern made for the run (planCleanRun),
// and is used up.
void cleanTarget(FileServices &files, const CleaningTarget &target, CleanObserver *observer = nullptr,
                 FolderListing *listed = nullptr);

// What the target's delete pattern matches, judged as the delete would
// judge it, deleting nothing.
void surveyTarget(FileServices &files, const CleaningTarget &target, CleanObserver &observer);

// Open-for-output, one write-record of the marker text, close-all.
void writeMarker(FileServices &files, std::string_view name);
