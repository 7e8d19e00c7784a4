// What the status bar says once a task has ended: how many tiles it got, and why it got fewer.
#pragma once

#include <deque>
#include <string>
#include <string_view>

namespace quarrow {

struct TaskOutcome {
    long long Total = 0;
    long long Done = 0; // saved, or replaced by the blank image
    int Listed = 0;     // entries this run added to the failed list
    bool Stopped = false;
    std::string LastFailure; // the message of the last tile given up, empty for none
    double Seconds = 0;
    // Why the workers gave up before their tiles, when the service refused this client for every
    // tile alike (its certificate): said whole.
    std::string StopReason;
    // How to go on after a stop; empty: the window's Start with the same entries.
    std::string GoOn;
};

// "99 of 99 tiles saved in 14 s", or "51 of 99 tiles: 48 not fetched (the service refused:
// 403). Start again with the same entries to go on."
std::string OutcomeText(const TaskOutcome& outcome);

// The failure's message in the worker's error line that came just before a failed-list entry
// ("T3 403 Forbidden->URL" before "PATH|URL"); "failed" for the bare line; empty when the line
// is no error line of that entry.
std::string GivenUpMessage(std::string_view errorLine, std::string_view entry);

// Follows a task's log and failed-list lines: counts the entries, and finds the message of the
// last tile given up (a worker sends the tile's error line just before its entry; other workers'
// lines may come between).
class GivenUpTracker {
public:
    void LogLine(const std::string& line);
    void FailedLine(std::string_view entry);
    const std::string& LastFailure() const noexcept { return m_lastFailure; }
    const std::string& StopReason() const noexcept { return m_stopReason; }
    int Listed() const noexcept { return m_listed; } // failed-list entries since the last Clear
    void Clear();

private:
    std::deque<std::string> m_recent; // enough to reach back past a line of each other worker
    std::string m_lastFailure;
    std::string m_stopReason;
    int m_listed = 0;
};

} // namespace quarrow
