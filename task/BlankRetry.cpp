#include "BlankRetry.h"

#include <chrono>
#include <optional>
#include <vector>

#include "StoredTask.h"
#include "download/FetchedTiles.h"
#include "download/Rerun.h"
#include "download/SourceFetcher.h"
#include "download/httpclient.h"
#include "base/Exception.h"
#include "engine/Locations.h"
#include "store/TextFile.h"
#include "store/TileFile.h"
#include "engine/Unitclasstask.h"

namespace quarrow {
namespace {
constexpr auto CommitEvery = std::chrono::seconds(5);
} // namespace

std::string BlankRetryText(const BlankRetryCounts& counts) {
    std::string text = std::to_string(counts.Asked) +
                       " blank tiles asked again: " + std::to_string(counts.Saved) + " saved, " +
                       std::to_string(counts.StillBlank) + " still blank (the service has none), " +
                       std::to_string(counts.Failed) + " failed.";
    if (counts.Stopped)
        text += " Stopped: the rest stay blank.";
    return text;
}

BlankRetryCounts RetryBlankTiles(const StartSettings& settings, const std::string& projectFile,
                                 const std::string& executableFolder,
                                 const std::function<void(std::string_view line)>& show,
                                 const std::function<bool()>& stopNow, Sleeper sleep) {
    // Only blanks are asked for: a task without its tile folder has none.
    const StoredTask opened = OpenStoredTask(settings, projectFile, StoredTaskUse::ExistingTiles);
    const std::shared_ptr<const DownloadTask> task = opened.Task;
    const std::string blankPath = BlankImagePath(executableFolder, task->TileExtension());
    std::string blank;
    if (!ReadWholeFile(blankPath, blank, MaxTileFileSize) || blank.empty())
        throw Exception("Cannot read the blank image " + blankPath);

    TIdHTTP client;
    RerunTask rerun{projectFile, task->Params->Source ? task : nullptr, task->TileFolder};
    SetUpRerunClient(client, rerun, settings.CaFile);
    const auto tell = [&show](const std::string& line) { show(line); };
    SourceFetcher fetcher(*task, client, 0,
                          {sleep ? sleep : SlicedSleeper(stopNow), stopNow, tell},
                          SourceFetcher::Check::Always);
    FetchedTiles tiles(*task, tell);
    const auto ask = [&fetcher](const std::string& url, std::string& body) {
        fetcher.Get(url, body);
    };
    BlankRetryCounts counts;
    std::string bytes;
    // As often as a run saves: a cut costs the tiles since, which stay blank or empty.
    auto nextCommit = std::chrono::steady_clock::now() + CommitEvery;
    for (int x = task->MinX; x <= task->MaxX && !counts.Stopped; ++x) {
        for (int y = task->MinY; y <= task->MaxY; ++y) {
            if (!task->Covers(x, y))
                continue;
            const std::string path = task->TilePath(x, y);
            // An empty file is a blank whose new picture a power cut took: asked again too.
            const std::optional<TileFile> file = LookAtTileFile(path);
            if (!file || !(IsBlankTile(path, *file, blank) || (file->Regular && file->Size == 0)))
                continue;
            if (stopNow()) {
                counts.Stopped = true;
                break;
            }
            if (std::chrono::steady_clock::now() >= nextCommit) {
                tiles.Commit();
                nextCommit = std::chrono::steady_clock::now() + CommitEvery;
            }
            ++counts.Asked;
            const std::string url = task->TileUrl(x, y);
            client.StatusCode = 0;
            std::optional<std::string> failure;
            try {
                failure = FetchRepeated(ask, url, bytes);
            } catch (const FetchStopped&) {
                --counts.Asked;
                counts.Stopped = true;
                break;
            }
            if (failure) {
                if (client.StatusCode == 404 || client.StatusCode == 400) {
                    ++counts.StillBlank;
                    show(path + ":" + url + " still blank: the service has none");
                    continue;
                }
                ++counts.Failed;
                const RerunReport report = FailureReport(*failure, url);
                for (const std::string& line : report.Lines)
                    show(line);
                // Refused by the service: the next tile would be too.
                if (report.EndsRun) {
                    counts.Stopped = true;
                    break;
                }
                continue;
            }
            try {
                tiles.Save(x, y, bytes, fetcher);
            } catch (const Exception& error) {
                ++counts.Failed;
                show(error.Message());
                continue;
            }
            fetcher.Answered();
            ++counts.Saved;
            show(SavedLine(path, url));
        }
    }
    tiles.Commit();
    show(BlankRetryText(counts));
    return counts;
}

} // namespace quarrow
