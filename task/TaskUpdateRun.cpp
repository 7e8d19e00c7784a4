#include "TaskUpdateRun.h"

#include <algorithm>
#include <chrono>

#include "base/Exception.h"

namespace quarrow {

namespace {

// "12,345"
std::string Thousands(long long value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > (value < 0 ? 1 : 0); at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

// Nothing is "0 KB" here, not the least size of an estimate.
std::string Bytes(long long bytes) {
    return bytes > 0 ? SizeText(static_cast<std::uintmax_t>(bytes)) : "0 KB";
}

} // namespace

StoredTask PrepareUpdate(const StartSettings& settings, const std::string& projectFile,
                         UpdateRules rules) {
    return OpenStoredTask(settings, projectFile, StoredTaskUse::Run, [&](TaskParams& params) {
        if (params.Source)
            rules.MinAgeDays = std::max(rules.MinAgeDays, params.Source->MinAgeDays);
        TileRecords records(TaskFilesOf(projectFile).Records, TileRecords::Access::Read);
        rules.Pass = records.UpdatePass(SecondsNow());
        params.Update = rules;
    });
}

std::string UpdateHeadLine(const UpdateRules& rules, const std::string& when) {
    std::string which = rules.OlderThanDays > 0
                            ? "the tiles checked more than " + std::to_string(rules.OlderThanDays) +
                                  " days ago"
                            : std::string("every tile");
    if (!rules.Force)
        which += " that its service does not call fresh";
    return "Update of " + when + ": " + which + ".";
}

std::vector<std::string> UpdateHeadLines(const DownloadTask& task) {
    return {std::string(44, '-'), UpdateHeadLine(*task.Params->Update, DateTimeText(task.Now()))};
}

namespace {

long long SkippedOf(const RunCounts& counts) {
    long long skipped = 0;
    for (const long long n : counts.Skipped)
        skipped += n;
    return skipped;
}

// "(checked less than 1 day ago)", "(300 checked less than 1 day ago, 60 still fresh: ...)"
std::string SkipReasons(const RunCounts& counts, const UpdateRules& rules) {
    const auto days = [](int n) { return std::to_string(n) + (n == 1 ? " day" : " days"); };
    const std::string why[UpdateSkipKinds] = {
        "checked earlier in this update",
        "fetched less than " + days(rules.MinAgeDays) + " ago: the source's terms",
        "still fresh: the service said so",
        "checked less than " + days(rules.OlderThanDays) + " ago",
    };
    std::vector<std::string> parts;
    for (int i = 0; i < UpdateSkipKinds; ++i)
        if (const long long n = counts.Skipped[static_cast<std::size_t>(i)]; n > 0)
            parts.push_back(Thousands(n) + " " + why[i]);
    if (parts.size() == 1)
        return "(" + parts[0].substr(parts[0].find(' ') + 1) + ")";
    std::string text = "(";
    for (const std::string& part : parts)
        text += (text.size() > 1 ? ", " : "") + part;
    return text + ")";
}

} // namespace

std::string UpdateSummary(const RunCounts& counts, const UpdateRules& rules) {
    std::string head;
    if (const long long skipped = SkippedOf(counts); skipped > 0)
        head = Thousands(counts.Checked + skipped + counts.Cut) + " tiles: " +
               Thousands(counts.Checked + counts.Cut) + " asked, " + Thousands(skipped) +
               " skipped " + SkipReasons(counts, rules) + "; ";
    return head + Thousands(counts.Checked) + " tiles checked: " + Thousands(counts.Unchanged) +
           " unchanged, " + Thousands(counts.Changed) + " changed, " + Thousands(counts.Gone) +
           " gone from the service, " + Thousands(counts.Failed) + " failed; " +
           Bytes(counts.BytesFetched) + " fetched of " + Bytes(counts.BytesHeld);
}

std::string UpdateSummaryShort(const RunCounts& counts) {
    const long long skipped = SkippedOf(counts);
    return "Update: " + Thousands(counts.Checked) + " checked, " + Thousands(counts.Changed) +
           " changed, " + Thousands(counts.Gone) + " gone, " + Thousands(counts.Failed) +
           " failed" + (skipped > 0 ? ", " + Thousands(skipped) + " skipped" : std::string());
}

std::string UpdateEndText(const std::string& summary, bool stopped, const std::string& stopReason,
                          const std::string& goOn) {
    // The reason first, where a narrow status bar still shows it; after a stop too.
    const std::string text = stopReason.empty() ? summary : stopReason + " " + summary;
    return stopped ? text + goOn : text;
}

} // namespace quarrow
