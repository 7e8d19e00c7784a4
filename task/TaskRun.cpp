#include "TaskRun.h"

#include "TaskUpdateRun.h"
#include "engine/Exception.h"
#include "engine/TileRecords.h"

namespace quarrow {

TaskRun::TaskRun(std::shared_ptr<DownloadTask> task, LineSink& log, LineSink& failed)
    : m_task(std::move(task)), m_log(log), m_failed(failed),
      m_start(std::chrono::steady_clock::now()) {
    m_log.Load(m_task->LogFile);
    if (IsUpdate())
        for (const std::string& line : UpdateHeadLines(*m_task))
            m_log.Append(line);
    m_failed.Load(m_task->FailedFile);
    if (m_task->Params->Source || IsUpdate()) {
        try {
            m_records = std::make_unique<TileRecords>(TaskFilesOf(m_task->ProjectFile()).Records,
                                                      TileRecords::Access::Write);
            if (IsUpdate())
                m_records->BeginUpdate(m_task->Params->Update->Pass);
        } catch (const Exception& error) {
            m_records.reset();
            m_recordsProblem = error.Message();
        }
    }
    m_doneAtStart = TilesDone({});
}

TaskRun::~TaskRun() = default;

void TaskRun::LogLine(const std::string& line) {
    m_log.Append(line);
}

void TaskRun::FailedLine(const std::string& line) {
    m_failed.Append(line);
    ++m_listed;
}

void TaskRun::TileEnded(const TileEvent& event) {
    m_counts.Add(event);
    if (!event.Record || !m_records)
        return;
    try {
        m_records->Put(*event.Record);
    } catch (const Exception& error) {
        if (m_recordsProblem.empty())
            m_recordsProblem = error.Message();
    }
}

void TaskRun::WorkerEnded(const WorkerEndEvent& event) {
    m_counts.Add(event);
}

void TaskRun::Stop(int workers) {
    m_stopped = true;
    for (int slot = 0; slot < workers; ++slot)
        m_log.Append(StopLine(slot));
}

void TaskRun::SaveRecords() {
    if (m_records)
        m_records->Commit();
}

void TaskRun::Save(const WorkerPositions& positions, const Reporter& report) {
    const auto reported = [&report](const std::string& path, const std::function<void()>& save) {
        try {
            save();
        } catch (const Exception& error) {
            report(path, error.Message());
        }
    };
    reported(m_task->LogFile, [this] { m_log.Save(m_task->LogFile); });
    reported(m_task->FailedFile, [this] { m_failed.Save(m_task->FailedFile); });
    reported(TaskFilesOf(m_task->ProjectFile()).Records, [this] { SaveRecords(); });
    reported(m_task->ProjectFile(), [&] { SaveResumeKeys(*m_task, positions); });
}

void TaskRun::Close(const WorkerPositions& positions, const Reporter& report) {
    if (m_closed)
        return;
    m_closed = true;
    if (IsUpdate()) {
        m_log.Append(UpdateSummary(m_counts));
        // A whole update ends its pass, so the next begins anew; one stopped or given up goes on.
        if (m_records && Complete(positions)) {
            try {
                m_records->EndUpdate();
            } catch (const Exception& error) {
                report(TaskFilesOf(m_task->ProjectFile()).Records, error.Message());
            }
        }
    }
    for (const std::string& line : ClosingLines(*m_task))
        m_log.Append(line);
    Save(positions, report);
}

int TaskRun::TilesDone(const WorkerPositions& positions) const {
    return quarrow::TilesDone(*m_task, positions);
}

double TaskRun::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

double TaskRun::Rate(const WorkerPositions& positions) const {
    const double seconds = Seconds();
    return seconds > 0 ? (TilesDone(positions) - m_doneAtStart) / seconds : 0;
}

bool TaskRun::Complete(const WorkerPositions& positions) const {
    if (m_stopped || m_counts.WorkersGaveUp > 0 || !m_counts.StopReason.empty())
        return false;
    if (IsUpdate())
        return m_counts.Failed == 0;
    return m_listed == 0 && TilesDone(positions) >= m_task->TileCount;
}

bool TaskRun::SomeFailed() const {
    return m_listed > 0 || m_counts.Failed > 0 || !m_counts.StopReason.empty() ||
           (IsUpdate() && m_counts.WorkersGaveUp > 0);
}

TaskOutcome TaskRun::Outcome(const WorkerPositions& positions, const std::string& goOn) const {
    TaskOutcome outcome;
    outcome.Total = m_task->TileCount;
    outcome.Done = TilesDone(positions);
    outcome.Listed = m_listed;
    outcome.Stopped = m_stopped;
    outcome.LastFailure = m_counts.LastFailure;
    outcome.StopReason = m_counts.StopReason;
    outcome.Seconds = Seconds();
    outcome.GoOn = goOn;
    return outcome;
}

std::string TaskRun::EndText(const WorkerPositions& positions, const EndWords& words) const {
    if (!IsUpdate())
        return OutcomeText(Outcome(positions, words.DownloadGoOn));
    return UpdateEndText(words.ShortSummary ? UpdateSummaryShort(m_counts)
                                            : UpdateSummary(m_counts),
                         m_stopped, m_counts.StopReason, words.UpdateGoOn);
}

} // namespace quarrow
