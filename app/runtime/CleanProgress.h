#pragma once

#include "engine/CleanRun.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

// How far a clean run has come: the entries the file work has met out of
// those it counted before it began. The file work's thread alone writes it,
// as it goes; the window's thread reads it at any moment without a lock.
class CleanProgress final : public CleanObserver
{
public:
    // On the file work's thread, before the run: what each target has to
    // go through, by target number - 1 (CleanPlan::work).
    void plan(const std::array<std::uint64_t, 6> &work);

    // 0 to 1 on any thread; 0 until the plan is there, and while there is
    // nothing to do.
    double fraction() const;

    void entry(const EntryReport &report, bool deleted) override;
    void targetStarted(const CleaningTarget &target) override;
    void targetEntered(const CleaningTarget &) override {}
    void marker(const CleaningTarget &, bool) override {}
    void targetDone(const CleaningTarget &target) override;
    void targetFailed(const CleaningTarget &, const FileError &) override {}

private:
    std::array<std::uint64_t, 6> m_work{};
    // The count the current target ends at. A target meets fewer entries
    // than counted when some go meanwhile, and more when some come: the
    // first are made up for at its end, the second never carry into the
    // next target's share.
    std::uint64_t m_targetEnd = 0;
    std::atomic<std::uint64_t> m_done{0};
    std::atomic<std::uint64_t> m_total{0};
};

// What the task bar is told of the clean runs, and when. Progress only goes
// forward within a run, and every run that showed its progress hides it
// again at its end, however it ended. No more than perWindow updates go out
// in any window of milliseconds: always room is kept for the one that hides
// the progress, so it need never wait.
class ProgressPace
{
public:
    struct Update
    {
        double progress = 0;
        bool visible = false;
        bool operator==(const Update &) const = default;
    };

    // Chosen so that a listener still counts no more than 10 in any second
    // when it stamps their arrival up to a couple of gaps late.
    static constexpr std::int64_t minimumGap = 115; // ms between two updates but the last
    static constexpr std::int64_t window = 1000;    // ms
    static constexpr std::size_t perWindow = 8;

    // A run begins; nothing is shown yet.
    void begin();
    // A reading of the run's fraction at now (ms on a steady clock): the
    // update to send, if one is due and allowed.
    std::optional<Update> reading(double fraction, std::int64_t now);
    // The run ended: nothing when nothing was shown; else, after a success,
    // progress 1, then the update that hides it.
    std::vector<Update> end(bool succeeded, std::int64_t now);

private:
    bool mayTell(std::int64_t now, std::size_t updates);
    void told(std::int64_t now);

    std::deque<std::int64_t> m_told; // when the updates within the window went
    double m_shown = 0;
    bool m_showing = false;
};
