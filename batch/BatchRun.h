// A task's workers run without windows: their calls are served in this program's own loop,
// which keeps the log and the failed list as the window's panes do, saves them and the resume
// keys every five seconds, shows the progress, and stops the task on a signal as the Stop button
// does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "task/StartRules.h"
#include "task/TaskRun.h"
#include "download/Unit3.h"
#include "download/WorkerGate.h"
#include "download/WorkerHost.h"
#include "store/LineStore.h"
#include "engine/Unitclasstask.h"

namespace quarrow {

// What the signal handlers record: the last signal and how many came.
struct BatchSignals {
    std::atomic<int> Last{0};
    std::atomic<int> Count{0};
};

// The exit statuses of quarrow-batch.
namespace batch_exit {
inline constexpr int Done = 0;
inline constexpr int Other = 1;
inline constexpr int Usage = 2;
inline constexpr int SomeFailed = 3;
} // namespace batch_exit

struct BatchOutput {
    std::FILE* Progress = stderr; // the progress line and the task's end
    std::FILE* Echo = stdout;     // the log lines, with verbose
    bool Terminal = false;        // the progress line is redrawn in place
    bool Verbose = false;
    std::chrono::seconds LineInterval{10}; // between progress lines when not a terminal
};

class BatchRun final : public WorkerHost {
public:
    BatchRun(std::shared_ptr<DownloadTask> task, std::string executableFolder,
             const BatchSignals& signals, BatchOutput output);
    ~BatchRun() override;

    // Runs the task to its end and returns the exit status. A second signal while the workers
    // end saves everything and ends the process at once.
    int Run();

    void Synchronize(const std::function<void()>& call) override { m_gate.Call(call); }
    void Post(std::function<void()> call) override { m_gate.Post(std::move(call)); }
    void AppendLogLine(const std::string& line) override;
    void AppendFailedLine(const std::string& line) override;
    void LowerRunningWorkers() override { --m_running; }
    void Sleep(int milliseconds) override { m_gate.Sleep(milliseconds); }
    std::string ExecutableFolder() override { return m_executableFolder; }
    void TileEnded(const TileEvent& event) override { m_run->TileEnded(event); }
    void WorkerEnded(const WorkerEndEvent& event) override { m_run->WorkerEnded(event); }

private:
    // A store of lines as the run's sink.
    class StoreSink final : public LineSink {
    public:
        void Load(const std::string& path) override { Store.Load(path); }
        void Append(const std::string& line) override { Store.Append(line); }
        std::vector<std::string> Lines() const override { return Store.Lines(); }
        LineStore Copy() const override { return Store; }
        LineStore Store;
    };

    void Stop();
    // Asks every worker to stop and wakes their waits.
    void HaltWorkers();
    void Close();
    void Save();
    void ShowProgress(bool final);
    int ExitStatus() const;

    std::shared_ptr<DownloadTask> m_task;
    std::string m_executableFolder;
    const BatchSignals& m_signals;
    BatchOutput m_output;
    WorkerGate m_gate;
    std::vector<std::unique_ptr<TDownThread>> m_workers;
    int m_running = 0; // changed only on this thread, inside a worker's call
    StoreSink m_log;
    StoreSink m_failed;
    std::unique_ptr<TaskRun> m_run; // made by Run, which loads the files
    bool m_closed = false;
    std::chrono::steady_clock::time_point m_lastLine;
};

} // namespace quarrow
