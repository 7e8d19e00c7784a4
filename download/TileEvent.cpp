#include "TileEvent.h"

namespace quarrow {

void RunCounts::Add(const TileEvent& event) {
    BytesFetched += event.BytesReceived;
    // A cut tile is as it was: not checked, its file's bytes not counted.
    if (event.Outcome == TileOutcome::Cut) {
        ++Cut;
        return;
    }
    ++Checked;
    BytesHeld += event.BytesHeld;
    switch (event.Outcome) {
    case TileOutcome::Saved: ++Saved; break;
    case TileOutcome::Unchanged: ++Unchanged; break;
    case TileOutcome::Changed: ++Changed; break;
    case TileOutcome::Blank: ++Blank; break;
    case TileOutcome::Gone: ++Gone; break;
    case TileOutcome::Cut: break;
    case TileOutcome::Failed:
    case TileOutcome::Refused:
        ++Failed;
        LastFailure = event.Message;
        break;
    }
}

void RunCounts::Add(const WorkerEndEvent& event) {
    for (std::size_t i = 0; i < Skipped.size(); ++i)
        Skipped[i] += event.Skipped[i];
    switch (event.Reason) {
    case WorkerEnd::Walked:
    case WorkerEnd::Stopped:
        return;
    case WorkerEnd::CertificateRefused:
        StopReason = event.Message;
        break;
    case WorkerEnd::GaveUp:
    case WorkerEnd::Fault:
        break;
    }
    ++WorkersGaveUp;
}

} // namespace quarrow
