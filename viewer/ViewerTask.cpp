// A task as the viewer sees it.
#include "ViewerTask.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "archive/TileFolder.h"
#include "store/TextFile.h"
#include "store/TileFile.h"

namespace quarrow::viewer {
namespace {

// Only a regular file, and no more than a tile may be: a FIFO or a link to a device at a tile's
// name is no tile.
bool ReadWhole(const std::string& path, std::string& out) {
    return archive::ReadTileFile(path, out);
}

} // namespace

ViewerTask::ViewerTask(const std::string& projectFile)
    : m_task(std::make_shared<TaskParams>(ReadTaskParams(projectFile)), DownloadTask::ReadOnly{}) {}

std::string ReadBlankImage(const std::string& path) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes, MaxTileFileSize))
        return {};
    return bytes;
}

TileState ReadTile(const std::string& path, const std::string& blank, std::string* bytes) {
    std::string content;
    if (!ReadWhole(path, content))
        return TileState::Missing;
    if (!blank.empty() && content == blank)
        return TileState::Blank;
    if (bytes)
        *bytes = std::move(content);
    return TileState::Present;
}

TileCounts CountTiles(const ViewerTask& task, const std::string& blank, std::stop_token stop,
                      const std::function<void(const TileCounts&)>& progress) {
    namespace fs = std::filesystem;
    const TileBox range = task.Range();
    TileCounts counts;
    std::error_code ec;
    if (!fs::is_directory(task.Task().TileFolder, ec)) {
        counts.Missing = task.Task().TileCount;
        return counts;
    }
    using Clock = std::chrono::steady_clock;
    auto nextReport = Clock::now();
    std::string content;
    for (long long x = range.MinX; x <= range.MaxX; ++x) {
        for (long long y = range.MinY; y <= range.MaxY; ++y) {
            if (stop.stop_requested())
                return counts;
            // Outside a shape there is no tile of the task.
            if (!task.Task().Covers(static_cast<int>(x), static_cast<int>(y)))
                continue;
            const std::string path = task.TilePath(static_cast<int>(x), static_cast<int>(y));
            const auto size = fs::file_size(path, ec);
            if (ec)
                ++counts.Missing;
            else if (!blank.empty() && size == blank.size() && ReadWhole(path, content) &&
                     content == blank)
                ++counts.Blank;
            else
                ++counts.Present;
        }
        if (progress && Clock::now() >= nextReport) {
            progress(counts);
            nextReport = Clock::now() + std::chrono::milliseconds(200);
        }
    }
    return counts;
}

} // namespace quarrow::viewer
