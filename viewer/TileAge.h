// How old a task's tiles are: when each was fetched (or last found unchanged by an update), the
// bands the viewer shades them by, and the words for an age.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarrow {
class TileRecords;
}

namespace quarrow::viewer {

struct AgeBand {
    std::int64_t Below; // seconds; the last band has no end
    const char* Label;
};

// From the youngest to the oldest.
const std::vector<AgeBand>& AgeBands();
// The band of an age in seconds (a negative age, a clock that went back, is the youngest).
std::size_t AgeBandOf(std::int64_t ageSeconds);

// "fetched 5 minutes ago", "fetched 3 days ago", ...
std::string AgeText(std::int64_t ageSeconds);

// When the tile was fetched or last found unchanged (seconds since 1970): its record when the task
// keeps one, else its file's time; none when there is neither.
std::optional<std::int64_t> FetchTime(TileRecords* records, const std::string& path, int x, int y);

} // namespace quarrow::viewer
