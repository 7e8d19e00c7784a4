// The reason is told by the same markers by which the workers judged the failure.
#include "TaskOutcome.h"

#include <algorithm>
#include <cstdio>

#include "StartRules.h"
#include "download/FailedTileList.h"
#include "download/FailureTexts.h"

namespace quarrow {

namespace {

std::string FirstWord(std::string_view text) {
    return std::string(text.substr(0, text.find(' ')));
}

// The reason in words, from the message of the last tile given up.
std::string Reason(const TaskOutcome& outcome) {
    const std::string_view message = outcome.LastFailure;
    if (message.empty())
        return outcome.Stopped ? "stopped" : "";
    if (failure::Holds(message, failure::Status302) || failure::Holds(message, failure::Status403))
        return "the service refused: " + FirstWord(message);
    std::string oneLine(message);
    std::replace(oneLine.begin(), oneLine.end(), '\r', ' ');
    oneLine.erase(std::remove(oneLine.begin(), oneLine.end(), '\n'), oneLine.end());
    if (failure::Holds(message, failure::SocketError))
        return "the network failed: " + oneLine;
    return oneLine;
}

} // namespace

std::string OutcomeText(const TaskOutcome& outcome) {
    const std::string of = std::to_string(outcome.Done) + " of " + std::to_string(outcome.Total);
    const long long missing = outcome.Total - outcome.Done;
    if (missing <= 0 && outcome.Listed == 0)
        return of + " tiles saved in " + DurationText(outcome.Seconds);
    std::string text = of + " tiles: ";
    text += missing > 0 ? std::to_string(missing) + " not fetched"
                        : std::to_string(outcome.Listed) + " failed";
    // The reason first, where a narrow status bar still shows it.
    if (!outcome.StopReason.empty())
        return outcome.StopReason + " " + text + ".";
    if (const std::string reason = Reason(outcome); !reason.empty())
        text += " (" + reason + ")";
    // A resume fetches what was never fetched, the refused tiles included; the failed list
    // holds the rest.
    if (missing <= 0)
        return text + ". Re-download them from the failed list.";
    return text + ". " +
           (outcome.GoOn.empty() ? std::string("Start again with the same entries to go on.")
                                 : outcome.GoOn);
}

} // namespace quarrow
