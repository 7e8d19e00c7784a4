// The background pass over a whole task.
#include "TaskScanner.h"

#include <chrono>

#include "TileLoader.h"

namespace quarrow::viewer {
namespace {

constexpr unsigned HatchDark = 0xffc0504d;
constexpr unsigned HatchLight = 0xfff2dcdb;

void PaintCell(QImage& overview, int left, int top, int cell, const CachedTile& tile) {
    for (int j = 0; j < cell && top + j < overview.height(); ++j) {
        auto* line = reinterpret_cast<QRgb*>(overview.scanLine(top + j));
        for (int i = 0; i < cell && left + i < overview.width(); ++i) {
            QRgb colour = MissingColour;
            if (tile.State == TileState::Blank)
                colour = (i + j) % 4 == 0 ? HatchDark : HatchLight;
            else if (!tile.Image.isNull())
                colour = tile.Image.pixel(i, j);
            line[left + i] = colour;
        }
    }
}

} // namespace

bool BuildOverview(const ViewerTask& task, const std::string& blank, const OverviewGrid& grid,
                   QImage& overview, std::stop_token stop,
                   const std::function<void(const QImage&)>& publish) {
    using Clock = std::chrono::steady_clock;
    const TileBox range = task.Range();
    auto nextPublish = Clock::now() + std::chrono::milliseconds(300);
    const long long blocksX = (range.Columns() + grid.Stride - 1) / grid.Stride;
    const long long blocksY = (range.Rows() + grid.Stride - 1) / grid.Stride;
    for (long long by = 0; by < blocksY; ++by) {
        for (long long bx = 0; bx < blocksX; ++bx) {
            if (stop.stop_requested())
                return false;
            const TileKey key{static_cast<int>(range.MinX + bx * grid.Stride),
                              static_cast<int>(range.MinY + by * grid.Stride), grid.Cell};
            PaintCell(overview, static_cast<int>(bx * grid.Cell), static_cast<int>(by * grid.Cell),
                      grid.Cell, LoadTile(task, blank, key));
        }
        if (publish && Clock::now() >= nextPublish) {
            publish(overview);
            nextPublish = Clock::now() + std::chrono::milliseconds(300);
        }
    }
    return true;
}

TaskScanner::TaskScanner(std::shared_ptr<const ViewerTask> task, std::string blank,
                         Callbacks callbacks)
    : m_task(std::move(task)), m_blank(std::move(blank)), m_callbacks(std::move(callbacks)),
      m_thread([this](std::stop_token stop) { Run(stop); }) {}

void TaskScanner::Run(std::stop_token stop) {
    const TileCounts counts = CountTiles(*m_task, m_blank, stop, [this](const TileCounts& sofar) {
        m_callbacks.Counted(sofar, false);
    });
    if (stop.stop_requested())
        return;
    m_callbacks.Counted(counts, true);

    const OverviewGrid grid = OverviewGridFor(m_task->Range());
    QImage overview(grid.Width, grid.Height, QImage::Format_RGB32);
    overview.fill(MissingColour);
    // Nothing to draw when no tile is there: the cleared picture is the whole answer.
    if (counts.Present + counts.Blank == 0) {
        m_callbacks.Overview(overview, true);
        return;
    }
    // Publishing hands the window a copy: this thread goes on drawing into its own.
    if (BuildOverview(*m_task, m_blank, grid, overview, stop,
                      [this](const QImage& sofar) { m_callbacks.Overview(sofar.copy(), false); }))
        m_callbacks.Overview(overview, true);
}

} // namespace quarrow::viewer
