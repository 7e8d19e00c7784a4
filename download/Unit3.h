// The download worker: one thread that fetches its share of a task's tiles.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "store/TileFile.h"
#include "store/TileRecords.h"
#include "engine/Unitclasstask.h"
#include "SourceFetcher.h"
#include "TileEvent.h"
#include "WorkerHost.h"
#include "httpclient.h"

namespace quarrow {

class TDownThread {
public:
    // Starts the thread at once. The host must outlive the worker (not owned).
    TDownThread(int threadIndex, std::shared_ptr<const DownloadTask> task, WorkerHost& host);
    // Joins the thread.
    ~TDownThread();
    TDownThread(const TDownThread&) = delete;
    TDownThread& operator=(const TDownThread&) = delete;

    // Asks the worker to stop: no new attempt, request or wait begins after it; a request in
    // flight may go on for 2 s, then it is cut and its tile ends as failed. Any thread.
    void Terminate() noexcept;
    bool Terminated() const noexcept;

    // {LastX, LastY} of the last finished tile, always read as one pair.
    std::pair<int, int> LastPosition() const noexcept;

    const std::shared_ptr<const DownloadTask> Task;
    const int ThreadIndex;

private:
    friend class TDownThreadTestAccess;

    // One request on the client; tests replace it to raise what the real client never does.
    using GetFunction =
        std::function<void(TIdHTTP& client, const std::string& url, std::string& buffer)>;

    TDownThread(int threadIndex, std::shared_ptr<const DownloadTask> task, WorkerHost& host,
                GetFunction get);

    void Execute(std::stop_token stop);
    WorkerEndEvent Walk(const std::stop_token& stop);
    // The tile's outcome, told with its last line; none when it was not asked (a stop during a
    // wait, a refused certificate). m_leave says when the worker cannot go on after it.
    std::optional<TileOutcome> FetchTile(int x, int y, int sequenceNumber,
                                         const std::stop_token& stop);
    TileOutcome SaveTile(int x, int y, int sequenceNumber, const std::string& url,
                         std::string& buffer, const std::stop_token& stop);
    // The error line and the tile's entry in the failure pane, the entry with the tile's event
    // when it is the tile's last line.
    void GiveUp(const std::string& firstLine, int x, int y, const std::string& url,
                const TileEvent* last = nullptr);
    // The tile's event, with what its answers brought.
    TileEvent EventOf(int x, int y, TileOutcome outcome, std::string message = {}) const;
    void PutBlank(int x, int y, const TileEvent& event);
    // The tile's record, with what its answer said; keeps the file's time.
    TileRecord Record(int x, int y);
    // Whether the file at the path, as one look found it, is a whole tile image of the task's
    // format.
    bool WholeTile(const std::string& path, const TileFile& file) const;
    // The resume point, moved back before the first of the worker's last tiles that a power cut
    // emptied (or cut short, for a custom source, whose tiles are checked as images).
    int CheckedResumePoint(int resumePoint) const;
    // An update's answer 304 or 404 for a tile that stays as it is.
    TileOutcome KeepTile(int x, int y, int sequenceNumber, bool gone, const std::stop_token& stop);
    // The wait after a tile the service answered, at the task's pace.
    void Pace(const std::stop_token& stop);
    void SetLastPosition(int x, int y) noexcept;
    std::string Tag() const; // "T" + slot number counted from 1

    // The synchronous calls to the UI thread.
    void AddLogLine();
    void AddFailedLine();
    void WorkerDone();
    // Each line goes in a call of its own, with the tile's event when it is the tile's last.
    void SendLog(std::string line, const TileEvent* event = nullptr);
    void SendFailed(std::string line, const TileEvent* event = nullptr);
    void Send(void (WorkerHost::*append)(const std::string&), std::string line,
              const TileEvent* event);

    WorkerHost& m_host;
    GetFunction m_get;
    // Chosen once, when the worker is built. A custom source: its lines posted without waiting,
    // its pace before the next request, its answers checked as images, its tiles recorded. An
    // update: its rules; none for a download.
    const bool m_custom;
    const UpdateRules* const m_update;
    std::string LogLine;
    std::unique_ptr<TIdHTTP> Client;
    std::string m_blankImagePath;
    // An update's: the records the tiles were saved with, and the record and file of the tile at
    // hand, looked at once.
    std::unique_ptr<TileRecords> m_records;
    std::optional<TileRecord> m_record;
    std::optional<TileFile> m_held;
    // An update's tile with no file, an empty one or one that is no whole image: fetched as a
    // download fetches it.
    bool m_broken = false;
    std::array<long long, UpdateSkipKinds> m_skipped{};
    std::optional<SourceFetcher> m_fetcher; // the source's rules for Client, once it is set up
    std::uint64_t m_receivedBefore = 0; // the client's bytes when the tile was first asked
    std::optional<WorkerEndEvent> m_leave; // set when the worker cannot go on
    std::atomic<std::uint64_t> m_lastPosition{0};
    std::jthread m_thread; // last: starts after every other member exists
};

// The last positions of the workers in their slots; {0, 0} for an empty slot.
std::vector<std::pair<int, int>> PositionsOf(std::span<const std::unique_ptr<TDownThread>> workers);

} // namespace quarrow

using quarrow::TDownThread;
