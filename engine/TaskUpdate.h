// Bringing a downloaded task up to date: which of its tiles an update asks for again, with the
// validators they came with, and what it found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/TileRecords.h"

namespace quarrow {

struct TileRecord;

// The longest "older than" an update takes, in days: a hundred years.
inline constexpr int MaxOlderThanDays = 36500;

struct UpdateRules {
    int OlderThanDays = 0;    // 0: every tile, however recently it was checked
    bool Force = false;       // also the tiles that their service said are still fresh
    int MinAgeDays = 0;       // the source's terms: no tile again sooner after it was fetched
    std::int64_t Pass = 0;    // the update's pass: a tile checked in it is done
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Until when (seconds since 1970) an answer received at `now` stays fresh, from its
// Cache-Control (max-age; no-cache and no-store: not at all) or else its Expires (against its
// Date when it has one); 0 when it says nothing.
std::int64_t FreshUntil(const HeaderList& headers, std::int64_t now);

// The validators of a tile's answer, for its record: ETag and Last-Modified.
std::pair<std::string, std::string> ValidatorsOf(const HeaderList& headers);

// Why an update does not ask for a tile.
enum class UpdateSkip {
    ThisUpdate, // checked by this update before it was stopped
    MinAge,     // fetched too recently for the source's terms
    Fresh,      // its service said it stays fresh
    Recent,     // checked more recently than the update's "older than"
};
inline constexpr int UpdateSkipKinds = 4;

// Why an update does not ask for the tile, or nullopt when it does: its record (none: a tile
// saved before records were kept) and when its file was last written (seconds since 1970; none:
// there is no file).
std::optional<UpdateSkip> UpdateSkips(const UpdateRules& rules,
                                      const std::optional<TileRecord>& record,
                                      std::optional<std::int64_t> fileTime, std::int64_t now);
// Whether an update asks for the tile: when nothing skips it.
bool UpdateAsks(const UpdateRules& rules, const std::optional<TileRecord>& record,
                std::optional<std::int64_t> fileTime, std::int64_t now);

// The conditional lines of a request for the tile: If-None-Match with its ETag and
// If-Modified-Since with its Last-Modified, those it has.
HeaderList ConditionalHeaders(const std::optional<TileRecord>& record);

} // namespace quarrow
