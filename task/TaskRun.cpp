#include "TaskRun.h"

#include <algorithm>
#include <filesystem>

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
        // A cut while a new task wrote its files may leave its project without its log or its
        // failed list: the run goes on with them empty, and says so.
        const auto load = [this](LineSink& sink, const std::string& path) {
            std::error_code ec;
            if (std::filesystem::symlink_status(path, ec).type() ==
                std::filesystem::file_type::not_found) {
                m_notices.push_back(path + " was missing: it begins anew.");
                return;
            }
            sink.Load(path);
        };
        load(m_log, m_task->LogFile);
        if (IsUpdate())
            for (const std::string& line : UpdateHeadLines(*m_task))
                m_log.Append(line);
        load(m_failed, m_task->FailedFile);
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
    // Put with the save that commits them, after their tiles are flushed.
    if (event.Record && m_records)
        m_unsaved.push_back(*event.Record);
}

void TaskRun::WorkerEnded(const WorkerEndEvent& event) {
    m_counts.Add(event);
}

void TaskRun::Stop(int workers) {
    m_stopped = true;
    for (int slot = 0; slot < workers; ++slot)
        m_log.Append(StopLine(slot));
}

// What one save writes, taken on the host's thread.
struct TaskRun::PendingSave {
    WorkerPositions Positions;
    LineStore Log, Failed;
    TileBatch Tiles;
    std::vector<TileRecord> Records;
    std::optional<std::array<std::int64_t, TileRecords::PassCountKinds>> PassCounts;
    bool EndPass = false; // a whole update's last save ends its pass
    bool Census = false;  // the end's: the task's tiles counted after
    // Found while writing.
    std::vector<std::pair<std::string, std::string>> Problems; // path, message
    std::optional<std::string> RecordsFault;
    std::optional<TileCensus> Counted;
};

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
    BeginSave(positions);
    WriteSave();
    EndSave(report);
}

void TaskRun::BeginSave(const WorkerPositions& positions) {
    m_pending = std::make_unique<PendingSave>(
        PendingSave{positions, m_log.Copy(), m_failed.Copy(), m_batch.Take(),
                    std::move(m_unsaved), std::nullopt, false, false, {}, std::nullopt, std::nullopt});
    m_unsaved.clear();
    if (m_records && IsUpdate()) {
        const RunCounts whole = UpdateCounts();
        m_pending->PassCounts = {whole.Unchanged, whole.Changed, whole.Gone, whole.BytesFetched,
                                 whole.BytesHeld};
    }
}

void TaskRun::WriteSave() {
    PendingSave& save = *m_pending;
    const auto reported = [&save](const std::string& path, const std::function<void()>& write) {
        try {
            write();
        } catch (const Exception& error) {
            save.Problems.emplace_back(path, error.Message());
        }
    };
    reported(m_task->LogFile, [&] { save.Log.Save(m_task->LogFile); });
    const std::string records = TaskFilesOf(m_task->ProjectFile()).Records;
    try {
        save.Tiles.Commit({
            [&] {
                if (!m_records)
                    return;
                try {
                    for (const TileRecord& record : save.Records)
                        m_records->Put(record);
                    if (save.PassCounts)
                        m_records->SetPassCounts(*save.PassCounts);
                    if (save.EndPass)
                        m_records->EndUpdate();
                    m_records->Commit();
                } catch (const Exception& error) {
                    save.RecordsFault = error.Message();
                    save.Problems.emplace_back(records, error.Message());
                }
            },
            [&] { reported(m_task->FailedFile, [&] { save.Failed.Save(m_task->FailedFile); }); },
            [&] {
                reported(m_task->ProjectFile(), [&] { SaveResumeKeys(*m_task, save.Positions); });
            },
        });
    } catch (const Exception&) {
        // Told by EndSave, from the batch's failure.
    }
    if (save.Census)
        save.Counted = CountTiles(*m_task, m_blankImage, save.Failed.Lines());
}

void TaskRun::EndSave(const Reporter& report) {
    const std::unique_ptr<PendingSave> save = std::move(m_pending);
    m_batch.Merge(save->Tiles);
    for (const auto& [path, message] : save->Problems)
        report(path, message);
    if (save->RecordsFault) {
        m_recordsFailed = IsUpdate();
        m_problemTold = true; // told with the save's problems
        if (m_recordsProblem.empty())
            m_recordsProblem = *save->RecordsFault;
    }
    // Told once; the run stops, and what the lost tiles' counts would have said stays unsaid.
    if (const std::optional<std::string>& lost = m_batch.Failure();
        lost && m_counts.StopReason.empty()) {
        m_counts.StopReason = std::string(TilesNotSavedLead) + *lost;
        m_recordsFailed = IsUpdate();
        report(m_task->TileFolder, m_counts.StopReason);
    }
    if (save->Counted)
        m_census = save->Counted;
}

void TaskRun::Close(const WorkerPositions& positions, const Reporter& report) {
    BeginClose(positions);
    WriteClose();
    EndClose(report);
}

void TaskRun::BeginClose(const WorkerPositions& positions) {
    if (m_closed)
        return;
    m_closed = true;
    if (IsUpdate())
        m_log.Append(UpdateSummary(UpdateCounts(), *m_task->Params->Update));
    for (const std::string& line : ClosingLines(*m_task))
        m_log.Append(line);
    BeginSave(positions);
    // A whole update ends its pass, so the next begins anew; one stopped or given up goes on.
    m_pending->EndPass = IsUpdate() && m_records && Complete(positions);
    m_pending->Census = !IsUpdate();
}

void TaskRun::WriteClose() {
    if (m_pending)
        WriteSave();
}

void TaskRun::EndClose(const Reporter& report) {
    if (!m_pending)
        return;
    EndSave(report);
    // A record that could not be put is told once, with the end.
    if (!m_recordsProblem.empty() && !m_problemTold) {
        m_problemTold = true;
        report(TaskFilesOf(m_task->ProjectFile()).Records, m_recordsProblem);
    }
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
