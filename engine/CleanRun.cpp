#include "engine/CleanRun.h"

#include "engine/CleaningTargets.h"

#include <cstddef>
#include <cstdint>

void cleanRun(FileServices &files, const std::array<int, 6> &boxes)
{
    // Which target the run is on; its steps run only while this holds the
    // target's number.
    std::int16_t current = 0;
    for (const CleaningTarget &target : cleaningTargets()) {
        const auto number = static_cast<std::int16_t>(target.number);
        current = boxes[std::size_t(target.number - 1)] == 1 ? number : std::int16_t{0};
        if (current == number)
            cleanTarget(files, target);
    }
}
