// The download worker: one thread that fetches its share of a task's tiles.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>

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

    void Terminate() noexcept;
    bool Terminated() const noexcept;

    // {LastX, LastY} of the last finished tile, always read as one pair.
    std::pair<int, int> LastPosition() const noexcept;

    const std::shared_ptr<const DownloadTask> Task;
    const int ThreadIndex;

private:
    void Execute(std::stop_token stop);
    // Filled in with the worker.

    WorkerHost& m_host;
    std::string LogLine;
    std::unique_ptr<TIdHTTP> Client;
    std::atomic<std::uint64_t> m_lastPosition{0};
    std::jthread m_thread; // last: starts after every other member exists
};

} // namespace quarrow

using quarrow::TDownThread;
