#include "TaskRun.h"

#include <algorithm>

#include "TaskUpdateRun.h"
#include "base/Exception.h"
#include "engine/Locations.h"
#include "store/TileRecords.h"

namespace quarrow {

TaskRun::TaskRun(std::shared_ptr<DownloadTask> task, LineSink& log, LineSink& failed,
                 const std::string& executableFolder, Lines lines, TileBatch::Flusher flusher)
    : m_task(std::move(task)), m_batch(m_task->TileFolder, std::move(flusher)),
      m_blankImage(BlankImagePath(executableFolder, m_task->TileExtension())), m_log(log),
      m_failed(failed),
      m_start(std::chrono::steady_clock::now()) {
    if (lines == Lines::Load) {
        m_log.Load(m_task->LogFile);
        if (IsUpdate())
            for (const std::string& line : UpdateHeadLines(*m_task))
                m_log.Append(line);
        m_failed.Load(m_task->FailedFile);
    }
    if (m_task->Params->Source || IsUpdate()) {
        try {
            m_records = std::make_unique<TileRecords>(TaskFilesOf(m_task->ProjectFile()).Records,
                                                      TileRecords::Access::Write);
            if (IsUpdate()) {
                const std::int64_t pass = m_task->Params->Update->Pass;
                if (m_records->GoesOn(pass))
                    m_earlier = m_records->PassCounts();
                m_records->BeginUpdate(pass);
            }
        } catch (const Exception& error) {
            m_records.reset();
            m_recordsProblem = error.Message();
            m_problemTold = true;
            m_recordsFailed = IsUpdate();
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
    switch (event.Outcome) {
    case TileOutcome::Saved:
    case TileOutcome::Changed:
    case TileOutcome::Blank:
    case TileOutcome::Failed:
        m_batch.Add(m_task->TilePath(event.X, event.Y));
        break;
    case TileOutcome::Unchanged:
    case TileOutcome::Cut:
    case TileOutcome::Gone:
    case TileOutcome::Refused:
        break;
    }
    if (!event.Record || !m_records)
        return;
    try {
        m_records->Put(*event.Record);
    } catch (const Exception& error) {
        m_recordsFailed = IsUpdate();
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
    if (!m_records)
        return;
    try {
        if (IsUpdate()) {
            const RunCounts whole = UpdateCounts();
            m_records->SetPassCounts(
                {whole.Unchanged, whole.Changed, whole.Gone, whole.BytesFetched, whole.BytesHeld});
        }
        m_records->Commit();
    } catch (const Exception&) {
        m_recordsFailed = IsUpdate();
        throw;
    }
}

RunCounts TaskRun::UpdateCounts() const {
    RunCounts whole = m_counts;
    whole.Unchanged += m_earlier[0];
    whole.Changed += m_earlier[1];
    whole.Gone += m_earlier[2];
    whole.BytesFetched += m_earlier[3];
    whole.BytesHeld += m_earlier[4];
    whole.Checked += m_earlier[0] + m_earlier[1] + m_earlier[2];
    // What the earlier runs checked is skipped now, and counted above instead.
    whole.Skipped[static_cast<std::size_t>(UpdateSkip::ThisUpdate)] = 0;
    return whole;
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
    try {
        m_batch.Commit({
            [&] { reported(TaskFilesOf(m_task->ProjectFile()).Records, [this] { SaveRecords(); }); },
            [&] { reported(m_task->FailedFile, [this] { m_failed.Save(m_task->FailedFile); }); },
            [&] { reported(m_task->ProjectFile(), [&] { SaveResumeKeys(*m_task, positions); }); },
        });
    } catch (const Exception& error) {
        // Told once; the run stops, and what the lost tiles' counts would have said stays unsaid.
        if (m_counts.StopReason.empty()) {
            m_counts.StopReason = error.Message();
            m_recordsFailed = IsUpdate();
            report(m_task->TileFolder, error.Message());
        }
    }
}

void TaskRun::Close(const WorkerPositions& positions, const Reporter& report) {
    if (m_closed)
        return;
    m_closed = true;
    const std::string records = TaskFilesOf(m_task->ProjectFile()).Records;
    // A record that could not be put is told once, with the update's end.
    if (!m_recordsProblem.empty() && !m_problemTold) {
        m_problemTold = true;
        report(records, m_recordsProblem);
    }
    if (IsUpdate()) {
        m_log.Append(UpdateSummary(UpdateCounts(), *m_task->Params->Update));
        // A whole update ends its pass, so the next begins anew; one stopped or given up goes on.
        if (m_records && Complete(positions)) {
            try {
                m_records->EndUpdate();
            } catch (const Exception& error) {
                m_recordsFailed = true;
                report(records, error.Message());
            }
        }
    }
    for (const std::string& line : ClosingLines(*m_task))
        m_log.Append(line);
    Save(positions, report);
    if (!IsUpdate())
        m_census = CountTiles(*m_task, m_blankImage, m_failed.Lines());
}

int TaskRun::TilesDone(const WorkerPositions& positions) const {
    return quarrow::TilesDone(*m_task, positions);
}

double TaskRun::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

double TaskRun::Rate(const WorkerPositions& positions) const {
    const double seconds = Seconds();
    if (seconds <= 0)
        return 0;
    // An update's positions leap over the tiles it does not ask.
    if (IsUpdate())
        return static_cast<double>(m_counts.Checked) / seconds;
    return (TilesDone(positions) - m_doneAtStart) / seconds;
}

bool TaskRun::Complete(const WorkerPositions& positions) const {
    if (m_stopped || m_counts.WorkersGaveUp > 0 || !m_counts.StopReason.empty())
        return false;
    if (IsUpdate())
        return m_counts.Failed == 0 && !m_recordsFailed;
    if (m_census)
        return m_census->Failed == 0 && m_census->NotFetched == 0;
    return m_listed == 0 && TilesDone(positions) >= m_task->TileCount;
}

bool TaskRun::SomeFailed() const {
    if (m_census && !IsUpdate())
        return m_census->Failed > 0 || !m_counts.StopReason.empty();
    return m_listed > 0 || m_counts.Failed > 0 || !m_counts.StopReason.empty() ||
           (IsUpdate() && (m_counts.WorkersGaveUp > 0 || m_recordsFailed));
}

TaskOutcome TaskRun::Outcome(const WorkerPositions& positions, const std::string& goOn) const {
    TaskOutcome outcome;
    outcome.Total = m_task->TileCount;
    if (m_census) {
        outcome.Tiles = *m_census;
    } else {
        // Before the end, from this run's own counts.
        outcome.Tiles.Failed = m_listed;
        outcome.Tiles.Saved = std::max(0, TilesDone(positions) - m_listed);
        outcome.Tiles.NotFetched = m_task->TileCount - TilesDone(positions);
    }
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
    const UpdateRules& rules = *m_task->Params->Update;
    return UpdateEndText(words.ShortSummary ? UpdateSummaryShort(UpdateCounts())
                                            : UpdateSummary(UpdateCounts(), rules),
                         m_stopped, m_counts.StopReason, words.UpdateGoOn);
}

} // namespace quarrow
