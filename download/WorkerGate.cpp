// Every hand-over goes through this one mutex, so the workers' writes before a call are seen by
// the owner's thread that runs it, and the owner's writes by the worker after it returns.
#include "WorkerGate.h"

#include <utility>

namespace quarrow {

WorkerGate::WorkerGate(std::function<void()> wake) : m_wake(std::move(wake)) {}

void WorkerGate::Call(const std::function<void()>& call) {
    Pending pending{&call, false, nullptr};
    std::unique_lock lock(m_mutex);
    if (m_leaving)
        return;
    const bool first = m_queue.empty();
    m_queue.push_back(&pending);
    m_arrived.notify_all();
    if (first && m_wake) {
        // Outside the lock: waking may take Qt's own locks.
        lock.unlock();
        m_wake();
        lock.lock();
    }
    m_finished.wait(lock, [&] { return pending.Finished; });
    if (pending.Failure)
        std::rethrow_exception(pending.Failure);
}

void WorkerGate::Sleep(int milliseconds) {
    std::unique_lock lock(m_mutex);
    m_woken.wait_for(lock, std::chrono::milliseconds(milliseconds),
                     [this] { return m_waking || m_leaving; });
}

int WorkerGate::RunQueued() {
    int ran = 0;
    std::unique_lock lock(m_mutex);
    while (!m_queue.empty() && !m_leaving) {
        Pending* pending = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        try {
            (*pending->Call)();
        } catch (...) {
            pending->Failure = std::current_exception();
        }
        ++ran;
        lock.lock();
        pending->Finished = true;
        m_finished.notify_all();
    }
    return ran;
}

void WorkerGate::RunFor(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    for (;;) {
        RunQueued();
        std::unique_lock lock(m_mutex);
        if (!m_arrived.wait_until(lock, end, [this] { return !m_queue.empty() || m_leaving; }) ||
            m_leaving)
            return;
    }
}

void WorkerGate::WakeAll() {
    std::lock_guard lock(m_mutex);
    m_waking = true;
    m_woken.notify_all();
}

void WorkerGate::Rearm() {
    std::lock_guard lock(m_mutex);
    m_waking = false;
}

void WorkerGate::Leave() {
    std::lock_guard lock(m_mutex);
    m_leaving = true;
    for (Pending* pending : m_queue)
        pending->Finished = true;
    m_queue.clear();
    m_finished.notify_all();
    m_woken.notify_all();
    m_arrived.notify_all();
}

} // namespace quarrow
