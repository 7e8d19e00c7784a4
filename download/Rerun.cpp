// The re-download's decisions: the failure's message alone tells what follows, by the same
// substring tests as the workers'.
#include "Rerun.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <optional>
#include <system_error>

#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "engine/ProfileFile.h"
#include "engine/SourcesFile.h"
#include "store/TaskFiles.h"
#include "store/TaskLock.h"
#include "base/TextRules.h"
#include "engine/ImageHeader.h"
#include "engine/Unitclasstask.h"
#include "FailedTileList.h"
#include "FailureTexts.h"
#include "ServiceRules.h"
#include "FetchedTiles.h"
#include "SourceFetcher.h"
#include "Tls.h"
#include "httpclient.h"

namespace quarrow {
namespace {

// A list can be edited by hand: only a tile's own name is written (RefetchEntry refuses others),
// so that a line cannot overwrite any other file of the user's.
void SaveTile(const std::string& path, std::string_view body) {
    try {
        ReplaceFile(path, body);
    } catch (const Exception&) {
        throw Exception("Cannot create file " + path);
    }
}

RerunReport Refused(const std::string& why) {
    return {{"Refused: " + why}, false, false};
}

// A URL that the built-in client may be given: http (https gets the client's own error), a host,
// no blank or control character that would end up in the request's lines.
bool IsWebUrl(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos || HasControl(url) ||
        url.find(' ') != std::string_view::npos)
        return false;
    const std::string_view name = url.substr(0, scheme);
    const std::string_view rest = url.substr(scheme + 3);
    return (EqualsNoCase(name, "http") || EqualsNoCase(name, "https")) && !rest.empty() &&
           rest.front() != '/' && rest.front() != ':';
}

} // namespace

void SetUpRerunClient(TIdHTTP& client) {
    client.Referer = RerunReferer;
    client.UserAgent = RerunUserAgent;
    client.Connection = RerunConnection;
}

RerunTask FindRerunTask(const std::string& listPath) {
    RerunTask task;
    // Absolute, as the workers write the list's entries, whatever folder the list was named from.
    std::error_code ec;
    const std::string project =
        ProjectOfFailedList(std::filesystem::absolute(listPath, ec).lexically_normal().string());
    if (project.empty() || ec || !std::filesystem::is_regular_file(project, ec))
        return task;
    task.ProjectFile = project;
    try {
        auto params = std::make_shared<TaskParams>(ReadTaskParams(project));
        const auto stored = std::make_shared<const DownloadTask>(params, DownloadTask::ReadOnly{});
        task.TileFolder = stored->TileFolder;
        if (params->Source)
            task.Custom = stored;
    } catch (const SourceFault&) {
        throw;
    } catch (const Exception&) {
        // A project that does not read leaves the list to the window's own rules.
    }
    return task;
}

void SetUpRerunClient(TIdHTTP& client, const RerunTask& task, const std::string& caFile) {
    if (!task.Custom) {
        SetUpRerunClient(client);
        return;
    }
    ApplySourceRules(client, *task.Custom->Params->Source, caFile);
}

std::vector<std::string> LoadRerunList(const std::string& path) {
    try {
        return ReadFailedList(path);
    } catch (const Exception&) {
        throw Exception("Cannot open file " + path);
    }
}

std::string SavedLine(std::string_view path, std::string_view url) {
    std::string line;
    line.append(path).append(":").append(url).append(" ->OK");
    return line;
}

RerunReport FailureReport(std::string_view message, std::string_view url) {
    RerunReport report;
    report.Lines.push_back(std::string(message).append("->").append(url));
    if (failure::Holds(message, failure::Status302) ||
        failure::Holds(message, failure::Status403)) {
        report.Lines.emplace_back(failure::BannedLine);
        report.EndsRun = true;
    } else if (failure::Holds(message, failure::Status404)) {
        report.Lines.push_back(std::string(url).append(failure::NotFoundTail));
    }
    return report;
}

bool IsReset(std::string_view message) {
    return failure::Holds(message, failure::Reset);
}

namespace {

// One run over a list's lines, with its client and, for a custom source's task, the source's
// fetcher and where its tiles go.
struct ListRun {
    const RerunTask& Task;
    TIdHTTP& Client;
    SourceFetcher* Fetcher = nullptr;
    FetchedTiles* Tiles = nullptr;

    RerunReport Entry(std::string_view line) {
        FailureEntry entry = SplitFailureEntry(line);
        const std::optional<TileName> tile = ParseTileFileName(SplitFolder(entry.Path).second);
        if (tile && !entry.Path.starts_with('/') && !Task.TileFolder.empty())
            entry.Path = Task.TileFolder + SplitFolder(entry.Path).second;
        const DownloadTask* custom = Task.Custom.get();
        if (custom) {
            if (!tile ||
                ReachedPath(entry.Path) != ReachedPath(custom->TilePath(tile->X, tile->Y)))
                return Refused(PrintableText(entry.Path) + " is no tile file of the task " +
                               Task.ProjectFile + ".");
            // The source's headers go to its own host only: the list names the tile, not the URL.
            if (entry.Url != custom->TileUrl(tile->X, tile->Y))
                return Refused("the URL of " + PrintableText(line) +
                               " is not the source's URL for that tile");
        } else if (!tile) {
            return Refused(PrintableText(entry.Path) + " is no tile file name.");
        } else if (!IsWebUrl(entry.Url)) {
            return Refused("the URL of " + PrintableText(line) + " is no http URL.");
        }
        std::string buffer;
        const Asker ask = Fetcher ? Asker([this](const std::string& url, std::string& body) {
                                        Fetcher->Get(url, body);
                                    })
                                  : Asker([this](const std::string& url, std::string& body) {
                                        Client.Get(url, body);
                                    });
        if (const auto failure = FetchRepeated(ask, entry.Url, buffer))
            return FailureReport(*failure, entry.Url);
        if (!custom) {
            SaveTile(entry.Path, buffer);
        } else {
            try {
                Tiles->Save(tile->X, tile->Y, buffer, *Fetcher);
            } catch (const Exception& error) {
                return {{error.Message()}, false, false};
            }
            Fetcher->Answered();
        }
        return {{SavedLine(entry.Path, entry.Url)}, false, true};
    }

    RerunOutcome List(const std::vector<std::string>& lines,
                      const std::function<void(std::string_view line)>& show,
                      const std::function<bool()>& stopNow) {
        RerunOutcome outcome;
        if (lines.empty()) {
            show(NoRecordsLine);
            return outcome;
        }
        show(StartLine);
        std::size_t next = 0;
        bool stopped = false;
        for (; next < lines.size(); ++next) {
            if ((stopped = stopNow()))
                break;
            RerunReport report;
            try {
                report = Entry(lines[next]);
            } catch (const FetchStopped&) {
                stopped = true;
                break;
            }
            for (const std::string& shown : report.Lines)
                show(shown);
            if (!report.Saved) {
                ++outcome.Failed;
                outcome.Remaining.push_back(lines[next]);
            }
            if (report.EndsRun) {
                ++next;
                break;
            }
        }
        // What was not tried stays listed.
        outcome.Remaining.insert(outcome.Remaining.end(), lines.begin() + static_cast<long>(next),
                                 lines.end());
        if (!stopped)
            show(EndLine);
        return outcome;
    }
};

} // namespace

std::optional<std::string> FetchRepeated(const Asker& ask, const std::string& url,
                                         std::string& buffer) {
    for (int attempt = 1;; ++attempt) {
        // Bytes of an answer cut by a reset must not precede the next answer in the file.
        buffer.clear();
        try {
            ask(url, buffer);
            return std::nullopt;
        } catch (const Exception& error) {
            if (IsReset(error.Message()) && attempt < RerunMaxAttempts)
                continue;
            return error.Message();
        }
    }
}

Sleeper SlicedSleeper(std::function<bool()> stopNow) {
    return [stopNow = std::move(stopNow)](int milliseconds) {
        constexpr auto Slice = std::chrono::milliseconds(20);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (!stopNow()) {
            const auto left = until - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero())
                return;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, Slice));
        }
    };
}

RerunOutcome RetryFailedList(const std::string& listPath, const std::string& caFile,
                             const std::function<void(std::string_view line)>& show,
                             const std::function<bool()>& stopNow, Sleeper sleep) {
    const RerunTask task = FindRerunTask(listPath);
    // The list is rewritten: no task's run may save it meanwhile.
    std::optional<TaskLock> lock;
    if (task.Custom)
        lock.emplace(task.ProjectFile);
    TIdHTTP client;
    SetUpRerunClient(client, task, caFile);
    const std::vector<std::string> lines = LoadRerunList(listPath);
    ListRun run{task, client};
    std::optional<SourceFetcher> fetcher;
    std::optional<FetchedTiles> tiles;
    if (task.Custom) {
        const auto tell = [&show](const std::string& line) { show(line); };
        fetcher.emplace(*task.Custom, client, 0,
                        SourceFetcher::Waits{sleep ? sleep : SlicedSleeper(stopNow), stopNow, tell});
        tiles.emplace(*task.Custom, tell);
        run.Fetcher = &*fetcher;
        run.Tiles = &*tiles;
    }
    RerunOutcome outcome = run.List(lines, show, stopNow);
    // A second run asks only for what still fails; the tiles are on the disk before the list
    // stops naming them.
    if (tiles)
        tiles->Commit([&] {
            if (outcome.Remaining.size() != lines.size())
                WriteFailedList(listPath, outcome.Remaining);
        });
    return outcome;
}

} // namespace quarrow
