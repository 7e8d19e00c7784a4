// The hand-over between download workers and the one thread that owns what they report to, without
// an event loop: a worker's call is queued for that thread and waited for, a worker's wait ends
// early on a stop, and leaving releases every worker at once. The window wakes its thread through
// Qt; a program without windows drains the queue in its own loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

namespace quarrow {

class WorkerGate {
public:
    // wake is called on a worker's thread when a call arrives in an empty queue; it must make the
    // owner's thread run RunQueued soon. It may be empty for an owner that waits in RunFor.
    explicit WorkerGate(std::function<void()> wake = {});
    WorkerGate(const WorkerGate&) = delete;
    WorkerGate& operator=(const WorkerGate&) = delete;

    // Worker side. Runs the call on the owner's thread and waits for it, rethrowing what it threw.
    // Once leaving has begun, returns at once without running it.
    void Call(const std::function<void()>& call);
    // Waits the time; a stop or leaving ends the wait, and every later one, at once.
    void Sleep(int milliseconds);

    // Owner side. Runs every call queued so far, in order; returns how many ran.
    int RunQueued();
    // Runs the calls as they come until the time has passed.
    void RunFor(std::chrono::milliseconds time);
    // Ends the waits of a task that is asked to stop. Ask every worker to stop first: a worker
    // woken before its stop request would go on without its waits.
    void WakeAll();
    // A new task: waits wait again.
    void Rearm();
    // The program is leaving: the queued calls are released unrun, no call runs from now on and
    // every wait ends. Ask every worker to stop first.
    void Leave();

private:
    struct Pending {
        const std::function<void()>* Call;
        bool Finished = false;
        std::exception_ptr Failure;
    };

    const std::function<void()> m_wake;
    std::mutex m_mutex;
    std::condition_variable m_finished; // a queued call has run or been released
    std::condition_variable m_arrived;  // a call came, for RunFor
    std::condition_variable m_woken;    // the end of every wait
    std::deque<Pending*> m_queue;
    bool m_waking = false;
    bool m_leaving = false;
};

} // namespace quarrow
