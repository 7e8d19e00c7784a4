// What the Start action decides without widgets: the settings it reads, the coordinate texts, the
// area and name checks, the project file name, the resume test, the room for the tile list and the
// task's entries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/NumberText.h"
#include "geo/TileCoverage.h"
#include "engine/Unitclasstask.h"

namespace quarrow {

// The first failed range or order check's message, in the order the user is told them; nullopt
// when the area passes.
std::optional<std::string> CheckArea(double left, double right, double top, double bottom);

// The settings that every Start reads afresh.
struct StartSettings {
    bool UseProxy = false;
    std::string ProxyServer, ProxyPort, ProxyUsername, ProxyPassword;
    std::string ServiceHost;
    std::string CaFile; // "Tls"/"CaFile": trusted beside the system's certificates
};
StartSettings ReadStartSettings(const std::string& configFile);

// A message when the task name would put the task's files outside the save folder: a name with
// a folder separator, ".", "..", or one that begins with "..".
std::optional<std::string> CheckTaskName(const std::string& taskName);

// The save folder as typed, ending in "/": the folder the task's files are named in.
std::string SaveFolderOf(const std::string& typed);

// The task name with ".zav" appended unless its file name's extension is exactly ".zav".
std::string ProjectNameFor(const std::string& taskName);
// The project file name of a zoom level's task in a zoom range: TASK_z13.zav.
std::string RangeTaskName(const std::string& taskName, int zoom);

// "820 KB", "951 MB", "240 GB": decimal units, the nearest whole number, at least 1.
std::string SizeText(std::uintmax_t bytes);

// A message when a tile list of listBytes does not fit the freeBytes of its disk.
std::optional<std::string> CheckListRoom(std::uintmax_t listBytes, std::uintmax_t freeBytes);

// What a custom source refuses for a task at this zoom level: a service whose terms forbid bulk
// downloading, a zoom level it does not offer; nullopt when it takes the task.
std::optional<std::string> CheckSourceForTask(const TileSource& source, int zoom);

// The entries of a Start that passed the checks, with the settings and the source, as the task's
// record: 8 workers and 8 resume slots until the task lowers them.
std::shared_ptr<TaskParams> MakeTaskParams(const StartSettings& settings, double left, double right,
                                           double top, double bottom, int zoom, int mapsType,
                                           const std::string& savePath,
                                           const std::string& projectName, bool resume,
                                           const std::optional<TileSource>& source);

// The entries of a Start and what an existing project file holds, compared for the resume test.
struct ResumeEntries {
    int MapsType = 0;
    std::string Left, Right, Top, Bottom; // as typed
    int Zoom = 0;
    std::string SavePathTyped;        // the save path as typed
    std::string TaskNameTyped;        // the task name as typed
    std::optional<TileSource> Source; // none: the built-in source
    std::string ShapeText;            // the area's shape as its file holds it; empty: a rectangle
};

// Whether a Start with these entries continues the run of the project file savePath +
// projectName (savePath ends in "/"): it must exist and hold the same map type, coordinate texts,
// zoom, source (name, the map type's template, subdomains and format) and shape, and the
// project's folder and name must be the ones typed.
bool IsResume(const ResumeEntries& entries, const std::string& savePath,
              const std::string& projectName);

// The entries of a Start as typed, with the source and the area's shape that come with them.
struct StartEntries {
    std::string ZoomText;
    int MapsType = 17;
    std::string SavePathTyped;
    std::string TaskName;
    std::string Left, Right, Top, Bottom;
    std::optional<TileSource> Source;             // none: the built-in source
    std::shared_ptr<const AreaShape> Shape;       // none: a rectangle task
    std::shared_ptr<const TileCoverage> Coverage; // the shape's tiles at the zoom, when known
};

// The entries that an existing project file gives a Start, as "Open task" fills the fields: the
// four coordinate texts, the map type and the zoom as stored, the file's folder (ending in "/")
// and name. The source and the shape are the caller's.
StartEntries ReadProjectEntries(const std::string& projectFile);

// What a Start makes of its entries: the task, ready for its files and workers, or the messages
// that refuse it, in the order the user is told them.
// A task of the Start's name whose project file exists and which the Start would write anew.
struct ExistingTask {
    std::string Name; // as the project file names it, without ".zav"
    int Zoom = 0;
    long long Tiles = 0;  // 0 when its file does not say
    long long Failed = 0; // entries of its failed list
    // Whether a Start of the same entries with the name's ".zav" resumes it.
    bool CanResume = false;
};

// "The task NAME already exists (zoom 13, 30 tiles, 5 failed). Resume it, start it anew (its
// files are replaced), or cancel?"
std::string ExistingTaskQuestion(const ExistingTask& task);

struct PreparedStart {
    std::shared_ptr<DownloadTask> Task;
    bool Resume = false;
    std::vector<std::string> Refusal;
    // Set when Task would replace a task that exists (also for an estimate): nothing is written
    // until it is answered.
    std::optional<ExistingTask> Existing;
};

// The Start's checks and its task, as the main window and the program without windows both run
// them: the save path (its folder made, one level), the task name, the coordinates, the source's
// own refusals, the resume test, the room for a new task's list, and the task with its workers
// lowered to its tiles and its source's. freeSpace tells the room on a folder's disk. With
// estimateOnly nothing is made: no folder, and a task only to count its tiles. Throws
// EConvertError when the zoom text is not a number.
PreparedStart PrepareStart(const StartSettings& settings, const StartEntries& entries,
                           const std::function<std::uintmax_t(const std::string&)>& freeSpace,
                           bool estimateOnly = false);

// The room on the disk of the folder; unknown room is no reason to refuse, the write will tell.
std::uintmax_t FreeDiskSpace(const std::string& folder);

// Writes a prepared task's four files: project, tile list, log header and failed list.
void WriteTaskFiles(const DownloadTask& task);

// The log line that tells of the stop asked of the worker in the slot.
std::string StopLine(int slot);

// The lines that close a task's log when its workers have ended.
std::vector<std::string> ClosingLines(const DownloadTask& task);

// Where each worker of the task stands: the column and row of the last tile it finished, 0 for
// none yet, by slot.
using WorkerPositions = std::vector<std::pair<int, int>>;

// The task's tiles done so far: those before each worker's resume point and its last position.
int TilesDone(const DownloadTask& task, const WorkerPositions& positions);

// Saves the workers' positions as the project file's resume keys, in one rewrite; nothing when
// no worker has finished a tile, or for an update (the download's keys stay). Throws an Exception
// when the file cannot be written.
void SaveResumeKeys(const DownloadTask& task, const WorkerPositions& positions);

// A request's time in the estimates, beside the wait after each tile.
inline constexpr double FetchSecondsGuess = 0.1;
// A tile's size in the estimates when nothing better is known.
inline constexpr double DefaultTileBytes = 20000;

// Seconds that `tiles` tiles take shared among `workers` workers at the worker's own pace: the
// wait after each saved tile (one second, or a source's own) plus about `fetchSeconds` for the
// request.
double EstimatedSeconds(long long tiles, int workers, double fetchSeconds,
                        double waitSeconds = 1.0);

// Seconds that a task of `tiles` tiles takes at the pace of its source (the built-in one's: a
// second after each tile) with its workers: at most `workers`, the source's own number and the
// tiles.
double TaskSeconds(long long tiles, const std::optional<TileSource>& source, int workers = 8);

// "42 s", "3 min 20 s", "5 h 07 min", "12 d 03 h", "298 years" (from two years on).
std::string DurationText(double seconds);

// What Start says of a new task that would take more than a day at its source's pace.
std::string LongTaskWarning(double seconds);

// "1 tile", "42 tiles", "68,494,818,470 tiles".
std::string TilesText(unsigned long long tiles);

} // namespace quarrow
