#pragma once

#include <array>
#include <cstdio>
#include <string>

// The two modes without a window, --preview and --clean, printing to out
// what they find and do, failures and progress to err. Both run the
// engine's code, the same as the window's Clean button.

struct ConsoleDrive
{
    std::string hostRoot; // the folder that is drive C:
    std::string origin;   // what chose it, in words
};

// Lists, target by target, what a clean of the ticked targets would delete
// and keep; changes nothing. 0, or 1 when a target that is there could not
// be looked at.
int runPreview(const ConsoleDrive &drive, const std::array<int, 6> &targets, std::FILE *out, std::FILE *err);

// Empties the ticked targets as the Clean button does. 0, or 1 after
// printing the failure that stopped the run.
int runClean(const ConsoleDrive &drive, const std::array<int, 6> &targets, std::FILE *out, std::FILE *err);
