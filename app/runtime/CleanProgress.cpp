#include "runtime/CleanProgress.h"

#include "engine/CleaningTargets.h"

#include <algorithm>
#include <cstddef>
#include <numeric>

void CleanProgress::plan(const std::array<std::uint64_t, 6> &work)
{
    m_work = work;
    m_total.store(std::accumulate(work.begin(), work.end(), std::uint64_t{0}), std::memory_order_release);
}

double CleanProgress::fraction() const
{
    const std::uint64_t total = m_total.load(std::memory_order_acquire);
    if (total == 0)
        return 0;
    const std::uint64_t done = std::min(m_done.load(std::memory_order_relaxed), total);
    return static_cast<double>(done) / static_cast<double>(total);
}

void CleanProgress::entry(const EntryReport &, bool)
{
    // Once for every entry of a folder of many thousands: a plain store is
    // enough, as no other thread writes.
    const std::uint64_t done = m_done.load(std::memory_order_relaxed);
    if (done < m_targetEnd)
        m_done.store(done + 1, std::memory_order_relaxed);
}

void CleanProgress::targetStarted(const CleaningTarget &target)
{
    m_targetEnd = m_done.load(std::memory_order_relaxed) + m_work[std::size_t(target.number - 1)];
}

void CleanProgress::targetDone(const CleaningTarget &)
{
    m_done.store(m_targetEnd, std::memory_order_relaxed);
}

void ProgressPace::begin()
{
    m_shown = 0;
    m_showing = false;
}

std::optional<ProgressPace::Update> ProgressPace::reading(double fraction, std::int64_t now)
{
    const double progress = std::max(std::clamp(fraction, 0.0, 1.0), m_shown);
    if (m_showing && progress == m_shown)
        return std::nullopt;
    // Room for this one and the one that will hide it.
    if (!mayTell(now, 2))
        return std::nullopt;
    told(now);
    m_showing = true;
    m_shown = progress;
    return Update{progress, true};
}

std::vector<ProgressPace::Update> ProgressPace::end(bool succeeded, std::int64_t now)
{
    std::vector<Update> updates;
    if (!m_showing)
        return updates;
    if (succeeded && m_shown < 1 && mayTell(now, 2)) {
        told(now);
        updates.push_back({1, true});
    }
    if (succeeded)
        m_shown = 1;
    // Always room for it: every update before kept it.
    told(now);
    updates.push_back({m_shown, false});
    m_showing = false;
    return updates;
}

bool ProgressPace::mayTell(std::int64_t now, std::size_t updates)
{
    while (!m_told.empty() && m_told.front() <= now - window)
        m_told.pop_front();
    return (m_told.empty() || now - m_told.back() >= minimumGap) && m_told.size() + updates <= perWindow;
}

void ProgressPace::told(std::int64_t now)
{
    m_told.push_back(now);
}
