#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SystemCalls;

// Deletes the entries of one folder that delete-by-pattern has judged
// deletable. Once enough have come together it hands them in batches to a
// helper thread, so that the file system's work of unlinking one batch
// overlaps with reading and judging the next entries; a small folder never
// starts the thread. Only unlinkat is called on the helper, and only when
// SystemCalls::unlinksMayOverlap() allows it.
class Unlinker
{
public:
    Unlinker(SystemCalls &calls, int folderFd);
    ~Unlinker();
    Unlinker(const Unlinker &) = delete;
    Unlinker &operator=(const Unlinker &) = delete;

    // order is the entry's place in the listing; failures are reported by it.
    void unlink(const char *name, std::size_t order);

    // Waits until every name given has been dealt with.
    void finish();

    // The failed unlink that came first in the listing (an entry already
    // gone counts as deleted), and how many failed.
    std::size_t failures() const { return m_failures; }
    std::size_t firstFailureOrder() const { return m_firstOrder; }
    const std::string &firstFailureName() const { return m_firstName; }
    int firstFailureError() const { return m_firstError; }

private:
    struct Batch
    {
        std::string names; // each followed by its NUL
        std::vector<std::size_t> orders;
    };

    void handOver();
    void helperLoop();
    void run(const Batch &batch);

    SystemCalls &m_calls;
    int m_folderFd;
    bool m_mayOverlap;
    Batch m_filling;
    Batch m_working;
    std::thread m_helper;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_handedOver = false;
    bool m_closing = false;

    std::size_t m_failures = 0;
    std::size_t m_firstOrder = 0;
    std::string m_firstName;
    int m_firstError = 0;
};
