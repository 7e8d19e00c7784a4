// What the status bar says once a task has ended: how many tiles it got, and why it got fewer.
#pragma once

#include <string>

namespace quarrow {

struct TaskOutcome {
    long long Total = 0;
    long long Done = 0; // saved, or replaced by the blank image
    int Listed = 0;     // entries this run added to the failed list
    bool Stopped = false;
    std::string LastFailure; // the message of the last tile given up, empty for none
    double Seconds = 0;
    // Why the workers gave up before their tiles, when the service refused this client for every
    // tile alike (its certificate): said whole.
    std::string StopReason;
    // How to go on after a stop; empty: the window's Start with the same entries.
    std::string GoOn;
};

// "99 of 99 tiles saved in 14 s", or "51 of 99 tiles: 48 not fetched (the service refused:
// 403). Start again with the same entries to go on."
std::string OutcomeText(const TaskOutcome& outcome);

} // namespace quarrow
