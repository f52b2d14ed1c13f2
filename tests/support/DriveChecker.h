#pragma once

#include "support/TreeSnapshot.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

class TestDrive;

// What a clean run may have done to one cleaning target.
enum class TargetOutcome {
    Untouched,         // not reached, skipped, or stopped before anything changed
    Emptied,           // every deletable ordinary file gone, no marker left
    EmptiedWithMarker, // the same, and the 45-byte marker in place
    Interrupted,       // stopped part-way: each deletable file gone or as it
                       // was, the marker absent, as it was or complete
};

struct RunExpectation
{
    std::array<TargetOutcome, 6> targets{};
    // The program's own files, relative to the drive's root:
    // the exact bytes they must hold, or nullopt for "absent". A path not
    // listed here must not change at all.
    std::map<std::string, std::optional<std::string>> ownFiles;
};

// The drive as it was before a run: every entry, and how the cleaner should
// see each entry directly inside a cleaning target.
struct DriveBefore
{
    TreeSnapshot tree;
    std::map<std::string, bool> deletable; // direct children of the targets
};

DriveBefore captureBefore(const TestDrive &drive);

// Every difference between before and now that the expectation does not
// allow, as readable lines; empty when the drive is exactly as it must be.
std::vector<std::string> checkRun(const TestDrive &drive, const DriveBefore &before,
                                  const RunExpectation &expected);

// The same as a verdict for QVERIFY: true when the drive is exactly as it
// must be, else false after printing each difference.
bool runAsExpected(const TestDrive &drive, const DriveBefore &before, const RunExpectation &expected);

// Names of leftover temporary files (hidden names that did not exist before)
// anywhere on the drive.
std::vector<std::string> newHiddenEntries(const DriveBefore &before, const TreeSnapshot &after);

std::string markerLine();     // the 45 bytes of a marker file
std::string flagLine();       // the 22 bytes of options.ini
std::string startupLine();    // the 15 bytes of cleaner.txt
