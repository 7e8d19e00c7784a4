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

#include "../engine/TileRecords.h"
#include "../engine/Unitclasstask.h"
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
    enum class Next { Continue, Leave };

    TDownThread(int threadIndex, std::shared_ptr<const DownloadTask> task, WorkerHost& host,
                GetFunction get);

    void Execute(std::stop_token stop);
    void Walk(const std::stop_token& stop);
    Next FetchTile(int x, int y, int sequenceNumber, const std::stop_token& stop);
    Next SaveTile(int x, int y, int sequenceNumber, const std::string& url, std::string& buffer,
                  const std::stop_token& stop);
    void GiveUp(const std::string& firstLine, int x, int y, const std::string& url);
    // A custom source's pause: waits while the service has asked the task to; false after a
    // stop. And a new pause from the last answer's "Retry-After", or the next growing wait.
    bool WaitForService(const std::stop_token& stop);
    void PauseForService(int status);
    void PutBlank(int x, int y);
    // The tile's record, with what its answer said, to the host; keeps the file's time.
    void Record(int x, int y, const std::string& path);
    // An update's answer 304 or 404 for a tile that stays as it is.
    Next KeepTile(int x, int y, int sequenceNumber, bool gone, const std::stop_token& stop);
    // The wait after a tile the service answered, at the task's pace.
    void Pace(const std::stop_token& stop);
    void SetLastPosition(int x, int y) noexcept;
    std::string Tag() const; // "T" + slot number counted from 1

    // The synchronous calls to the UI thread.
    void AddLogLine();
    void AddFailedLine();
    void WorkerDone();
    void SendLog(std::string line);
    void SendFailed(std::string line);

    WorkerHost& m_host;
    GetFunction m_get;
    std::string LogLine;
    std::unique_ptr<TIdHTTP> Client;
    std::string m_blankImagePath;
    // An update's: the records the tiles were saved with, and the record and file of the tile at
    // hand, looked at once.
    std::unique_ptr<TileRecords> m_records;
    std::optional<TileRecord> m_record;
    std::optional<TileFile> m_held;
    bool m_paceBeforeNext = false; // a custom source's wait is owed before the next request
    std::atomic<std::uint64_t> m_lastPosition{0};
    std::jthread m_thread; // last: starts after every other member exists
};

// The last positions of the workers in their slots; {0, 0} for an empty slot.
std::vector<std::pair<int, int>> PositionsOf(std::span<const std::unique_ptr<TDownThread>> workers);

} // namespace quarrow

using quarrow::TDownThread;
