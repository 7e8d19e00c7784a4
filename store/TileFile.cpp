#include "TileFile.h"

#include <chrono>
#include <filesystem>

#include <sys/stat.h>

#include "TextFile.h"

namespace quarrow {

std::int64_t SecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<TileFile> LookAtTileFile(const std::string& path) {
    struct stat facts {};
    if (::stat(path.c_str(), &facts) != 0)
        return std::nullopt;
    return TileFile{facts.st_mtim.tv_sec,
                    facts.st_mtim.tv_sec * 1000 + facts.st_mtim.tv_nsec / 1'000'000,
                    static_cast<std::uint64_t>(facts.st_size), S_ISREG(facts.st_mode)};
}

std::optional<std::int64_t> TileFileTime(const std::string& path) {
    const std::optional<TileFile> file = LookAtTileFile(path);
    return file ? std::optional(file->Written) : std::nullopt;
}

std::int64_t SecondsBetween(std::int64_t later, std::int64_t earlier) noexcept {
    std::int64_t difference = 0;
    if (__builtin_sub_overflow(later, earlier, &difference))
        return later > earlier ? INT64_MAX : INT64_MIN;
    return difference;
}

std::int64_t SecondsAfter(std::int64_t time, std::int64_t seconds) noexcept {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(time, seconds, &sum))
        return seconds > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

bool SetTileFileTime(const std::string& path, std::int64_t seconds) {
    // The file clock counts nanoseconds in 64 bits: years 1678 to 2262, and no further.
    constexpr std::int64_t Reach = 9'000'000'000;
    if (seconds < -Reach || seconds > Reach)
        return false;
    std::error_code ec;
    std::filesystem::last_write_time(
        path,
        std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds))),
        ec);
    return !ec;
}

bool IsBlankTile(const std::string& path, const TileFile& file, const std::string& blank) {
    std::string bytes;
    return !blank.empty() && file.Regular && file.Size == blank.size() &&
           ReadWholeFile(path, bytes, MaxTileFileSize) && bytes == blank;
}

} // namespace quarrow
