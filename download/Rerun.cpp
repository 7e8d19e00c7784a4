// The re-download's decisions: the failure's message alone tells what follows, by the same
// substring tests as the workers'.
#include "Rerun.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "../engine/Exception.h"
#include "../engine/FileReplacer.h"
#include "../engine/ProfileFile.h"
#include "../engine/SourcesFile.h"
#include "../engine/TaskLock.h"
#include "../engine/TextRules.h"
#include "../engine/ImageHeader.h"
#include "../engine/Unitclasstask.h"
#include "FailedTileList.h"
#include "FailureTexts.h"
#include "ServiceRules.h"
#include "Tls.h"
#include "httpclient.h"

namespace quarrow {
namespace {

// A list can be edited by hand: only a tile's own name may be written, so that a line cannot
// overwrite any other file of the user's.
void SaveTile(const std::string& path, std::string_view body) {
    const Exception refused("Cannot create file " + path);
    if (!IsTileFileName(std::filesystem::path(path).filename().string()))
        throw refused;
    try {
        ReplaceFile(path, body);
    } catch (const Exception&) {
        throw refused;
    }
}

} // namespace

void SetUpRerunClient(TIdHTTP& client) {
    client.Referer = RerunReferer;
    client.UserAgent = RerunUserAgent;
    client.Connection = RerunConnection;
}

RerunTask FindRerunTask(const std::string& listPath) {
    RerunTask task;
    const std::string project = ProjectOfFailedList(listPath);
    if (project.empty())
        return task;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(project, ec))
        return task;
    task.ProjectFile = project;
    try {
        auto params = std::make_shared<TaskParams>(ReadTaskParams(project));
        if (params->Source) {
            const DownloadTask read(params, DownloadTask::ReadOnly{});
            task.Source = params->Source;
            task.TileFolder = read.TileFolder;
        }
    } catch (const Exception&) {
        // A project that does not read leaves the list to the window's own rules.
    }
    return task;
}

void SetUpRerunClient(TIdHTTP& client, const RerunTask& task, const std::string& caFile) {
    if (!task.Source) {
        SetUpRerunClient(client);
        return;
    }
    ApplySourceRules(client, *task.Source, caFile);
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

RerunReport RefetchEntry(TIdHTTP& client, std::string_view line, const RerunTask& task) {
    const FailureEntry entry = SplitFailureEntry(line);
    const auto [folder, name] = SplitFolder(entry.Path);
    if (task.Source && (folder != task.TileFolder || !IsTileFileName(name)))
        return {{"Refused: " + PrintableText(entry.Path) + " is no tile file of the task " +
                 task.ProjectFile + "."},
                false,
                false};
    std::string buffer;
    for (int attempt = 1;; ++attempt) {
        // Bytes of an answer cut by a reset must not precede the next answer in the file.
        buffer.clear();
        try {
            client.Get(entry.Url, buffer);
            if (task.Source)
                if (const auto fault = TileImageFault(buffer, task.Source->Format))
                    throw Exception(*fault);
        } catch (const Exception& error) {
            if (IsReset(error.Message()) && attempt < RerunMaxAttempts)
                continue;
            return FailureReport(error.Message(), entry.Url);
        }
        if (!task.Source) {
            SaveTile(entry.Path, buffer);
        } else {
            try {
                ReplaceFile(entry.Path, buffer, Flush::Later);
            } catch (const Exception& error) {
                return {{error.Message()}, false, false};
            }
        }
        return {{SavedLine(entry.Path, entry.Url)}, false, true};
    }
}

RerunOutcome RefetchList(TIdHTTP& client, const std::vector<std::string>& lines,
                         const std::function<void(std::string_view line)>& show,
                         const std::function<bool()>& stopNow, const RerunTask& task) {
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
        const RerunReport report = RefetchEntry(client, lines[next], task);
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

RerunOutcome RetryFailedList(const std::string& listPath, const std::string& caFile,
                             const std::function<void(std::string_view line)>& show,
                             const std::function<bool()>& stopNow) {
    const RerunTask task = FindRerunTask(listPath);
    // The list is rewritten: no task's run may save it meanwhile.
    std::optional<TaskLock> lock;
    if (task.Source)
        lock.emplace(task.ProjectFile);
    TIdHTTP client;
    SetUpRerunClient(client, task, caFile);
    const std::vector<std::string> lines = LoadRerunList(listPath);
    RerunOutcome outcome = RefetchList(client, lines, show, stopNow, task);
    // A second run asks only for what still fails.
    if (task.Source && outcome.Remaining.size() != lines.size())
        WriteFailedList(listPath, outcome.Remaining);
    return outcome;
}

} // namespace quarrow
