// One run of a task outside any window, a download or an update of its tiles: the log and the
// failed list it keeps, the records, what its workers tell (lines and typed events), the counts,
// the saves, and how it ended. The main window and quarrow-batch each present one and decide
// nothing of their own about it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "StartRules.h"
#include "TaskOutcome.h"
#include "download/TileEvent.h"
#include "store/LineStore.h"
#include "store/TileBatch.h"
#include "store/TileRecords.h"
#include "engine/Unitclasstask.h"

namespace quarrow {


// Where a run's lines go: the window's pane, or a store of quarrow-batch's.
class LineSink {
public:
    virtual ~LineSink() = default;
    // The file's lines in place of what was there; throws an Exception when it cannot be read.
    virtual void Load(const std::string& path) = 0;
    virtual void Append(const std::string& line) = 0;
    virtual std::vector<std::string> Lines() const = 0;
    // The lines as they are now, to be saved from any thread.
    virtual LineStore Copy() const {
        LineStore copy;
        copy.SetLines(Lines());
        return copy;
    }
};

// The words that end a run, as each presenter says them.
struct EndWords {
    bool ShortSummary = false; // an update's summary as the status bar has it
    std::string DownloadGoOn;  // how to go on after a stopped download; empty: the window's Start
    std::string UpdateGoOn;    // appended to a stopped update's summary
};

class TaskRun {
public:
    // A save's failure: the file and the message.
    using Reporter = std::function<void(const std::string& path, const std::string& message)>;

    // Loads the task's log and failed list into the sinks (an update's head lines after the log)
    // and opens the records a run keeps (a custom source's downloads, every update). Neither sink
    // is owned; both must outlive the run. The blank image is found in the program's folder.
    // Held: the sinks hold the task's lines already, and nothing is loaded.
    enum class Lines { Load, Held };
    TaskRun(std::shared_ptr<DownloadTask> task, LineSink& log, LineSink& failed,
            const std::string& executableFolder, Lines lines = Lines::Load,
            TileBatch::Flusher flusher = FlushWritten);
    ~TaskRun();
    TaskRun(const TaskRun&) = delete;
    TaskRun& operator=(const TaskRun&) = delete;

    const std::shared_ptr<DownloadTask>& Task() const noexcept { return m_task; }
    bool IsUpdate() const noexcept { return m_task->Params->Update.has_value(); }
    // What the run found missing at its start (a log or failed list a cut did not let a new task
    // write), for the presenter to tell once.
    const std::vector<std::string>& Notices() const noexcept { return m_notices; }
    // Why the records cannot be kept, said once; empty when they can or none are kept.
    const std::string& RecordsProblem() const noexcept { return m_recordsProblem; }

    // What the workers tell, on the host's thread.
    void LogLine(const std::string& line);
    void FailedLine(const std::string& line);
    void TileEnded(const TileEvent& event);
    void WorkerEnded(const WorkerEndEvent& event);

    // A stop was asked of the workers in these slots: their stop lines.
    void Stop(int workers);
    bool Stopped() const noexcept { return m_stopped; }

    // The five-second save: the log, then the tiles written since the last save, then what
    // counts them: records, failed list, resume keys. A save's failure is reported and the
    // others go on; tiles that could not be flushed are reported once, stop every later step of
    // this run's saves, and end the run: the presenter stops its workers (TilesLost).
    void Save(const WorkerPositions& positions, const Reporter& report);
    // The same in three steps, so that the writing can run off the host's thread: BeginSave
    // takes what is to be saved (on the host's thread), WriteSave writes it (on any thread; the
    // host calls nothing of the run meanwhile but TileEnded, the lines and the counts), EndSave
    // reports what failed (on the host's thread).
    void BeginSave(const WorkerPositions& positions);
    void WriteSave();
    void EndSave(const Reporter& report);
    bool TilesLost() const noexcept { return m_batch.Failure().has_value(); }
    // The end, once every worker has ended: an update's summary line and the end of its pass
    // when it was whole, the closing lines, the last save, the census of the task's tiles. In
    // three steps as a save: BeginClose and EndClose on the host's thread, WriteClose on any.
    void Close(const WorkerPositions& positions, const Reporter& report);
    void BeginClose(const WorkerPositions& positions);
    void WriteClose();
    void EndClose(const Reporter& report);

    // This run's counts; an update's whole counts take in the earlier runs of its pass.
    const RunCounts& Counts() const noexcept { return m_counts; }
    RunCounts UpdateCounts() const;
    int Listed() const noexcept { return m_listed; } // failed-list entries this run added
    int TilesDone(const WorkerPositions& positions) const;
    double Seconds() const;
    // Tiles per second of this run alone: an update's, the tiles it asked.
    double Rate(const WorkerPositions& positions) const;
    // Whether the run did all it was asked: not stopped, no worker gave up, nothing refused;
    // a download with every tile of the task saved or blank (after Close: as the disk has them),
    // an update with no tile failed and its records kept.
    bool Complete(const WorkerPositions& positions) const;
    // Whether tiles are left listed or unasked for a reason a later run can mend.
    bool SomeFailed() const;
    // The task's tiles as Close found them on disk; none before.
    const std::optional<TileCensus>& Census() const noexcept { return m_census; }
    TaskOutcome Outcome(const WorkerPositions& positions, const std::string& goOn) const;
    // How the run ended, in the presenter's words.
    std::string EndText(const WorkerPositions& positions, const EndWords& words) const;

private:
    struct PendingSave;

    std::shared_ptr<DownloadTask> m_task;
    TileBatch m_batch; // the tiles written since the last save
    std::string m_blankImage;
    std::optional<TileCensus> m_census;
    LineSink& m_log;
    LineSink& m_failed;
    std::unique_ptr<TileRecords> m_records;
    std::string m_recordsProblem;
    std::vector<std::string> m_notices;
    bool m_problemTold = false;   // the presenter tells the problem of the start
    bool m_recordsFailed = false; // an update whose records could not all be kept is not whole
    std::array<std::int64_t, TileRecords::PassCountKinds> m_earlier{}; // of the pass's runs before
    RunCounts m_counts;
    std::vector<TileRecord> m_unsaved; // records since the last save
    std::unique_ptr<PendingSave> m_pending; // the save between its begin and its end
    int m_listed = 0;
    bool m_stopped = false;
    bool m_closed = false;
    int m_doneAtStart = 0;
    std::chrono::steady_clock::time_point m_start;
};

} // namespace quarrow
