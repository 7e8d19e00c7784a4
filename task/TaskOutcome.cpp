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

std::string GivenUpMessage(std::string_view errorLine, std::string_view entry) {
    const std::string url = SplitFailureEntry(entry).Url;
    const std::string tail = "->" + url;
    if (!errorLine.ends_with(tail))
        return {};
    errorLine.remove_suffix(tail.size());
    if (errorLine.ends_with(":failed "))
        return "failed";
    const std::size_t blank = errorLine.find(' ');
    return blank == std::string_view::npos ? std::string()
                                           : std::string(errorLine.substr(blank + 1));
}

void GivenUpTracker::LogLine(const std::string& line) {
    if (line.starts_with(failure::CertificateRefusedLead))
        m_stopReason = line;
    constexpr std::size_t Kept = 16; // two lines of each of eight workers
    m_recent.push_back(line);
    if (m_recent.size() > Kept)
        m_recent.pop_front();
}

void GivenUpTracker::FailedLine(std::string_view entry) {
    ++m_listed;
    for (auto recent = m_recent.rbegin(); recent != m_recent.rend(); ++recent) {
        if (std::string message = GivenUpMessage(*recent, entry); !message.empty()) {
            m_lastFailure = std::move(message);
            return;
        }
    }
}

void GivenUpTracker::Clear() {
    m_recent.clear();
    m_lastFailure.clear();
    m_stopReason.clear();
    m_listed = 0;
}

} // namespace quarrow
