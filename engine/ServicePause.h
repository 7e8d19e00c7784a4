// When a tile service has asked a task's workers to wait: one "not before" time that every worker
// of the task honours, and how often it has asked in a row. Any thread.
#pragma once

#include <atomic>
#include <chrono>

namespace quarrow {

class ServicePause {
public:
    using Clock = std::chrono::steady_clock;

    // Moves the time on to `until` unless it lies later already; true when it moved, so that
    // one worker tells of the pause.
    bool PauseUntil(Clock::time_point until) noexcept {
        const Clock::rep wanted = until.time_since_epoch().count();
        Clock::rep current = m_until.load();
        while (wanted > current) {
            if (m_until.compare_exchange_weak(current, wanted))
                return true;
        }
        return false;
    }
    Clock::time_point Until() const noexcept {
        return Clock::time_point(Clock::duration(m_until.load()));
    }

    // The service's requests to wait without saying how long, in a row; a saved tile ends the row.
    int NextBackoff() noexcept { return ++m_backoffs; }
    void EndBackoffs() noexcept { m_backoffs = 0; }

private:
    std::atomic<Clock::rep> m_until{Clock::time_point().time_since_epoch().count()};
    std::atomic<int> m_backoffs{0};
};

} // namespace quarrow
