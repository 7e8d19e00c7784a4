// What a download worker needs from the program that runs it. The main window implements it;
// tests implement their own.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace quarrow {

struct TileEvent;
struct WorkerEndEvent;

// How long a request in flight may go on after a stop before it is cut.
inline constexpr std::chrono::milliseconds DefaultStopGrace{2000};

class WorkerHost {
public:
    virtual ~WorkerHost() = default;

    // Runs the call on the UI thread and waits for it.
    virtual void Synchronize(const std::function<void()>& call) = 0;
    // Hands the call to the UI thread to run there later, in order with the worker's other calls,
    // and returns at once: a custom source's lines, which nothing waits for. A host without a
    // queue of its own runs it as Synchronize does.
    virtual void Post(std::function<void()> call) { Synchronize(call); }
    // These three are called only inside Synchronize. A line may hold line breaks of its own.
    virtual void AppendLogLine(const std::string& line) = 0;
    virtual void AppendFailedLine(const std::string& line) = 0;
    virtual void LowerRunningWorkers() = 0;
    // Sleeps; a test's host records the wait instead. Every wait of the worker is one call, so
    // slot 0's start wait arrives as Sleep(0), which must return at once.
    virtual void Sleep(int milliseconds) = 0;
    // The running program's folder, ending in the separator.
    virtual std::string ExecutableFolder() = 0;
    // The stop's grace; a test's host shortens or lengthens it instead of waiting it out.
    virtual std::chrono::milliseconds StopGrace() { return DefaultStopGrace; }
    // What became of a tile, told inside the same call as the tile's last line; a host that
    // counts nothing ignores it.
    virtual void TileEnded(const TileEvent&) {}
    // Why a worker ended, told inside its WorkerDone call, before LowerRunningWorkers.
    virtual void WorkerEnded(const WorkerEndEvent&) {}
};

} // namespace quarrow

using quarrow::WorkerHost;
