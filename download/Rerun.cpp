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

void SetUpRerunClient(TIdHTTP& client, const std::string& listPath, const std::string& caFile) {
    constexpr std::string_view ListTail = "_failed.ftl";
    std::optional<TileSource> source;
    if (listPath.ends_with(ListTail)) {
        const std::string project = listPath.substr(0, listPath.size() - ListTail.size()) + ".zav";
        std::error_code ec;
        if (std::filesystem::is_regular_file(project, ec))
            source = ReadProjectSource(
                project, ProfileFile(project).ReadInteger("MapsType", "MapsType", 17));
    }
    if (!source) {
        SetUpRerunClient(client);
        return;
    }
    ApplySourceRules(client, *source, std::make_shared<TlsContext>(caFile));
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

RerunReport RefetchEntry(TIdHTTP& client, std::string_view line) {
    const FailureEntry entry = SplitFailureEntry(line);
    std::string buffer;
    for (int attempt = 1;; ++attempt) {
        // Bytes of an answer cut by a reset must not precede the next answer in the file.
        buffer.clear();
        try {
            client.Get(entry.Url, buffer);
        } catch (const Exception& error) {
            if (IsReset(error.Message()) && attempt < RerunMaxAttempts)
                continue;
            return FailureReport(error.Message(), entry.Url);
        }
        SaveTile(entry.Path, buffer);
        return {{SavedLine(entry.Path, entry.Url)}, false, true};
    }
}

int RefetchList(TIdHTTP& client, const std::vector<std::string>& lines,
                const std::function<void(std::string_view line)>& show,
                const std::function<bool()>& stopNow) {
    if (lines.empty()) {
        show(NoRecordsLine);
        return 0;
    }
    show(StartLine);
    int failed = 0;
    for (const std::string& line : lines) {
        if (stopNow())
            return failed;
        const RerunReport report = RefetchEntry(client, line);
        for (const std::string& shown : report.Lines)
            show(shown);
        failed += report.Saved ? 0 : 1;
        if (report.EndsRun)
            break;
    }
    show(EndLine);
    return failed;
}

} // namespace quarrow
