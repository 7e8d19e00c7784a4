// The Start action's rules on texts and numbers.
#include "StartRules.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>

#include "engine/TileFormat.h"
#include "download/httpclient.h"
#include "engine/DateTimeText.h"
#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "store/LineStore.h"
#include "engine/ProfileFile.h"
#include "engine/SourcesFile.h"
#include "store/TextFile.h"
#include "geo/ShapeSimplifier.h"
#include "base/TextRules.h"

namespace quarrow {

namespace {

// The local tile service that the project ships, when the settings name no other.
const char* const ServiceHostDefault = "127.0.0.1:8642";

} // namespace

std::optional<std::string> CheckArea(double left, double right, double top, double bottom) {
    if (!(left >= -180 && left <= 180))
        return "Left Longitude should be between -180 and 180.";
    if (!(right >= -180 && right <= 180))
        return "Right Longitude should be between -180 and 180.";
    if (!(top >= -85 && top <= 85))
        return "Top Latitude should be between -85 and 85.";
    if (!(bottom >= -85 && bottom <= 85))
        return "Bottom Latitude should be between -85 and 85.";
    if (!(left <= right))
        return "Left Longitude should less than Right Longitude!";
    if (!(top >= bottom))
        return "Bottom Latitude should less than Top Latitude!";
    return std::nullopt;
}

StartSettings ReadStartSettings(const std::string& configFile) {
    const ProfileFile settings(configFile);
    StartSettings read;
    read.UseProxy = settings.ReadInteger("Proxy", "UseProxy", 0) == 1;
    read.ProxyServer = settings.ReadString("Proxy", "ProxyServer", "");
    read.ProxyPort = settings.ReadString("Proxy", "ProxyPort", "");
    read.ProxyUsername = settings.ReadString("Proxy", "ProxyUsername", "");
    read.ProxyPassword = settings.ReadString("Proxy", "ProxyPassword", "");
    read.ServiceHost = settings.ReadString("Service", "Host", ServiceHostDefault);
    read.CaFile = settings.ReadString("Tls", "CaFile", "");
    return read;
}

std::optional<std::string> CheckTaskName(const std::string& taskName) {
    if (taskName.find_first_of("/\\") != std::string::npos || taskName == "." ||
        taskName.starts_with(".."))
        return "The task name must be a file name, without folders.";
    // The name goes into the task's files and the outputs made from them.
    if (std::any_of(taskName.begin(), taskName.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        }))
        return "The task name must not hold a line break or another control character.";
    if (!IsUtf8(taskName))
        return "The task name must be UTF-8 text.";
    if (const std::string_view tail = TaskFileTailOf(taskName); !tail.empty()) {
        const std::string base = ProjectBaseName(taskName);
        return "The task name must not end in \"" + std::string(tail) + "\": the task \"" +
               base.substr(0, base.size() - tail.size()) + "\" keeps a file of that name.";
    }
    return std::nullopt;
}

std::string SaveFolderOf(const std::string& typed) {
    return typed.ends_with('/') ? typed : typed + '/';
}

std::string ProjectNameFor(const std::string& taskName) {
    return ProjectBaseName(taskName) == taskName ? taskName + ".zav" : taskName;
}

std::string RangeTaskName(const std::string& taskName, int zoom) {
    return ProjectBaseName(taskName) + "_z" + std::to_string(zoom) + ".zav";
}

bool IsResume(const ResumeEntries& entries, const std::string& savePath,
              const std::string& projectName) {
    const std::string projectFile = savePath + projectName;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(projectFile, ec))
        return false;
    const ProfileFile project(projectFile);
    const bool sameEntries = project.ReadInteger("MapsType", "MapsType", 100) == entries.MapsType &&
                             project.ReadString("AREA", "LeftLongitude", "") == entries.Left &&
                             project.ReadString("AREA", "RightLongitude", "") == entries.Right &&
                             project.ReadString("AREA", "TopLatitude", "") == entries.Top &&
                             project.ReadString("AREA", "BottomLatitude", "") == entries.Bottom &&
                             project.ReadInteger("Zoom", "Zoom", 100) == entries.Zoom;
    if (!sameEntries)
        return false;
    // Another shape is another task.
    const std::string areaFile = ProjectAreaFile(projectFile);
    std::string storedShape;
    if (!areaFile.empty() && !ReadWholeFile(areaFile, storedShape))
        return false;
    if (storedShape != entries.ShapeText)
        return false;
    // Another source gives other tiles under the same names; one that fails the checks is no
    // source the task can go on with.
    std::optional<TileSource> stored;
    try {
        stored = ReadProjectSource(projectFile, entries.MapsType);
    } catch (const SourceFault&) {
        return false;
    }
    const auto index = static_cast<std::size_t>(std::clamp(entries.MapsType - 17, 0, 2));
    if (stored.has_value() != entries.Source.has_value() ||
        (stored && (stored->Name != entries.Source->Name ||
                    stored->Templates[index] != entries.Source->Templates[index] ||
                    stored->Subdomains != entries.Source->Subdomains ||
                    stored->Format != entries.Source->Format)))
        return false;
    const std::string typedFolder = SaveFolderOf(entries.SavePathTyped);
    const auto [folder, name] = SplitFolder(projectFile);
    return folder == typedFolder && name == entries.TaskNameTyped;
}

std::string SizeText(std::uintmax_t bytes) {
    constexpr std::uintmax_t KB = 1000, MB = KB * 1000, GB = MB * 1000;
    const auto [unit, name] = bytes >= GB   ? std::pair{GB, " GB"}
                              : bytes >= MB ? std::pair{MB, " MB"}
                                            : std::pair{KB, " KB"};
    return std::to_string(std::max<std::uintmax_t>(1, (bytes + unit / 2) / unit)) + name;
}

std::optional<std::string> CheckListRoom(std::uintmax_t listBytes, std::uintmax_t freeBytes) {
    if (listBytes <= freeBytes)
        return std::nullopt;
    return "The tile list needs " + SizeText(listBytes) + "; the disk has " + SizeText(freeBytes) +
           " free.";
}

std::optional<std::string> CheckSourceForTask(const TileSource& source, int zoom) {
    if (auto refused = RefusedService(source))
        return refused;
    if (zoom < source.MinZoom || zoom > source.MaxZoom)
        return "\"" + source.Name + "\" offers zoom levels " + std::to_string(source.MinZoom) +
               " to " + std::to_string(source.MaxZoom) + " only.";
    return std::nullopt;
}

std::shared_ptr<TaskParams> MakeTaskParams(const StartSettings& settings, double left, double right,
                                           double top, double bottom, int zoom, int mapsType,
                                           const std::string& savePath,
                                           const std::string& projectName, bool resume,
                                           const std::optional<TileSource>& source) {
    auto params = std::make_shared<TaskParams>();
    params->LeftLongitude = left;
    params->RightLongitude = right;
    params->TopLatitude = top;
    params->BottomLatitude = bottom;
    params->Zoom = zoom;
    params->ThreadCount = 8;
    params->WorkerSlots = 8;
    params->MapsType = mapsType;
    params->SavePath = savePath;
    params->ProjectName = projectName;
    params->UseProxy = settings.UseProxy;
    params->ProxyServer = settings.ProxyServer;
    params->ProxyPort = settings.ProxyPort;
    params->ProxyUsername = settings.ProxyUsername;
    params->ProxyPassword = settings.ProxyPassword;
    params->Resume = resume;
    params->ServiceHost = settings.ServiceHost;
    params->Source = source;
    params->CaFile = settings.CaFile;
    return params;
}

StartEntries ReadProjectEntries(const std::string& projectFile) {
    const ProfileFile project(projectFile);
    StartEntries entries;
    entries.Left = project.ReadString("AREA", "LeftLongitude", "");
    entries.Right = project.ReadString("AREA", "RightLongitude", "");
    entries.Top = project.ReadString("AREA", "TopLatitude", "");
    entries.Bottom = project.ReadString("AREA", "BottomLatitude", "");
    entries.MapsType = project.ReadInteger("MapsType", "MapsType", 0);
    entries.ZoomText = std::to_string(project.ReadInteger("Zoom", "Zoom", 0));
    const auto [folder, name] = SplitFolder(projectFile);
    entries.SavePathTyped = folder.empty() ? "./" : folder;
    entries.TaskName = name;
    return entries;
}

PreparedStart PrepareStart(const StartSettings& settings, const StartEntries& entries,
                           const std::function<std::uintmax_t(const std::string&)>& freeSpace,
                           bool estimateOnly) {
    PreparedStart start;
    const auto refuse = [&start](std::string message) {
        start.Refusal.push_back(std::move(message));
        return start;
    };
    const std::optional<int> zoom = ParseInteger(entries.ZoomText);
    if (!zoom)
        throw EConvertError("'" + entries.ZoomText + "' is not a valid integer value");

    const std::string& typedPath = entries.SavePathTyped;
    if (typedPath.empty())
        return refuse("Please select a path to save the images.");
    // Before anything is made: the task's files stay inside the save folder.
    if (const auto fault = CheckTaskName(entries.TaskName))
        return refuse(*fault);
    std::error_code ec;
    if (!estimateOnly && !std::filesystem::is_directory(typedPath, ec)) {
        std::filesystem::create_directory(typedPath, ec);
        if (ec || !std::filesystem::is_directory(typedPath, ec))
            return refuse("Create directory " + typedPath + " Failed.");
    }
    const std::string savePath = SaveFolderOf(typedPath);

    const std::optional<double> left = ParseCoordinate(entries.Left),
                                right = ParseCoordinate(entries.Right),
                                top = ParseCoordinate(entries.Top),
                                bottom = ParseCoordinate(entries.Bottom);
    if (!left || !right || !top || !bottom)
        return refuse("Longitude or latitude input error!");
    if (const auto fault = CheckArea(*left, *right, *top, *bottom))
        return refuse(*fault);
    // A custom source's own refusals, after the usual checks; nothing is sent or written.
    if (entries.Source) {
        if (const auto fault = CheckSourceForTask(*entries.Source, *zoom))
            return refuse(*fault);
    }

    // A shape as fine as the zoom level can tell, no finer: its coverage, its file and the
    // resume test all see the same points.
    std::shared_ptr<const AreaShape> shape =
        *zoom >= MinZoomLevel && *zoom <= MaxZoomLevel ? SimplifyShape(entries.Shape, *zoom)
                                                       : entries.Shape;
    const std::string projectName = ProjectNameFor(entries.TaskName);
    ResumeEntries resumeEntries{
        entries.MapsType, entries.Left,
        entries.Right,    entries.Top,
        entries.Bottom,   *zoom,
        typedPath,        entries.TaskName,
        entries.Source,   shape ? ShapeGeoJson(*shape) : std::string()};
    start.Resume = IsResume(resumeEntries, savePath, projectName);
    if (!start.Resume && shape != entries.Shape) {
        // A task begun before shapes were thinned stored its shape as read: it goes on with it.
        resumeEntries.ShapeText = ShapeGeoJson(*entries.Shape);
        if ((start.Resume = IsResume(resumeEntries, savePath, projectName)))
            shape = entries.Shape;
    }
    // A coverage worked out for the shape as it came is not this one's.
    std::shared_ptr<const TileCoverage> coverage =
        shape == entries.Shape ? entries.Coverage : nullptr;
    // A new task writes its whole tile list first: refused before anything is written when the
    // disk cannot hold it. Other refusals of the area are the task's own.
    if (!start.Resume && *zoom >= MinZoomLevel && *zoom <= MaxZoomLevel) {
        const TileRange range = CoveringTiles(*left, *right, *top, *bottom, *zoom);
        if (range.Count() <= static_cast<unsigned long long>(INT_MAX)) {
            if (shape && !coverage)
                coverage = std::make_shared<const TileCoverage>(*shape, *zoom, range);
            const std::string extension = entries.Source
                                              ? entries.Source->Format
                                              : std::string(RowOf(TileFormat::Png).Extension);
            if (const auto fault = CheckListRoom(
                    TileListBytes(range, *zoom, entries.MapsType, extension, coverage.get()),
                    freeSpace(savePath)))
                return refuse(*fault);
        }
    }
    const std::shared_ptr<TaskParams> params =
        MakeTaskParams(settings, *left, *right, *top, *bottom, *zoom, entries.MapsType, savePath,
                       projectName, start.Resume, entries.Source);
    params->Shape = shape;
    params->Coverage = coverage;
    try {
        start.Task = estimateOnly ? std::make_shared<DownloadTask>(params, DownloadTask::ReadOnly{})
                                  : std::make_shared<DownloadTask>(params);
    } catch (const Exception& error) {
        refuse(error.Message());
        return refuse("Error: Create task failure.");
    }
    std::error_code exists;
    if (!start.Resume && std::filesystem::exists(start.Task->ProjectFile(), exists)) {
        ExistingTask existing;
        existing.Name = ProjectBaseName(projectName);
        // The same entries but the name typed without its ".zav".
        ResumeEntries named = resumeEntries;
        named.TaskNameTyped = projectName;
        existing.CanResume = IsResume(named, savePath, projectName);
        try {
            auto stored = std::make_shared<TaskParams>(ReadTaskParams(start.Task->ProjectFile()));
            existing.Zoom = stored->Zoom;
            existing.Tiles = DownloadTask(stored, DownloadTask::ReadOnly{}).TileCount;
        } catch (const Exception&) {
            // A project file that does not read is still one the Start would replace.
        }
        LineStore failed;
        try {
            failed.Load(start.Task->FailedFile);
        } catch (const Exception&) {
        }
        for (std::size_t i = 0; i < failed.Count(); ++i)
            existing.Failed += failed.Line(i).empty() ? 0 : 1;
        start.Existing = existing;
    }
    if (start.Task->TileCount < params->ThreadCount)
        params->ThreadCount = start.Task->TileCount;
    // A custom source's service sets how many workers it takes.
    if (entries.Source && entries.Source->Workers < params->ThreadCount)
        params->ThreadCount = entries.Source->Workers;
    // The workers share the tiles by their count: a resume of a custom source's task keeps the
    // count it began with (the source's workers may have changed since), or the positions would
    // point elsewhere. The built-in source's count never changes, and its file's is not read.
    if (start.Resume && entries.Source) {
        const int began =
            ProfileFile(start.Task->ProjectFile()).ReadInteger("THREADS", "ThreadCount", 0);
        if (began >= 1 && began <= std::min(8, start.Task->TileCount))
            params->ThreadCount = began;
    }
    return start;
}

std::string ExistingTaskQuestion(const ExistingTask& task) {
    std::string facts;
    if (task.Zoom > 0)
        facts = "zoom " + std::to_string(task.Zoom) + ", " +
                TilesText(static_cast<unsigned long long>(task.Tiles)) + ", " +
                std::to_string(task.Failed) + " failed";
    return "The task " + task.Name + " already exists" + (facts.empty() ? "" : " (" + facts + ")") +
           ". " + (task.CanResume ? "Resume it, start it anew" : "Start it anew") +
           " (its files are replaced), or cancel?";
}

std::uintmax_t FreeDiskSpace(const std::string& folder) {
    std::error_code ec;
    const std::filesystem::space_info space = std::filesystem::space(folder, ec);
    return ec ? UINTMAX_MAX : space.available;
}

void WriteTaskFiles(const DownloadTask& task) {
    task.WriteProjectFile();
    task.WriteListFile();
    // A cut while the task was first written may have left it without its log: a resume goes on
    // in a new one (the log is the task's record, not its tiles).
    std::error_code ec;
    if (task.Params->Resume && std::filesystem::symlink_status(task.LogFile, ec).type() ==
                                   std::filesystem::file_type::not_found)
        ReplaceFile(task.LogFile, "");
    task.WriteLogHeader();
    task.CreateFailedFile();
}

std::string StopLine(int slot) {
    return "Thread" + std::to_string(slot + 1) + "will be terminated by user. please wait...";
}

std::vector<std::string> ClosingLines(const DownloadTask& task) {
    return {"",
            "--------------------------------",
            "Task Stoped!",
            "",
            "Now time:" + DateTimeText(task.Now()),
            "",
            "Log file has been saved as " + task.LogFile};
}

int TilesDone(const DownloadTask& task, const WorkerPositions& positions) {
    const int workers = task.Params->ThreadCount;
    long long done = 0;
    for (int i = 0; i < workers; ++i) {
        int reached = task.ResumePoint(i);
        if (static_cast<std::size_t>(i) < positions.size()) {
            const auto [x, y] = positions[static_cast<std::size_t>(i)];
            if (x > 0 && y > 0)
                reached = std::max(reached, task.TileSequenceNumber(x, y));
        }
        done += task.SlotTilesUpTo(reached, i);
    }
    return static_cast<int>(std::min<long long>(done, task.TileCount));
}

void SaveResumeKeys(const DownloadTask& task, const WorkerPositions& positions) {
    // An update walks the task's tiles anew: the download's own resume keys stay as they are.
    if (task.Params->Update)
        return;
    std::vector<std::pair<std::string, int>> keys;
    const auto workers = static_cast<std::size_t>(std::max(0, task.Params->ThreadCount));
    for (std::size_t slot = 0; slot < std::min(workers, positions.size()); ++slot) {
        const auto [x, y] = positions[slot];
        const std::string n = std::to_string(slot + 1);
        if (x > 0)
            keys.emplace_back("T" + n + "X", x);
        if (y > 0)
            keys.emplace_back("T" + n + "Y", y);
    }
    if (!keys.empty())
        ProfileFile(task.ProjectFile()).WriteIntegers("THREADS", keys);
}

double TaskSeconds(long long tiles, const std::optional<TileSource>& source, int workers) {
    const long long shared = std::min<long long>({workers, source ? source->Workers : 8, tiles});
    const double wait = source ? source->TileDelayMs / 1000.0 : 1.0;
    return EstimatedSeconds(tiles, static_cast<int>(shared), FetchSecondsGuess, wait);
}

double EstimatedSeconds(long long tiles, int workers, double fetchSeconds, double waitSeconds) {
    if (tiles <= 0 || workers <= 0)
        return 0;
    const long long perWorker = (tiles + workers - 1) / workers;
    return static_cast<double>(perWorker) * (waitSeconds + fetchSeconds);
}

std::string TilesText(unsigned long long tiles) {
    return GroupedNumber(tiles) + (tiles == 1 ? " tile" : " tiles");
}

std::string LongTaskWarning(double seconds) {
    return "This task would take about " + DurationText(seconds) +
           " at the service's pace; choose a smaller area or a lower zoom level.";
}

std::string DurationText(double seconds) {
    if (!(seconds >= 0) || seconds > 1e12)
        return "-";
    const auto total = static_cast<long long>(std::llround(seconds));
    auto two = [](long long n) { return (n < 10 ? "0" : "") + std::to_string(n); };
    const long long days = total / 86400, hours = total / 3600 % 24, minutes = total / 60 % 60,
                    secs = total % 60;
    if (days >= 730)
        return GroupedNumber(static_cast<unsigned long long>(std::llround(static_cast<double>(days) / 365.25))) +
               " years";
    if (days > 0)
        return std::to_string(days) + " d " + two(hours) + " h";
    if (hours > 0)
        return std::to_string(hours) + " h " + two(minutes) + " min";
    if (minutes > 0)
        return std::to_string(minutes) + " min " + two(secs) + " s";
    return std::to_string(secs) + " s";
}

} // namespace quarrow
