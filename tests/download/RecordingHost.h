// A worker host for tests: the UI thread is simulated by a lock, panes are vectors of lines, and
// waits are recorded instead of slept.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "download/Unit3.h"
#include "store/TileRecords.h"

namespace quarrow::test {

class RecordingHost : public WorkerHost {
public:
    explicit RecordingHost(std::string executableFolder)
        : m_executableFolder(std::move(executableFolder)) {}

    // Called on a worker thread for every wait, after it is recorded; set before any worker.
    std::function<void(int milliseconds)> OnSleep;

    void Synchronize(const std::function<void()>& call) override {
        std::lock_guard lock(m_ui);
        m_insideCall = true;
        call();
        m_insideCall = false;
    }

    void AppendLogLine(const std::string& line) override {
        CheckInsideCall();
        m_log.push_back(line);
    }

    void AppendFailedLine(const std::string& line) override {
        CheckInsideCall();
        m_failed.push_back(line);
    }

    void LowerRunningWorkers() override {
        CheckInsideCall();
        ++m_done;
        m_logLinesWhenDone.push_back(m_log.size());
        m_doneChanged.notify_all();
    }

    void Sleep(int milliseconds) override {
        {
            std::lock_guard lock(m_sleepMutex);
            m_sleeps.push_back(milliseconds);
        }
        if (OnSleep)
            OnSleep(milliseconds);
    }

    std::string ExecutableFolder() override { return m_executableFolder; }

    void TileEnded(const TileEvent& event) override {
        CheckInsideCall();
        m_counts.Add(event);
        m_events.push_back(event);
        if (event.Record)
            m_records.push_back(*event.Record);
    }
    void WorkerEnded(const WorkerEndEvent& event) override {
        CheckInsideCall();
        m_counts.Add(event);
        m_ends.push_back(event);
    }
    std::vector<TileRecord> Records() const {
        std::lock_guard lock(m_ui);
        return m_records;
    }
    std::vector<TileEvent> Events() const {
        std::lock_guard lock(m_ui);
        return m_events;
    }
    std::vector<WorkerEndEvent> Ends() const {
        std::lock_guard lock(m_ui);
        return m_ends;
    }
    RunCounts Counts() const {
        std::lock_guard lock(m_ui);
        return m_counts;
    }

    // Set before any worker.
    std::chrono::milliseconds Grace = DefaultStopGrace;
    std::chrono::milliseconds StopGrace() override { return Grace; }

    // True when `count` workers have run WorkerDone within the wait.
    bool WaitForWorkers(int count, std::chrono::milliseconds wait = std::chrono::seconds(60)) {
        std::unique_lock lock(m_ui);
        return m_doneChanged.wait_for(lock, wait, [&] { return m_done >= count; });
    }

    std::vector<std::string> Log() const {
        std::lock_guard lock(m_ui);
        return m_log;
    }
    std::vector<std::string> Failed() const {
        std::lock_guard lock(m_ui);
        return m_failed;
    }
    int Done() const {
        std::lock_guard lock(m_ui);
        return m_done;
    }
    // Pane lines outside a synchronous call, and log lines sent after a worker's WorkerDone
    // beyond those of the other workers: both must stay 0 / ordered.
    int CallsOutsideSynchronize() const {
        std::lock_guard lock(m_ui);
        return m_outside;
    }
    std::vector<std::size_t> LogLinesWhenDone() const {
        std::lock_guard lock(m_ui);
        return m_logLinesWhenDone;
    }
    std::vector<int> Sleeps() const {
        std::lock_guard lock(m_sleepMutex);
        return m_sleeps;
    }

private:
    void CheckInsideCall() {
        if (!m_insideCall)
            ++m_outside;
    }

    const std::string m_executableFolder;
    mutable std::mutex m_ui;
    std::condition_variable m_doneChanged;
    bool m_insideCall = false;
    std::vector<std::string> m_log;
    std::vector<std::string> m_failed;
    std::vector<TileRecord> m_records;
    std::vector<TileEvent> m_events;
    std::vector<WorkerEndEvent> m_ends;
    RunCounts m_counts;
    std::vector<std::size_t> m_logLinesWhenDone;
    int m_done = 0;
    int m_outside = 0;
    mutable std::mutex m_sleepMutex;
    std::vector<int> m_sleeps;
};

// Lets a worker thread reach its own TDownThread once the test has stored it.
class WorkerHandle {
public:
    void Set(TDownThread* worker) {
        std::lock_guard lock(m_mutex);
        m_worker = worker;
        m_set.notify_all();
    }
    void Terminate() {
        std::unique_lock lock(m_mutex);
        if (m_set.wait_for(lock, std::chrono::seconds(10), [&] { return m_worker != nullptr; }))
            m_worker->Terminate();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_set;
    TDownThread* m_worker = nullptr;
};

} // namespace quarrow::test
