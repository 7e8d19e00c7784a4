// A tile's file as the programs look at it: its time and size, without the records of the task.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quarrow {

// A tile's file larger than this is no tile (the client refuses a larger answer too).
inline constexpr std::uint64_t MaxTileFileSize = std::uint64_t{64} << 20;

// Seconds since 1970, as the records and the tile files keep times.
std::int64_t SecondsNow();

// later - earlier, held within the 64-bit range: a time from a records file may be anything.
std::int64_t SecondsBetween(std::int64_t later, std::int64_t earlier) noexcept;
// time + seconds, held within the 64-bit range likewise.
std::int64_t SecondsAfter(std::int64_t time, std::int64_t seconds) noexcept;

// A tile's file as one look at it finds it.
struct TileFile {
    std::int64_t Written = 0;   // seconds since 1970
    std::int64_t WrittenMs = 0; // the same in milliseconds
    std::uint64_t Size = 0;
    bool Regular = true; // a regular file, not a folder, FIFO or device
};
// None when there is no file.
std::optional<TileFile> LookAtTileFile(const std::string& path);
// Whether the regular file at path holds exactly the blank image's bytes; only a file of the
// blank's size is read.
bool IsBlankTile(const std::string& path, const TileFile& file, const std::string& blank);
// When the tile's file was last written; none when there is no file.
std::optional<std::int64_t> TileFileTime(const std::string& path);
// Gives the file that time (the tile's Last-Modified, as download tools do); false when it cannot.
bool SetTileFileTime(const std::string& path, std::int64_t seconds);

} // namespace quarrow
