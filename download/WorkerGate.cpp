// Every hand-over goes through this one mutex, so the workers' writes before a call are seen by
// the owner's thread that runs it, and the owner's writes by the worker after it returns.
#include "WorkerGate.h"

#include <utility>

namespace quarrow {

WorkerGate::WorkerGate(std::function<void()> wake) : m_wake(std::move(wake)) {}

void WorkerGate::Call(const std::function<void()>& call) {
    Pending pending(&call);
    std::unique_lock lock(m_mutex);
    if (m_leaving)
        return;
    const bool first = m_queue.empty();
    m_queue.push_back({&pending, {}});
    ++m_waited;
    m_arrived.notify_one();
    if (first && m_wake) {
        // Outside the lock: waking may take Qt's own locks.
        lock.unlock();
        m_wake();
        lock.lock();
    }
    pending.Done.wait(lock, [&] { return pending.Finished; });
    if (pending.Failure)
        std::rethrow_exception(pending.Failure);
}

void WorkerGate::Post(std::function<void()> call) {
    std::unique_lock lock(m_mutex);
    if (m_leaving)
        return;
    const bool first = m_queue.empty();
    m_queue.push_back({nullptr, std::move(call)});
    // The owner takes posted calls when it runs; only a long queue calls it early.
    if (m_queue.size() >= PostedBatch)
        m_arrived.notify_one();
    if (first && m_wake) {
        lock.unlock();
        m_wake();
    }
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
        Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        std::exception_ptr failure;
        try {
            if (entry.Waited)
                (*entry.Waited->Call)();
            else
                entry.Posted();
        } catch (...) {
            failure = std::current_exception();
        }
        ++ran;
        lock.lock();
        if (entry.Waited) {
            --m_waited;
            entry.Waited->Failure = failure;
            entry.Waited->Finished = true;
            entry.Waited->Done.notify_one();
        }
    }
    return ran;
}

void WorkerGate::RunFor(std::chrono::milliseconds time, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + time;
    for (;;) {
        RunQueued();
        if (done && done())
            return;
        std::unique_lock lock(m_mutex);
        const auto due = [this] {
            return m_leaving || m_waited > 0 || m_queue.size() >= PostedBatch;
        };
        if (!m_arrived.wait_until(lock, end, due) || m_leaving) {
            lock.unlock();
            RunQueued(); // what was posted meanwhile
            return;
        }
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
    for (Entry& entry : m_queue) {
        if (entry.Waited) {
            entry.Waited->Finished = true;
            entry.Waited->Done.notify_one();
        }
    }
    m_queue.clear();
    m_waited = 0;
    m_woken.notify_all();
    m_arrived.notify_all();
}

} // namespace quarrow
