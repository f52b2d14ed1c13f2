#include "engine/CleaningTargets.h"

#include "files/FileServices.h"

#include <string>

namespace {

using Marker = CleaningTarget::Marker;

// Temporary Internet Files is treated like the cookies folder: its files are
// plain cache entries with nothing to protect. Downloaded Program Files gets
// a guard like TEMP and the recycle bin, so an already empty folder is taken
// as clean instead of stopping the run with "File not found".
constexpr std::array<CleaningTarget, 6> targets{{
    {1, "Clean Cashe", "C:\\WINDOWS\\RECENT\\", "",
     "C:\\WINDOWS\\RECENT\\*.*", "deleted.inf", Marker::BeforeAndAfterDelete},
    {2, "Clean Temporary Internet Files", "C:\\WINDOWS\\Temporary Internet Files\\", "*.*",
     "C:\\WINDOWS\\Temporary Internet Files\\*.*", "deleted.txt", Marker::AfterDelete},
    {3, "Clean Cookies", "C:\\WINDOWS\\COOKIES\\", "*.*",
     "C:\\WINDOWS\\COOKIES\\*.*", "deleted.txt", Marker::AfterDelete},
    {4, "Clean Temporary Windows Files", "C:\\WINDOWS\\TEMP\\", "C:\\WINDOWS\\TEMP\\*.*",
     "C:\\WINDOWS\\TEMP\\*.*", "deleted.txt", Marker::AfterDelete},
    {5, "Clean Windows Trash Box", "C:\\RECYCLED\\", "C:\\RECYCLED\\*.*",
     "C:\\RECYCLED\\*.*", "deleted.txt", Marker::AfterDelete},
    {6, "Clean Internet Download History", "C:\\WINDOWS\\Downloaded Program Files\\",
     "C:\\WINDOWS\\Downloaded Program Files\\*.*",
     "C:\\WINDOWS\\Downloaded Program Files\\*.*", "deleted.txt", Marker::AfterDelete},
}};

} // namespace

const std::array<CleaningTarget, 6> &cleaningTargets()
{
    return targets;
}

void writeMarker(FileServices &files, std::string_view name)
{
    files.openForOutput(1, name);
    files.writeRecord(1, markerText);
    files.closeAll();
}

void cleanTarget(FileServices &files, const CleaningTarget &target)
{
    files.changeDirectory(target.directory);
    if (target.markerWhen == Marker::BeforeAndAfterDelete)
        writeMarker(files, target.marker);
    if (!target.guard.empty() && files.firstMatch(target.guard).empty())
        return;
    files.deleteByPattern(target.deletePattern);
    writeMarker(files, target.marker);
}
