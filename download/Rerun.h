// The re-download of a failed-tile list, apart from its window: the client's settings, the lines
// that report each entry, and the fetch of one entry with its repeats after a connection reset.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Unitclasstask.h"

namespace quarrow {

class TIdHTTP;

// The client's settings: a browser's, with the home page of a public web map as the referrer.
inline constexpr std::string_view RerunReferer = "http://www.maps.example/";
inline constexpr std::string_view RerunUserAgent =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";
inline constexpr std::string_view RerunConnection = "Keep_Alive";

// Attempts of one entry in all while each ends in a connection reset; the last reset is then
// reported like any other failure.
inline constexpr int RerunMaxAttempts = 10;

inline constexpr std::string_view NoRecordsLine = "No failed files records.";
inline constexpr std::string_view StartLine = "Start...";
inline constexpr std::string_view EndLine = "Download End.";

// Gives a new client the run's settings; a proxy is never set.
void SetUpRerunClient(TIdHTTP& client);

// The task a failed list belongs to, from its project file beside it (the list's base name +
// ".zav"). A task of a custom source is fetched again by the workers' rules: the source's
// User-Agent, Referer and headers, TLS for https, each body checked as an image of its format,
// each entry only into the task's tile folder and only from the source's URL for that tile, and
// the list rewritten without what was fetched. The built-in source's list, or one without its
// project, keeps the window's own rules. Throws a SourceFault for a project whose source fails
// its checks: its list is not fetched by other rules.
struct RerunTask {
    std::string ProjectFile;                    // empty when none stands beside the list
    std::shared_ptr<const DownloadTask> Custom; // a custom source's task, its paths absolute
    // The task's tile folder, absolute, when its project reads: an entry written with a relative
    // path (by an older run) names the tile of that name there, whatever folder it is read from.
    std::string TileFolder;
};
RerunTask FindRerunTask(const std::string& listPath);

// The client's settings for the task's list: the source's rules, with caFile trusted beside the
// system's certificates, or the window's own.
void SetUpRerunClient(TIdHTTP& client, const RerunTask& task, const std::string& caFile);

// The lines of the chosen list. Throws an Exception "Cannot open file " + path.
std::vector<std::string> LoadRerunList(const std::string& path);

// What one entry adds to the pane, and whether the run stops after it.
struct RerunReport {
    std::vector<std::string> Lines;
    bool EndsRun = false;
    bool Saved = false; // the tile was fetched and saved
};

std::string SavedLine(std::string_view path, std::string_view url);

// A request that failed with this message for good.
RerunReport FailureReport(std::string_view message, std::string_view url);

// Whether a failed request is made again at once.
bool IsReset(std::string_view message);

// How a run outside the workers asks for a URL: with the client alone (the built-in source's
// list), or through a source's fetcher (SourceFetcher), which may throw FetchStopped.
using Asker = std::function<void(const std::string& url, std::string& buffer)>;

// Asks for the URL, again after each connection reset (RerunMaxAttempts in all). The failure's
// message, or nothing when the buffer holds the answer.
std::optional<std::string> FetchRepeated(const Asker& ask, const std::string& url,
                                         std::string& buffer);

struct RerunOutcome {
    int Failed = 0;                      // entries tried and not saved
    std::vector<std::string> Remaining; // the list's lines but those saved, in order
};

// A wait of a run outside the workers (a source's pace, a pause its service asked for).
using Sleeper = std::function<void(int milliseconds)>;
// Waits in short slices, asking stopNow between them (the window's processes its events), and
// ends early when it says stop.
Sleeper SlicedSleeper(std::function<bool()> stopNow);

// The re-download of the list at listPath, as the window and quarrow-batch --retry-failed both
// run it: the task beside it, the client, the list's lines, the run, and for a custom source's
// task the list rewritten with what still fails. Its lines go to show ("No failed files
// records." for an empty list, else "Start...", each entry's lines, "Download End."); before each
// entry stopNow is asked whether to end there, without the last line.
//
// Each entry's URL is fetched and its body saved to its path, repeating after a reset. A custom
// source's task is fetched by the workers' rules (SourceFetcher: its pace and pauses, waited with
// sleep, SlicedSleeper(stopNow) when none is given; each body checked as a tile), each entry only
// into the task's tile folder and only from the source's URL for that tile; its tiles are
// recorded and made durable before the list is rewritten. An entry whose file name is no
// tile's, whose URL is not http (or not the source's for that tile) or whose body is no tile is
// reported on its line, "Refused: ...", and the run goes on. Throws as LoadRerunList does, and
// an Exception "Cannot create file " + path when a body cannot be saved there.
RerunOutcome RetryFailedList(const std::string& listPath, const std::string& caFile,
                             const std::function<void(std::string_view line)>& show,
                             const std::function<bool()>& stopNow, Sleeper sleep = {});

} // namespace quarrow
