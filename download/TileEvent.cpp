#include "TileEvent.h"

namespace quarrow {

void RunCounts::Add(const TileEvent& event) {
    ++Checked;
    BytesFetched += event.BytesReceived;
    BytesHeld += event.BytesHeld;
    switch (event.Outcome) {
    case TileOutcome::Saved: ++Saved; break;
    case TileOutcome::Unchanged: ++Unchanged; break;
    case TileOutcome::Changed: ++Changed; break;
    case TileOutcome::Blank: ++Blank; break;
    case TileOutcome::Gone: ++Gone; break;
    case TileOutcome::Failed:
    case TileOutcome::Cut:
    case TileOutcome::Refused:
        ++Failed;
        LastFailure = event.Message;
        break;
    }
}

void RunCounts::Add(const WorkerEndEvent& event) {
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
