#pragma once

#include "files/FileServices.h"
#include "files/Verdict.h"

#include <array>
#include <cstdint>

class FileError;
struct CleaningTarget;

// Told what a clean run or a preview does, target by target. Every entry the
// target's delete pattern matches reaches entry(), deleted or kept.
class CleanObserver : public EntryObserver
{
public:
    // The run reached a ticked target, before anything is done for it.
    virtual void targetStarted(const CleaningTarget &target) = 0;
    // The target's folder was entered.
    virtual void targetEntered(const CleaningTarget &target) = 0;
    // A clean wrote the target's marker file; a preview says whether a clean
    // would.
    virtual void marker(const CleaningTarget &target, bool written) = 0;
    virtual void targetDone(const CleaningTarget &target) = 0;
    // A preview only: the target could not be looked at. A clean run throws
    // the failure instead and goes no further.
    virtual void targetFailed(const CleaningTarget &target, const FileError &failure) = 0;
};

// What a clean run of some boxes has to go through, read before it begins:
// each ticked target's folder listed once (planCleanRun). The run takes
// each listing as its delete's first reading of that folder.
struct CleanPlan
{
    // By target number - 1. Empty for a target not ticked, and for one
    // whose folder could not be listed: the run itself finds and reports
    // that.
    std::array<FolderListing, 6> listings;

    // The entries each target's delete pattern matched, by target number -
    // 1: as many as the run's observer will hear of where the delete runs
    // (a guard that finds nothing lets it hear of none).
    std::array<std::uint64_t, 6> work() const;
};

// What the Clean button does: the ticked targets of the table, in table
// order. boxes holds the six boxes' values by target: 1 is ticked; 0, and 2
// (greyed), are not. The first FileError ends the run and is thrown on;
// what was deleted and written before it stays so. plan, when given, is of
// the same boxes, and is used up.
void cleanRun(FileServices &files, const std::array<int, 6> &boxes, CleanObserver *observer = nullptr,
              CleanPlan *plan = nullptr);

// What a clean run of the same boxes would delete and keep, target by
// target, changing nothing on the drive: no file is deleted or written. A
// target that cannot be looked at is reported and the preview goes on.
void previewRun(FileServices &files, const std::array<int, 6> &boxes, CleanObserver &observer);

// How much a clean run of the same boxes has to go through: one listing of
// each ticked target's folder, and no look at any entry. Changes nothing,
// not even the current directory.
CleanPlan planCleanRun(FileServices &files, const std::array<int, 6> &boxes);
