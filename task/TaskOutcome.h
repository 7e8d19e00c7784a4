// What the status bar and quarrow-batch's last line say once a task has ended: each tile of the
// whole task as it is on disk (saved, blank, listed, not fetched), and why some are not saved.
#pragma once

#include <string>
#include <vector>

namespace quarrow {

class DownloadTask;

// The task's covered tiles now: each is exactly one of these.
struct TileCensus {
    long long Saved = 0;      // an image from the service (a listed one fetched again included)
    long long Blank = 0;      // the blank image: the service has no such tile
    long long Failed = 0;     // listed for the re-download and without its image
    long long NotFetched = 0; // no file, or an empty one
};

// Counts the task's tiles from its folder and its failed list's entries; blankImage is the
// blank image's file, whose bytes a blank tile holds.
TileCensus CountTiles(const DownloadTask& task, const std::string& blankImage,
                      const std::vector<std::string>& failedEntries);

struct TaskOutcome {
    long long Total = 0;
    TileCensus Tiles;
    bool Stopped = false;
    std::string LastFailure; // the message of the last tile given up, empty for none
    double Seconds = 0;
    // Why the workers gave up before their tiles, when the service refused this client for every
    // tile alike (its certificate): said whole.
    std::string StopReason;
    // How to go on after a stop; empty: the window's Start with the same entries.
    std::string GoOn;
};

// "99 tiles: 91 saved, 3 blank (the service has none), 5 failed (listed for re-download).
// Re-download them from the failed list.", "..., 48 not fetched (stopped). Start again with the
// same entries to go on.", "...: 99 saved, 0 blank ..., 0 failed (...). Done in 14 s."
std::string OutcomeText(const TaskOutcome& outcome);

} // namespace quarrow
