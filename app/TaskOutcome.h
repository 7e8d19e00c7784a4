// What the status bar says once a task has ended: how many tiles it got, and why it got fewer.
#pragma once

#include <string>
#include <string_view>

namespace quarrow {

struct TaskOutcome {
    long long Total = 0;
    long long Done = 0; // saved, or replaced by the blank image
    int Listed = 0;     // entries this run added to the failed list
    bool Stopped = false;
    std::string LastFailure; // the message of the last tile given up, empty for none
    double Seconds = 0;
};

// "99 of 99 tiles saved in 14 s", or "51 of 99 tiles: 48 not fetched (the service refused:
// 403). Start again with the same entries to go on."
std::string OutcomeText(const TaskOutcome& outcome);

// The failure's message in the worker's error line that came just before a failed-list entry
// ("T3 403 Forbidden->URL" before "PATH|URL"); "failed" for the bare line; empty when the line
// is no error line of that entry.
std::string GivenUpMessage(std::string_view errorLine, std::string_view entry);

} // namespace quarrow
