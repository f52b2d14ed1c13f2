#include "Unlinker.h"

#include "SystemCalls.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

// Large enough that handing over costs nothing next to the unlinks, small
// enough that a folder of a few hundred files is done on one thread.
constexpr std::size_t batchSize = 256;

} // namespace

Unlinker::Unlinker(SystemCalls &calls, int folderFd)
    : m_calls(calls)
    , m_folderFd(folderFd)
    , m_mayOverlap(calls.unlinksMayOverlap())
{
}

Unlinker::~Unlinker()
{
    finish();
}

void Unlinker::unlink(const char *name, std::size_t order)
{
    m_filling.names.append(name, std::strlen(name) + 1);
    m_filling.orders.push_back(order);
    if (m_filling.orders.size() >= batchSize)
        handOver();
}

void Unlinker::handOver()
{
    if (m_mayOverlap && !m_helper.joinable()) {
        try {
            m_helper = std::thread([this] { helperLoop(); });
        } catch (const std::system_error &) {
            // No thread to be had: the unlinks are simply done here.
            m_mayOverlap = false;
        }
    }
    if (!m_helper.joinable()) {
        run(m_filling);
    } else {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_handedOver; });
        std::swap(m_filling, m_working);
        m_handedOver = true;
        lock.unlock();
        m_changed.notify_all();
    }
    m_filling.names.clear();
    m_filling.orders.clear();
}

void Unlinker::finish()
{
    if (!m_helper.joinable()) {
        // Never worth a thread for what is left.
        run(m_filling);
        m_filling.names.clear();
        m_filling.orders.clear();
        return;
    }
    if (!m_filling.orders.empty())
        handOver();
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_handedOver; });
        m_closing = true;
    }
    m_changed.notify_all();
    m_helper.join();
}

void Unlinker::helperLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_handedOver || m_closing; });
        if (!m_handedOver)
            return;
        lock.unlock();
        run(m_working);
        lock.lock();
        m_handedOver = false;
        m_changed.notify_all();
    }
}

void Unlinker::run(const Batch &batch)
{
    const char *name = batch.names.data();
    for (const std::size_t order : batch.orders) {
        const std::size_t length = std::strlen(name);
        if (m_calls.unlinkat(m_folderFd, name, 0) != 0 && errno != ENOENT) {
            const int error = errno;
            if (m_failures++ == 0 || order < m_firstOrder) {
                m_firstOrder = order;
                m_firstName.assign(name, length);
                m_firstError = error;
            }
        }
        name += length + 1;
    }
}
