#pragma once

#include <array>

class FileServices;

// What the Clean button does: the ticked targets of the table, in table
// order. boxes holds the six boxes' values by target: 1 is ticked; 0, and 2
// (greyed), are not. The first FileError ends the run and is thrown on;
// what was deleted and written before it stays so.
void cleanRun(FileServices &files, const std::array<int, 6> &boxes);
