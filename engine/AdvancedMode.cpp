#include "engine/AdvancedMode.h"

#include "files/FileServices.h"

#include <string>

namespace AdvancedMode {

bool isOn(FileServices &files)
{
    files.changeDirectory(windowsFolder);
    return files.firstMatch(flagFileName) == flagFileName;
}

void switchOn(FileServices &files)
{
    files.changeDirectory(windowsFolder);
    files.openForOutput(1, flagFileName);
    files.writeRecord(1, flagFileText);
    files.closeAll();
}

void switchOff(FileServices &files)
{
    files.changeDirectory(windowsFolder);
    files.deleteByPattern(flagFileName);
}

} // namespace AdvancedMode
