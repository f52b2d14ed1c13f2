#include "engine/CleanRun.h"

#include "engine/CleaningTargets.h"
#include "files/FileError.h"
#include "files/FileServices.h"

#include <cstddef>
#include <cstdint>

namespace {

// The targets whose box is ticked, in table order. Which target the run is
// on is held as its number; its steps run only while it holds that number.
template <typename Step>
void forTicked(const std::array<int, 6> &boxes, Step step)
{
    std::int16_t current = 0;
    for (const CleaningTarget &target : cleaningTargets()) {
        const auto number = static_cast<std::int16_t>(target.number);
        current = boxes[std::size_t(target.number - 1)] == 1 ? number : std::int16_t{0};
        if (current == number)
            step(target);
    }
}

} // namespace

void cleanRun(FileServices &files, const std::array<int, 6> &boxes, CleanObserver *observer, CleanPlan *plan)
{
    forTicked(boxes, [&](const CleaningTarget &target) {
        cleanTarget(files, target, observer, plan ? &plan->listings[std::size_t(target.number - 1)] : nullptr);
    });
}

void previewRun(FileServices &files, const std::array<int, 6> &boxes, CleanObserver &observer)
{
    forTicked(boxes, [&](const CleaningTarget &target) {
        observer.targetStarted(target);
        try {
            files.changeDirectory(target.directory);
            observer.targetEntered(target);
            // The guard decides only whether the marker is written: a guard
            // that finds nothing means the delete pattern matches no file.
            const bool markerWritten = target.guard.empty() || !files.firstMatch(target.guard).empty();
            surveyTarget(files, target, observer);
            observer.marker(target, markerWritten);
            observer.targetDone(target);
        } catch (const FileError &failure) {
            observer.targetFailed(target, failure);
        }
    });
}

std::array<std::uint64_t, 6> CleanPlan::work() const
{
    std::array<std::uint64_t, 6> work{};
    for (std::size_t i = 0; i < work.size(); ++i)
        work[i] = listings[i].matches();
    return work;
}

CleanPlan planCleanRun(FileServices &files, const std::array<int, 6> &boxes)
{
    CleanPlan plan;
    forTicked(boxes, [&](const CleaningTarget &target) {
        try {
            plan.listings[std::size_t(target.number - 1)] = files.listMatches(target.deletePattern);
        } catch (const FileError &) {
            // Counted as nothing to do; the run stops there with the real failure.
        }
    });
    return plan;
}
