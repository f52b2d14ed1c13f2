#pragma once

#include <string_view>

class FileServices;

// The Windows folder of drive C:, where the program keeps its own files. It
// is never looked up: Windows 95/98 always had it there.
inline constexpr std::string_view windowsFolder = "c:\\windows";

// The one setting, the advanced mode: on while the flag file options.ini is
// in the Windows folder. Only its name counts, compared case and all; its
// content is never read.
namespace AdvancedMode {

inline constexpr std::string_view flagFileName = "options.ini";
inline constexpr std::string_view flagFileText = "Advanced mode = on";

// Enters the Windows folder and tells whether the flag file is there.
bool isOn(FileServices &files);

// Enter the Windows folder and write the flag file, or delete it. A failure
// stops at its step; what was done before stays done.
void switchOn(FileServices &files);
void switchOff(FileServices &files);

} // namespace AdvancedMode
