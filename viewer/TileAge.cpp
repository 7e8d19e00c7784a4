#include "TileAge.h"

#include "store/TileFile.h"
#include "store/TileRecords.h"

namespace quarrow::viewer {

namespace {
constexpr std::int64_t Minute = 60, Hour = 60 * Minute, Day = SecondsPerDay;
} // namespace

const std::vector<AgeBand>& AgeBands() {
    static const std::vector<AgeBand> bands = {
        {Day, "under a day"},         {7 * Day, "under a week"},
        {30 * Day, "under a month"},  {182 * Day, "under 6 months"},
        {365 * Day, "under a year"},  {INT64_MAX, "a year or more"},
    };
    return bands;
}

std::size_t AgeBandOf(std::int64_t ageSeconds) {
    const std::vector<AgeBand>& bands = AgeBands();
    std::size_t band = 0;
    while (band + 1 < bands.size() && ageSeconds >= bands[band].Below)
        ++band;
    return band;
}

std::string AgeText(std::int64_t ageSeconds) {
    const auto count = [](std::int64_t n, const char* unit) {
        return "fetched " + std::to_string(n) + " " + unit + (n == 1 ? "" : "s") + " ago";
    };
    if (ageSeconds < Minute)
        return "fetched just now";
    if (ageSeconds < Hour)
        return count(ageSeconds / Minute, "minute");
    if (ageSeconds < 2 * Day)
        return count(ageSeconds / Hour, "hour");
    if (ageSeconds < 61 * Day)
        return count(ageSeconds / Day, "day");
    if (ageSeconds < 730 * Day)
        return count(ageSeconds / (30 * Day), "month");
    return count(ageSeconds / (365 * Day), "year");
}

std::optional<std::int64_t> FetchTime(TileRecords* records, const std::string& path, int x, int y) {
    if (records)
        if (const std::optional<TileRecord> record = records->Find(x, y))
            return record->Checked;
    return TileFileTime(path);
}

} // namespace quarrow::viewer
