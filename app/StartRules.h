// What the Start action decides without widgets: the coordinate texts, the area checks, the
// project file name and the resume test.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/NumberText.h"

namespace quarrow {

// The first failed range or order check's message, in the order the user is told them; nullopt
// when the area passes.
std::optional<std::string> CheckArea(double left, double right, double top, double bottom);

// The task name with ".zav" appended unless its file name's extension is exactly ".zav".
std::string ProjectNameFor(const std::string& taskName);

// The entries of a Start and what an existing project file holds, compared for the resume test.
struct ResumeEntries {
    int MapsType = 0;
    std::string Left, Right, Top, Bottom; // as typed
    int Zoom = 0;
    std::string SavePathTyped; // the save path as typed
    std::string TaskNameTyped; // the task name as typed
};

// Whether a Start with these entries continues the run of the project file savePath +
// projectName (savePath ends in "/"): it must exist and hold the same map type, coordinate texts
// and zoom, and the project's folder and name must be the ones typed.
bool IsResume(const ResumeEntries& entries, const std::string& savePath,
              const std::string& projectName);

// Seconds that `tiles` tiles take shared among `workers` workers at the worker's own pace: one
// second's wait after each saved tile plus about `fetchSeconds` for the request.
double EstimatedSeconds(long long tiles, int workers, double fetchSeconds);

// "42 s", "3 min 20 s", "5 h 07 min", "12 d 03 h".
std::string DurationText(double seconds);

} // namespace quarrow
