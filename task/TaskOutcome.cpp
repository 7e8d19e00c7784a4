// The reason is told by the same markers by which the workers judged the failure.
#include "TaskOutcome.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <unordered_set>

#include "StartRules.h"
#include "download/FailedTileList.h"
#include "download/FailureTexts.h"
#include "base/TextRules.h"
#include "store/TextFile.h"
#include "store/TileFile.h"
#include "engine/Unitclasstask.h"

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
    const TileCensus& tiles = outcome.Tiles;
    std::string text = std::to_string(outcome.Total) + " tiles: " + std::to_string(tiles.Saved) +
                       " saved, " + std::to_string(tiles.Blank) +
                       " blank (the service has none), " + std::to_string(tiles.Failed) +
                       " failed (listed for re-download";
    const std::string reason = Reason(outcome);
    if (tiles.NotFetched > 0) {
        text += "), " + std::to_string(tiles.NotFetched) + " not fetched";
        // Tiles a stop left are the stop's, whatever the service said last.
        const std::string why = outcome.Stopped ? std::string("stopped") : reason;
        if (!why.empty() && outcome.StopReason.empty())
            text += " (" + why + ")";
    } else {
        if (tiles.Failed > 0 && !outcome.LastFailure.empty())
            text += ": " + reason;
        text += ")";
    }
    // The reason first, where a narrow status bar still shows it.
    if (!outcome.StopReason.empty())
        text = outcome.StopReason + " " + text;
    // A resume fetches what was never fetched, the refused tiles included; the failed list
    // holds the rest.
    if (tiles.NotFetched > 0)
        return text + ". " +
               (outcome.GoOn.empty() ? std::string("Start again with the same entries to go on.")
                                     : outcome.GoOn);
    if (tiles.Failed > 0)
        return text + ". Re-download them from the failed list.";
    return text + ". Done in " + DurationText(outcome.Seconds) + ".";
}

TileCensus CountTiles(const DownloadTask& task, const std::string& blankImage,
                      const std::vector<std::string>& failedEntries) {
    // The list is the task's: its entries name its tiles by their file names, however their
    // folder was spelt (an older run wrote the folder as it was typed).
    std::unordered_set<std::string> listed;
    for (const std::string& line : failedEntries)
        if (!line.empty())
            listed.insert(SplitFolder(SplitFailureEntry(line).Path).second);
    std::string blank;
    if (!ReadWholeFile(blankImage, blank))
        blank.clear();
    TileCensus census;
    for (int x = task.MinX; x <= task.MaxX; ++x) {
        for (int y = task.MinY; y <= task.MaxY; ++y) {
            if (!task.Covers(x, y))
                continue;
            const std::string path = task.TilePath(x, y);
            const std::optional<TileFile> file = LookAtTileFile(path);
            const bool present = file && file->Regular && file->Size > 0;
            if (listed.count(SplitFolder(path).second)) {
                // A listed tile that the re-download fetched is saved; the list is not rewritten.
                ++(present && !IsBlankTile(path, *file, blank) ? census.Saved : census.Failed);
            } else if (!present) {
                ++census.NotFetched;
            } else {
                ++(IsBlankTile(path, *file, blank) ? census.Blank : census.Saved);
            }
        }
    }
    return census;
}

} // namespace quarrow
