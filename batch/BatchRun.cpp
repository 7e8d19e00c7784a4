#include "BatchRun.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "task/TaskOutcome.h"
#include "engine/Exception.h"
#include "engine/TextRules.h"

namespace quarrow {

namespace {
constexpr std::chrono::milliseconds Slice{100}; // how soon a signal is seen
constexpr int SaveEvery = 5;                    // seconds, as the window's monitor
} // namespace

BatchRun::BatchRun(std::shared_ptr<DownloadTask> task, std::string executableFolder,
                   const BatchSignals& signals, BatchOutput output)
    : m_task(std::move(task)), m_executableFolder(std::move(executableFolder)), m_signals(signals),
      m_output(output), m_records(*m_task) {}

BatchRun::~BatchRun() {
    // Workers still running (a start that failed half way) are stopped before they are joined.
    for (auto& worker : m_workers)
        if (worker)
            worker->Terminate();
    m_gate.Leave();
}

void BatchRun::AppendLogLine(const std::string& line) {
    m_log.Append(line);
    if (m_output.Verbose) {
        std::fprintf(m_output.Echo, "%s\n", TerminalText(line).c_str());
        std::fflush(m_output.Echo);
    }
    m_givenUp.LogLine(line);
}

void BatchRun::AppendFailedLine(const std::string& line) {
    m_failed.Append(line);
    m_givenUp.FailedLine(line);
}

void BatchRun::Save() {
    // A failed save is told once at the end of the line; the next save tries again.
    const auto reported = [this](const std::function<void()>& save) {
        try {
            save();
        } catch (const Exception& error) {
            std::fprintf(m_output.Progress, "%s%s\n", m_output.Terminal ? "\r\x1b[K" : "",
                         error.Message().c_str());
        }
    };
    reported([this] { m_log.Save(m_task->LogFile); });
    reported([this] { m_failed.Save(m_task->FailedFile); });
    reported([this] { m_records.Save(); });
    reported([this] { SaveResumeKeys(*m_task, PositionsOf(m_workers)); });
}

void BatchRun::Stop() {
    m_stopAsked = true;
    for (std::size_t i = 0; i < m_workers.size(); ++i) {
        if (m_workers[i])
            m_workers[i]->Terminate();
        AppendLogLine(StopLine(static_cast<int>(i)));
    }
    // Only now, when every worker has its stop request: the waits end.
    m_gate.WakeAll();
}

void BatchRun::Close() {
    if (m_closed)
        return;
    m_closed = true;
    m_gate.RunQueued(); // the lines the workers posted and this thread has not taken yet
    if (m_task->Params->Update) {
        AppendLogLine(UpdateSummary(m_task->Counts));
        try {
            m_records.Finish(m_stopAsked);
        } catch (const Exception& error) {
            std::fprintf(m_output.Progress, "%s\n", error.Message().c_str());
        }
    }
    for (const std::string& line : ClosingLines(*m_task))
        AppendLogLine(line);
    Save();
    ShowProgress(true);
}

void BatchRun::ShowProgress(bool final) {
    const auto now = std::chrono::steady_clock::now();
    if (!final && !m_output.Terminal && now - m_lastLine < m_output.LineInterval)
        return;
    m_lastLine = now;
    const int done = TilesDone(*m_task, PositionsOf(m_workers));
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    const double rate = seconds > 0 ? (done - m_doneAtStart) / seconds : 0;
    std::string text =
        std::to_string(done) + " of " + std::to_string(m_task->TileCount) + " tiles, ";
    char number[32];
    std::snprintf(number, sizeof number, "%.1f", rate);
    text += std::string(number) + " tiles/s, " + std::to_string(m_givenUp.Listed()) + " failed";
    if (!final && rate > 0)
        text += ", " + DurationText((m_task->TileCount - done) / rate) + " left";
    if (m_stopAsked && !final)
        text += ", stopping";
    if (m_output.Terminal)
        std::fprintf(m_output.Progress, "\r%s\x1b[K%s", text.c_str(), final ? "\n" : "");
    else
        std::fprintf(m_output.Progress, "%s\n", text.c_str());
    std::fflush(m_output.Progress);
}

int BatchRun::ExitStatus() const {
    if (m_stopAsked)
        return 128 + std::max(1, m_signals.Last.load());
    if (m_task->Params->Update)
        return m_task->Counts.Failed > 0 || !m_givenUp.StopReason().empty()
                   ? batch_exit::SomeFailed
                   : batch_exit::Done;
    // A refused certificate leaves the tiles to be fetched with the right CA file.
    if (m_givenUp.Listed() > 0 || !m_givenUp.StopReason().empty())
        return batch_exit::SomeFailed;
    return TilesDone(*m_task, PositionsOf(m_workers)) >= m_task->TileCount ? batch_exit::Done
                                                                           : batch_exit::Other;
}

int BatchRun::Run() {
    m_log.Load(m_task->LogFile);
    if (m_task->Params->Update)
        for (const std::string& line : UpdateHeadLines(*m_task))
            m_log.Append(line);
    m_failed.Load(m_task->FailedFile);
    if (!m_records.Problem().empty())
        std::fprintf(m_output.Progress, "%s\n", m_records.Problem().c_str());
    m_start = m_lastLine = std::chrono::steady_clock::now();
    const int workers = m_task->Params->ThreadCount;
    m_workers.resize(static_cast<std::size_t>(workers));
    m_doneAtStart = TilesDone(*m_task, PositionsOf(m_workers));
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
                m_gate.RunFor(Slice);
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
    auto nextSecond = m_start + std::chrono::seconds(1);
    int seconds = 0;
    while (m_running > 0) {
        m_gate.RunFor(Slice);
        const int signals = m_signals.Count.load();
        if (signals > handled) {
            handled = signals;
            if (!m_stopAsked)
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
    TaskOutcome outcome;
    outcome.Total = m_task->TileCount;
    outcome.Done = TilesDone(*m_task, PositionsOf(m_workers));
    outcome.Listed = m_givenUp.Listed();
    outcome.Stopped = m_stopAsked;
    outcome.LastFailure = m_givenUp.LastFailure();
    outcome.StopReason = m_givenUp.StopReason();
    outcome.GoOn = "Go on with: quarrow-batch --resume " + m_task->ProjectFile();
    outcome.Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    const std::string end =
        m_task->Params->Update
            ? UpdateEndText(UpdateSummary(m_task->Counts), m_stopAsked, outcome.StopReason,
                            ". Go on with: quarrow-batch --update " + m_task->ProjectFile())
            : OutcomeText(outcome);
    std::fprintf(m_output.Progress, "%s\n", TerminalText(end).c_str());
    const int status = ExitStatus();
    // Every worker has made its last call: the joins are short.
    m_workers.clear();
    return status;
}

} // namespace quarrow
