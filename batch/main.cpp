// quarrow-batch: Quarrow's tasks without windows, on the same rules, files and workers.
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "BatchOptions.h"
#include "BatchRun.h"
#include "task/RangeRun.h"
#include "task/BlankRetry.h"
#include "task/StartRules.h"
#include "task/TaskUpdateRun.h"
#include "area/AreaFile.h"
#include "download/Rerun.h"
#include "download/httpclient.h"
#include "base/Exception.h"
#include "engine/Locations.h"
#include "base/NumberText.h"
#include "engine/ProfileFile.h"
#include "engine/SourcesFile.h"
#include "store/TaskLock.h"
#include "base/TextRules.h"
#include "engine/Version.h"

namespace {

using namespace quarrow;

BatchSignals g_signals;

extern "C" void OnSignal(int signal) {
    g_signals.Last.store(signal);
    g_signals.Count.fetch_add(1);
}

void CatchSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int Refused(const std::vector<std::string>& messages) {
    for (const std::string& message : messages)
        std::fprintf(stderr, "%s\n", message.c_str());
    return batch_exit::Usage;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "quarrow-batch: %s\nTry quarrow-batch --help.\n", message.c_str());
    return batch_exit::Usage;
}

BatchOutput Output(bool verbose) {
    BatchOutput output;
    output.Terminal = ::isatty(STDERR_FILENO) == 1;
    output.Verbose = verbose;
    return output;
}

std::string ModeName(BatchOptions::Mode mode) {
    return mode == BatchOptions::Mode::Resume        ? "--resume"
           : mode == BatchOptions::Mode::RetryFailed ? "--retry-failed"
           : mode == BatchOptions::Mode::RetryBlanks ? "--retry-blanks"
                                                     : "--update";
}

// Writes the task's files and runs it; refusals are exit status 2.
int RunPrepared(const PreparedStart& start, const std::string& folder, bool verbose) {
    if (!start.Task)
        return Refused(start.Refusal);
    std::optional<TaskLock> lock;
    try {
        lock.emplace(start.Task->ProjectFile());
    } catch (const Exception& error) {
        return Refused({error.Message()});
    }
    WriteTaskFiles(*start.Task);
    std::fprintf(stderr, "%s%s: %d tiles at zoom %d, %d workers\n", start.Resume ? "Resuming " : "",
                 start.Task->ProjectFile().c_str(), start.Task->TileCount, start.Task->Params->Zoom,
                 start.Task->Params->ThreadCount);
    BatchRun run(start.Task, folder, g_signals, Output(verbose));
    return run.Run();
}

// The worse of two statuses of a zoom range: a failure of the program over failed tiles.
int Worse(int a, int b) {
    const auto rank = [](int status) {
        return status == batch_exit::Done ? 0 : status == batch_exit::SomeFailed ? 1 : 2;
    };
    return rank(b) > rank(a) ? b : a;
}

int RunTasks(const BatchOptions& options, const std::string& folder) {
    const StartSettings settings = ReadStartSettings(SettingsFilePath(folder));
    std::optional<TileSource> source;
    if (!options.SourceName.empty() && options.SourceName != BuiltInSourceName) {
        const std::string sourcesFile = SourcesFilePath(folder);
        std::vector<std::string> faults;
        for (const TileSource& known : ReadSources(sourcesFile, &faults))
            if (known.Name == options.SourceName)
                source = known;
        if (!source) {
            // A section of that name that is no usable source says why.
            const std::string section = "[" + options.SourceName + "]: ";
            for (const std::string& fault : faults)
                if (fault.starts_with(section))
                    return UsageError("--source: the source \"" + options.SourceName + "\" in " +
                                      sourcesFile + " cannot be used: " +
                                      fault.substr(section.size()));
            return UsageError("--source: no source \"" + options.SourceName + "\" in " +
                              sourcesFile);
        }
        if (TrimBlanks(source->Templates[static_cast<std::size_t>(options.MapsType - 17)]).empty())
            return UsageError("--type: the source \"" + source->Name +
                              "\" offers no such map type");
    }
    if (options.Workers && !source)
        return UsageError("--workers: the built-in source's tasks have 8 workers (fewer only for "
                          "fewer tiles); give it with a custom source");
    StartEntries entries;
    entries.MapsType = options.MapsType;
    entries.SavePathTyped = options.Folder;
    entries.Source = source;
    if (options.Area) {
        const std::vector<std::string>& area = *options.Area;
        entries.Left = area[0];
        entries.Bottom = area[1];
        entries.Right = area[2];
        entries.Top = area[3];
    } else {
        AreaFileOptions read;
        read.SimplifyZoom = options.LastZoom;
        read.CorridorKm = options.CorridorKm.value_or(DefaultCorridorKm);
        read.ClosedTracksAsPolygons = options.ClosedTracksAsPolygons;
        try {
            entries.Shape = std::make_shared<const AreaShape>(ReadAreaFile(options.AreaFile, read));
        } catch (const Exception& error) {
            return UsageError("--area-file: " + error.Message());
        }
        // The rectangle as the map window hands it to the coordinate fields.
        const GeoBounds bounds = ShapeBounds(*entries.Shape);
        entries.Left = AreaEdgeText(bounds.West);
        entries.Right = AreaEdgeText(bounds.East);
        entries.Top = AreaEdgeText(bounds.North);
        entries.Bottom = AreaEdgeText(bounds.South);
    }
    const bool range = options.FirstZoom != options.LastZoom;
    RangeRun levels(options.FirstZoom, options.LastZoom, options.TaskName);
    const auto entriesOf = [&](int zoom) {
        entries.ZoomText = range ? std::to_string(zoom) : options.ZoomText;
        // The name as its project file has it, so the same command again resumes the task.
        entries.TaskName = range ? levels.TaskName(zoom) : ProjectNameFor(options.TaskName);
        entries.Coverage = nullptr;
        return entries;
    };
    // Every level is checked before the first starts: a refused one, or one that would replace a
    // task without --replace, leaves nothing behind, not even a folder.
    for (int zoom = options.FirstZoom; zoom <= options.LastZoom; ++zoom) {
        const PreparedStart check = PrepareStart(settings, entriesOf(zoom), FreeDiskSpace, true);
        if (!check.Task)
            return Refused(check.Refusal);
        if (options.DryRun) {
            const long long tiles = check.Task->TileCount;
            std::printf(
                "zoom %d: %s, about %s, about %s at the source's pace (%s)\n", zoom,
                TilesText(static_cast<unsigned long long>(tiles)).c_str(),
                SizeText(static_cast<std::uintmax_t>(static_cast<double>(tiles) * DefaultTileBytes))
                    .c_str(),
                DurationText(TaskSeconds(tiles, source, options.Workers.value_or(8))).c_str(),
                entries.TaskName.c_str());
            continue;
        }
        // Nothing a user made is replaced without their word.
        if (check.Existing && !options.Replace)
            return Refused({"The task " + check.Existing->Name + " exists in " +
                            check.Task->Params->SavePath +
                            ": --resume it, or add --replace to start it anew."});
    }
    if (options.DryRun)
        return batch_exit::Done;
    int status = batch_exit::Done;
    for (int zoom = options.FirstZoom; zoom <= options.LastZoom; ++zoom) {
        PreparedStart start = PrepareStart(settings, entriesOf(zoom), FreeDiskSpace);
        if (start.Task && options.Workers && !start.Resume)
            start.Task->Params->ThreadCount =
                std::min(start.Task->Params->ThreadCount, *options.Workers);
        const int one = RunPrepared(start, folder, options.Verbose);
        if (one == batch_exit::Usage || one >= 128)
            return one;
        status = Worse(status, one);
        levels.Ended(one == batch_exit::Done);
    }
    if (range)
        std::fprintf(stderr, "%s\n", levels.EndText().c_str());
    return status;
}

// The entries of an existing task, as the window's "Open task" fills its fields.
int Resume(const BatchOptions& options, const std::string& folder) {
    const std::string& projectFile = options.ProjectFile;
    StartEntries entries;
    try {
        // Says why a file cannot be a task, and brings the task's own source.
        const TaskParams stored = ReadTaskParams(projectFile);
        entries = ReadProjectEntries(projectFile);
        entries.Source = stored.Source;
        entries.Shape = ReadProjectShape(projectFile);
    } catch (const Exception& error) {
        return UsageError("--resume: " + error.Message());
    }
    const PreparedStart start =
        PrepareStart(ReadStartSettings(SettingsFilePath(folder)), entries, FreeDiskSpace);
    if (start.Task && !start.Resume)
        return UsageError("--resume: " + projectFile + " cannot be resumed");
    return RunPrepared(start, folder, options.Verbose);
}

// Brings a task's tiles up to date, under the task's lock; the same command goes on after a stop.
int Update(const BatchOptions& options, const std::string& folder) {
    const std::string& projectFile = options.ProjectFile;
    UpdateRules rules;
    rules.OlderThanDays = options.OlderThanDays;
    rules.Force = options.Force;
    StoredTask opened;
    try {
        opened = PrepareUpdate(ReadStartSettings(SettingsFilePath(folder)), projectFile, rules);
    } catch (const Exception& error) {
        return UsageError("--update: " + error.Message());
    }
    const std::shared_ptr<DownloadTask>& task = opened.Task;
    std::fprintf(stderr, "Updating %s: %d tiles at zoom %d, %d workers\n",
                 task->ProjectFile().c_str(), task->TileCount, task->Params->Zoom,
                 task->Params->ThreadCount);
    BatchRun run(task, folder, g_signals, Output(options.Verbose));
    return run.Run();
}

int RetryFailed(const BatchOptions& options, const std::string& folder) {
    const std::string list = TaskFilesOf(options.ProjectFile).Failed;
    RerunOutcome outcome;
    try {
        // The list belongs to a task: one whose project file is gone or empty is told, not taken
        // for a task with nothing to fetch.
        ReadTaskParams(options.ProjectFile);
        outcome = RetryFailedList(
            list, ReadStartSettings(SettingsFilePath(folder)).CaFile,
            [](std::string_view line) {
                std::printf("%s\n", TerminalText(line).c_str());
                std::fflush(stdout);
            },
            [] { return g_signals.Count.load() > 0; });
    } catch (const Exception& error) {
        return UsageError("--retry-failed: " + error.Message());
    }
    if (g_signals.Count.load() > 0)
        return 128 + g_signals.Last.load();
    return outcome.Failed > 0 ? batch_exit::SomeFailed : batch_exit::Done;
}

// The blank tiles asked again, a line each on standard output and the count last; exit 3 when
// some failed, as a task's.
int RetryBlanks(const BatchOptions& options, const std::string& folder) {
    BlankRetryCounts counts;
    try {
        counts = RetryBlankTiles(
            ReadStartSettings(SettingsFilePath(folder)), options.ProjectFile, folder,
            [](std::string_view line) {
                std::printf("%s\n", TerminalText(line).c_str());
                std::fflush(stdout);
            },
            [] { return g_signals.Count.load() > 0; });
    } catch (const Exception& error) {
        return UsageError("--retry-blanks: " + error.Message());
    }
    if (g_signals.Count.load() > 0)
        return 128 + g_signals.Last.load();
    return counts.Failed > 0 ? batch_exit::SomeFailed : batch_exit::Done;
}

} // namespace

int main(int argc, char** argv) {
    // The project file writes numbers with the decimal point of the user's locale, as the
    // window does.
    std::setlocale(LC_ALL, "");
    const std::string folder = RunningProgramFolder();
    // Nothing asked: what can be asked, as a usage mistake.
    if (argc < 2) {
        std::fprintf(stderr, "%s", BatchUsage(SettingsFilePath(folder)).c_str());
        return batch_exit::Usage;
    }
    BatchOptions options;
    try {
        options = ParseBatchOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const BatchUsageError& error) {
        return UsageError(error.Message());
    }
    // A task's paths are absolute from the start: its failed list names its tiles the same
    // whatever folder a later command is typed in.
    for (std::string* path : {&options.Folder, &options.ProjectFile}) {
        std::error_code ec;
        if (!path->empty())
            if (const auto absolute = std::filesystem::absolute(*path, ec); !ec)
                *path = absolute.lexically_normal().string();
    }
    using Mode = BatchOptions::Mode;
    const bool ofATask = options.What == Mode::Resume || options.What == Mode::RetryFailed ||
                         options.What == Mode::RetryBlanks || options.What == Mode::Update;
    if (std::error_code ec; ofATask && !std::filesystem::exists(options.ProjectFile, ec))
        return UsageError(ModeName(options.What) + ": there is no project file " +
                          options.ProjectFile);
    try {
        switch (options.What) {
        case BatchOptions::Mode::Help:
            std::printf("%s", BatchUsage(SettingsFilePath(folder)).c_str());
            return batch_exit::Done;
        case BatchOptions::Mode::Version:
            std::printf("quarrow-batch %s\n", std::string(QuarrowVersion).c_str());
            return batch_exit::Done;
        case BatchOptions::Mode::Resume:
            CatchSignals();
            return Resume(options, folder);
        case BatchOptions::Mode::RetryFailed:
            CatchSignals();
            return RetryFailed(options, folder);
        case BatchOptions::Mode::RetryBlanks:
            CatchSignals();
            return RetryBlanks(options, folder);
        case BatchOptions::Mode::Update:
            CatchSignals();
            return Update(options, folder);
        case BatchOptions::Mode::Task:
            CatchSignals();
            return RunTasks(options, folder);
        }
    } catch (const EConvertError& error) {
        return UsageError("--zoom: " + error.Message());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quarrow-batch: %s\n", error.what());
    }
    return batch_exit::Other;
}
