#include "engine/CleaningTargets.h"

#include "engine/CleanRun.h"
#include "files/FileServices.h"

#include <optional>
#include <string>

namespace {

using Marker = CleaningTarget::Marker;

// Temporary Internet Files is treated like the cookies folder: its files are
// plain cache entries with nothing to protect. Downloaded Program Files gets
// a guard like TEMP and the recycle bin, so an already empty folder is taken
// as clean instead of stopping the run with "File not found".
constexpr std::array<CleaningTarget, 6> targets{{
    {1, "recent", "Clean Cashe", "C:\\WINDOWS\\RECENT\\", "",
     "C:\\WINDOWS\\RECENT\\*.*", "deleted.inf", Marker::BeforeAndAfterDelete},
    {2, "internet-files", "Clean Temporary Internet Files", "C:\\WINDOWS\\Temporary Internet Files\\", "*.*",
     "C:\\WINDOWS\\Temporary Internet Files\\*.*", "deleted.txt", Marker::AfterDelete},
    {3, "cookies", "Clean Cookies", "C:\\WINDOWS\\COOKIES\\", "*.*",
     "C:\\WINDOWS\\COOKIES\\*.*", "deleted.txt", Marker::AfterDelete},
    {4, "temp", "Clean Temporary Windows Files", "C:\\WINDOWS\\TEMP\\", "C:\\WINDOWS\\TEMP\\*.*",
     "C:\\WINDOWS\\TEMP\\*.*", "deleted.txt", Marker::AfterDelete},
    {5, "recycled", "Clean Windows Trash Box", "C:\\RECYCLED\\", "C:\\RECYCLED\\*.*",
     "C:\\RECYCLED\\*.*", "deleted.txt", Marker::AfterDelete},
    {6, "downloaded", "Clean Internet Download History", "C:\\WINDOWS\\Downloaded Program Files\\",
     "C:\\WINDOWS\\Downloaded Program Files\\*.*",
     "C:\\WINDOWS\\Downloaded Program Files\\*.*", "deleted.txt", Marker::AfterDelete},
}};

// A target whose marker is written before its delete deletes that marker
// with the rest and writes it again: it is the program's own file, not junk,
// and is reported only as the marker.
class OwnMarkerLeftOut final : public CleanObserver
{
public:
    OwnMarkerLeftOut(CleanObserver &observer, std::string_view marker)
        : m_observer(observer)
        , m_marker(marker)
    {
    }

    void entry(const EntryReport &report, bool deleted) override
    {
        if (report.name != m_marker)
            m_observer.entry(report, deleted);
    }
    void targetStarted(const CleaningTarget &target) override { m_observer.targetStarted(target); }
    void targetEntered(const CleaningTarget &target) override { m_observer.targetEntered(target); }
    void marker(const CleaningTarget &target, bool written) override { m_observer.marker(target, written); }
    void targetDone(const CleaningTarget &target) override { m_observer.targetDone(target); }
    void targetFailed(const CleaningTarget &target, const FileError &failure) override
    {
        m_observer.targetFailed(target, failure);
    }

private:
    CleanObserver &m_observer;
    std::string_view m_marker;
};

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

void surveyTarget(FileServices &files, const CleaningTarget &target, CleanObserver &observer)
{
    if (target.markerWhen == Marker::BeforeAndAfterDelete) {
        OwnMarkerLeftOut filtered(observer, target.marker);
        files.survey(target.deletePattern, filtered);
    } else {
        files.survey(target.deletePattern, observer);
    }
}

void cleanTarget(FileServices &files, const CleaningTarget &target, CleanObserver *observer, FolderListing *listed)
{
    std::optional<OwnMarkerLeftOut> filtered;
    if (observer && target.markerWhen == Marker::BeforeAndAfterDelete)
        observer = &filtered.emplace(*observer, target.marker);
    if (observer)
        observer->targetStarted(target);
    files.changeDirectory(target.directory);
    if (observer)
        observer->targetEntered(target);
    if (target.markerWhen == Marker::BeforeAndAfterDelete)
        writeMarker(files, target.marker);
    if (!target.guard.empty() && files.firstMatch(target.guard).empty()) {
        if (observer) {
            observer->marker(target, false);
            observer->targetDone(target);
        }
        return;
    }
    files.deleteByPattern(target.deletePattern, observer, listed);
    writeMarker(files, target.marker);
    if (observer) {
        observer->marker(target, true);
        observer->targetDone(target);
    }
}
