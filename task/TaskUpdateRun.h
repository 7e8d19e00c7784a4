// An update of a task outside any window: the task as its project file has it with the update's
// rules, and the words for what an update found. The window's File >
// Update task and quarrow-batch --update both run it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "StartRules.h"
#include "StoredTask.h"
#include "download/TileEvent.h"
#include "store/TileFile.h"
#include "store/TileRecords.h"
#include "engine/Unitclasstask.h"

namespace quarrow {

// The task of the project file, ready for an update's workers: its source, shape and tiles as
// stored, every worker from its first tile, the rules with its source's MinAge, and the pass of an
// update that was stopped before its end (so that the same update goes on) or else a new one; its
// lock held. Throws as OpenStoredTask does.
StoredTask PrepareUpdate(const StartSettings& settings, const std::string& projectFile,
                         UpdateRules rules);

// The line that opens an update in the task's log.
std::string UpdateHeadLine(const UpdateRules& rules, const std::string& when);
// The lines a host adds to the log it loaded for an update: a rule, then the head line.
std::vector<std::string> UpdateHeadLines(const DownloadTask& task);

// "12,345 tiles checked: 11,000 unchanged, 1,200 changed, 145 gone from the service, 0 failed;
// 18 MB fetched of 240 MB", after "360 tiles: 0 asked, 360 skipped (checked less than 1 day
// ago); " when the rules skipped tiles.
std::string UpdateSummary(const RunCounts& counts, const UpdateRules& rules);
// The status bar's: "Update: 12,345 checked, 1,200 changed, 145 gone, 0 failed", and ", 360
// skipped" when the rules skipped tiles.
std::string UpdateSummaryShort(const RunCounts& counts);
// How an update ended: its summary, after why the service refused it when it did, or with how to
// go on after a stop.
std::string UpdateEndText(const std::string& summary, bool stopped, const std::string& stopReason,
                          const std::string& goOn);

} // namespace quarrow
