// Asks the service again for the tiles of a task that came back blank: the window's File > Fetch
// blank tiles again... and quarrow-batch --retry-blanks both run it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "StartRules.h"
#include "download/Rerun.h"

namespace quarrow {

struct BlankRetryCounts {
    long long Asked = 0;      // tiles whose file was the blank image
    long long Saved = 0;      // now the service's image
    long long StillBlank = 0; // the service still has none (404, 400)
    long long Failed = 0;     // another failure: the blank stays, to be asked again later
    bool Stopped = false;
};

// "12 blank tiles asked again: 9 saved, 2 still blank (the service has none), 1 failed.", with
// " Stopped: the rest stay blank." after a stop.
std::string BlankRetryText(const BlankRetryCounts& counts);

// Under the task's lock, asks for every tile of the project file's task whose file is the blank
// image (or empty, as a power cut leaves a blank being replaced), with the re-download's client rules for the task, and saves each answer that is a whole
// image of the task's format in the blank's place, by the source's rules (SourceFetcher: its pace
// and pauses waited with sleep, SlicedSleeper(stopNow) when none is given); the tiles are made
// durable as a run's are (FetchedTiles), every few seconds and at the end. show gets a line for
// each tile and the end's text; stopNow is asked before each tile. A tile file that cannot be
// made durable ends the run with its Exception. Throws an Exception for a file that is no task's, a
// task that is running, or a blank image that cannot be read.
BlankRetryCounts RetryBlankTiles(const StartSettings& settings, const std::string& projectFile,
                                 const std::string& executableFolder,
                                 const std::function<void(std::string_view line)>& show,
                                 const std::function<bool()>& stopNow, Sleeper sleep = {});

} // namespace quarrow
