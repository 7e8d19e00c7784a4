// What a worker tells its host besides the lines: what became of each tile it took and why it
// ended, typed, so that no host reads its counts back out of the log's text.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "engine/TaskUpdate.h"
#include "store/TileRecords.h"

namespace quarrow {

enum class TileOutcome {
    Saved,     // a download's tile, in its file
    Unchanged, // an update's tile that the service has as it was
    Changed,   // an update's tile replaced by the service's newer one
    Blank,     // the service has no such tile: the blank image stands in
    Failed,    // listed for a later fetch
    Cut,       // the stop left it unfinished: as it was before, asked again on resume
    Gone,      // an update's tile that the service has no more: its file is kept
    Refused,   // the service refused the worker, or the network failed: listed, the worker ends
};

struct TileEvent {
    int X = 0;
    int Y = 0;
    TileOutcome Outcome = TileOutcome::Saved;
    std::string Message;         // the failure's message, for Failed, Cut and Refused (a service
                                 // error that stands for no tile, Blank, has none)
    long long BytesReceived = 0; // every byte of the tile's answers, headers included
    long long BytesHeld = 0;     // what the tile's file held before, for an update
    std::optional<TileRecord> Record; // what the answer said, for the task's records
};

enum class WorkerEnd {
    Walked,             // its share is done
    Stopped,            // a stop came before the end of its share
    GaveUp,             // a tile ended Refused
    CertificateRefused, // the service's certificate was refused: nothing was listed
    Fault,              // it could not go on (a tile file, the records, the proxy port)
};

struct WorkerEndEvent {
    int Slot = 0;
    WorkerEnd Reason = WorkerEnd::Walked;
    std::string Message; // why, for every reason but Walked and Stopped
    // An update's tiles that it did not ask for, by reason (UpdateSkip).
    std::array<long long, UpdateSkipKinds> Skipped{};
};

// The counts of one run, from its workers' events: the one place where an outcome is counted.
struct RunCounts {
    long long Checked = 0; // tiles that came to an outcome (a cut one did not)
    long long Saved = 0;
    long long Unchanged = 0;
    long long Changed = 0;
    long long Blank = 0;
    long long Failed = 0; // Failed and Refused: listed
    long long Cut = 0;
    long long Gone = 0;
    long long BytesFetched = 0;
    long long BytesHeld = 0;
    int WorkersGaveUp = 0; // left their share before its end without a stop
    std::array<long long, UpdateSkipKinds> Skipped{}; // an update's tiles not asked, by reason
    std::string LastFailure; // the message of the last tile given up
    std::string StopReason;  // what made every worker give up alike (a refused certificate)

    void Add(const TileEvent& event);
    void Add(const WorkerEndEvent& event);
};

} // namespace quarrow
