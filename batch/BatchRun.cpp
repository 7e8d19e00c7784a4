#include "BatchRun.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <utility>

#include "task/TaskOutcome.h"
#include "base/Exception.h"
#include "base/TextRules.h"

namespace quarrow {

namespace {
constexpr std::chrono::milliseconds Slice{100}; // how soon a signal is seen
constexpr int SaveEvery = 5;                    // seconds, as the window's monitor
} // namespace

BatchRun::BatchRun(std::shared_ptr<DownloadTask> task, std::string executableFolder,
                   const BatchSignals& signals, BatchOutput output)
    : m_task(std::move(task)), m_executableFolder(std::move(executableFolder)), m_signals(signals),
      m_output(output) {}

BatchRun::~BatchRun() {
    // Workers still running (a start that failed half way) are stopped before they are joined.
    for (auto& worker : m_workers)
        if (worker)
            worker->Terminate();
    m_gate.Leave();
}

void BatchRun::AppendLogLine(const std::string& line) {
    m_run->LogLine(line);
    if (m_output.Verbose) {
        std::fprintf(m_output.Echo, "%s\n", TerminalText(line).c_str());
        std::fflush(m_output.Echo);
    }
}

void BatchRun::AppendFailedLine(const std::string& line) {
    m_run->FailedLine(line);
}

// A failed save is told at the end of the line; the next save tries again.
void BatchRun::Save() {
    m_run->Save(PositionsOf(m_workers), [this](const std::string&, const std::string& message) {
        std::fprintf(m_output.Progress, "%s%s\n", m_output.Terminal ? "\r\x1b[K" : "",
                     message.c_str());
    });
    // As on a full disk: the workers end, and nothing counts the tiles they write meanwhile.
    if (m_run->TilesLost())
        HaltWorkers();
}

void BatchRun::HaltWorkers() {
    for (auto& worker : m_workers)
        if (worker)
            worker->Terminate();
    // Only now, when every worker has its stop request: the waits end.
    m_gate.WakeAll();
}

void BatchRun::Stop() {
    m_run->Stop(static_cast<int>(m_workers.size()));
    HaltWorkers();
}

void BatchRun::Close() {
    if (std::exchange(m_closed, true))
        return;
    m_gate.RunQueued(); // the lines the workers posted and this thread has not taken yet
    m_run->Close(PositionsOf(m_workers), [this](const std::string&, const std::string& message) {
        std::fprintf(m_output.Progress, "%s\n", message.c_str());
    });
    ShowProgress(true);
}

void BatchRun::ShowProgress(bool final) {
    const auto now = std::chrono::steady_clock::now();
    if (!final && !m_output.Terminal && now - m_lastLine < m_output.LineInterval)
        return;
    m_lastLine = now;
    const int done = m_run->TilesDone(PositionsOf(m_workers));
    const double rate = m_run->Rate(PositionsOf(m_workers));
    std::string text =
        std::to_string(done) + " of " + std::to_string(m_task->TileCount) + " tiles, ";
    char number[32];
    std::snprintf(number, sizeof number, "%.1f", rate);
    text += std::string(number) + " tiles/s, " + std::to_string(m_run->Listed()) + " failed";
    if (!final && rate > 0)
        text += ", " + DurationText((m_task->TileCount - done) / rate) + " left";
    if (m_run->Stopped() && !final)
        text += ", stopping";
    if (m_output.Terminal)
        std::fprintf(m_output.Progress, "\r%s\x1b[K%s", text.c_str(), final ? "\n" : "");
    else
        std::fprintf(m_output.Progress, "%s\n", text.c_str());
    std::fflush(m_output.Progress);
}

int BatchRun::ExitStatus() const {
    if (m_run->Stopped())
        return 128 + std::max(1, m_signals.Last.load());
    if (m_run->Complete(PositionsOf(m_workers)))
        return batch_exit::Done;
    // A refused certificate leaves the tiles to be fetched with the right CA file.
    return m_run->SomeFailed() ? batch_exit::SomeFailed : batch_exit::Other;
}

int BatchRun::Run() {
    m_run = std::make_unique<TaskRun>(m_task, m_log, m_failed, m_executableFolder);
    for (const std::string& notice : m_run->Notices())
        std::fprintf(m_output.Progress, "%s\n", notice.c_str());
    if (!m_run->RecordsProblem().empty())
        std::fprintf(m_output.Progress, "%s\n", m_run->RecordsProblem().c_str());
    m_lastLine = std::chrono::steady_clock::now();
    const int workers = m_task->Params->ThreadCount;
    m_workers.resize(static_cast<std::size_t>(workers));
    for (int i = 0; i < workers; ++i) {
        // A signal while the task's files were written, or its workers start: no further
        // worker starts, so no request goes out after it.
        if (m_signals.Count.load() > 0)
            break;
        try {
            m_workers[static_cast<std::size_t>(i)] =
                std::make_unique<TDownThread>(i, m_task, *this);
        } catch (const std::exception& error) {
            Stop();
            while (m_running > 0)
                m_gate.RunFor(Slice, [this] { return m_running == 0; });
            Close();
            throw Exception("The download thread T" + std::to_string(i + 1) +
                            " cannot be started: " + error.what());
        }
        ++m_running;
    }
    int handled = 0;
    if (m_signals.Count.load() > 0 && m_running < workers) {
        handled = m_signals.Count.load();
        Stop();
    }
    auto nextSecond = m_lastLine + std::chrono::seconds(1);
    int seconds = 0;
    while (m_running > 0) {
        // The last worker's end ends the wait at once: a small task ends in its own time.
        m_gate.RunFor(Slice, [this] { return m_running == 0; });
        const int signals = m_signals.Count.load();
        if (signals > handled) {
            handled = signals;
            if (!m_run->Stopped())
                Stop();
            // Asked again while the workers end (both may fall in one slice): what they have
            // done is kept, at once.
            if (signals >= 2) {
                Close();
                std::fprintf(m_output.Progress, "%s\n",
                             "Stopped at once; the task can be resumed.");
                std::fflush(nullptr);
                std::_Exit(ExitStatus());
            }
        }
        if (std::chrono::steady_clock::now() >= nextSecond) {
            nextSecond += std::chrono::seconds(1);
            if (++seconds % SaveEvery == 0)
                Save();
            ShowProgress(false);
        }
    }
    Close();
    const std::string end = m_run->EndText(
        PositionsOf(m_workers),
        {false, "Go on with: quarrow-batch --resume " + m_task->ProjectFile(),
         ". Go on with: quarrow-batch --update " + m_task->ProjectFile()});
    std::fprintf(m_output.Progress, "%s\n", TerminalText(end).c_str());
    const int status = ExitStatus();
    // Every worker has made its last call: the joins are short.
    m_workers.clear();
    return status;
}

} // namespace quarrow
