// The hand-over between download workers and the one thread that owns what they report to, without
// an event loop: a worker's call is queued for that thread and waited for, or posted to run there
// later without waiting; a worker's wait ends early on a stop, and leaving releases every worker at
// once. The window wakes its thread through Qt; a program without windows drains the queue in its
// own loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
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
    // Queues the call to run on the owner's thread, in order with the worker's other calls, and
    // returns at once; what it throws is dropped. An owner in RunFor takes posted calls at the end
    // of its wait, or when many have come. Once leaving has begun, the call is dropped.
    void Post(std::function<void()> call);
    // Waits the time; a stop or leaving ends the wait, and every later one, at once.
    void Sleep(int milliseconds);

    // Owner side. Runs every call queued so far, in order; returns how many ran.
    int RunQueued();
    // Runs the calls until the time has passed: each waited-for call as it comes, posted ones in
    // batches. Returns early once a call has made `done` true (the last worker's end, say).
    void RunFor(std::chrono::milliseconds time, const std::function<bool()>& done = {});
    // Ends the waits of a task that is asked to stop. Ask every worker to stop first: a worker
    // woken before its stop request would go on without its waits.
    void WakeAll();
    // A new task: waits wait again.
    void Rearm();
    // The program is leaving: the queued calls are released unrun, no call runs from now on and
    // every wait ends. Ask every worker to stop first.
    void Leave();

    // Posted calls that an owner in RunFor takes at once, so that the queue stays short.
    static constexpr std::size_t PostedBatch = 1024;

private:
    // A call that its worker waits for; only that worker is woken when it has run.
    struct Pending {
        explicit Pending(const std::function<void()>* call) : Call(call) {}
        const std::function<void()>* Call;
        bool Finished = false;
        std::exception_ptr Failure;
        std::condition_variable Done;
    };
    struct Entry {
        Pending* Waited = nullptr;   // a Call
        std::function<void()> Posted; // a Post
    };

    const std::function<void()> m_wake;
    std::mutex m_mutex;
    std::condition_variable m_arrived; // a waited-for call or a batch of posted ones, for RunFor
    std::condition_variable m_woken;   // the end of every wait
    std::deque<Entry> m_queue;
    std::size_t m_waited = 0; // entries of the queue that a worker waits for
    bool m_waking = false;
    bool m_leaving = false;
};

} // namespace quarrow
