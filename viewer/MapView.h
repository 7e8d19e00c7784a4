// The mosaic of a task's tiles at their places: dragged to pan, the wheel zooms around the
// cursor from the whole task down to four times the tiles' own pixels; missing and blank tiles
// marked, a shape's outline over them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <QImage>

#include "TaskScanner.h"
#include "TileLoader.h"
#include "ViewerTask.h"
#include "mapview/TileMapView.h"

namespace quarrow::viewer {

class MapView : public map::TileMapView {
    Q_OBJECT

public:
    // Decoded tiles kept at most.
    static constexpr std::size_t DefaultCacheBytes = 192u << 20;

    explicit MapView(QWidget* parent = nullptr, std::size_t cacheBytes = DefaultCacheBytes);
    // Stops and joins the background threads before anything they report to goes.
    ~MapView() override;

    // Shows the task (its whole extent), starts counting and the overview; blank is the blank
    // image's bytes.
    void ShowTask(std::shared_ptr<const ViewerTask> task, std::string blank);

    double MinScale() const override;

    // Each tile shaded by the time since it was fetched, with a legend of the bands.
    void SetShowAges(bool show);
    bool ShowsAges() const noexcept { return m_showAges; }
    // The tile of the task's level at the place and when it was fetched, as far as its read says;
    // none when it is not read yet or has no file.
    struct FetchedTile {
        int X = 0;
        int Y = 0;
        std::int64_t Fetched = 0;
    };
    std::optional<FetchedTile> FetchedAt(double lon, double lat) const;

    const TileCounts& Counts() const noexcept { return m_counts; }
    bool CountsFinished() const noexcept { return m_countsFinished; }
    bool OverviewFinished() const noexcept { return m_overviewFinished; }

signals:
    void CountsChanged();
    // A tile file that is no picture of a tile's size, shown as missing.
    void TileRefused(const QString& path, int side);

protected:
    std::optional<Level> DrawnLevel() const override;
    int BaseZoom() const override;
    double MaxScaleOf() const override { return MaxScale; }
    ViewState Limited(const ViewState& view) const override;
    void ViewMoved() override { m_userMoved = true; }
    void Want(std::vector<TileKey> keys) override;
    void PaintBehind(QPainter& painter) override;
    void PaintTile(QPainter& painter, const QRectF& place, const CachedTile& tile) override;
    const CachedTile* StandIn(const TileKey& key) override;
    void PaintOver(QPainter& painter) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void StopWork();
    // The tile size drawn at the present scale; 0 when the overview alone is drawn.
    int TileSizeForScale() const;
    void DrawOverview(QPainter& painter, const TileBox& range);
    void DrawAgeLegend(QPainter& painter);

    std::shared_ptr<const ViewerTask> m_task;
    bool m_userMoved = false;
    bool m_showAges = false;
    std::int64_t m_paintTime = 0; // the ages drawn are counted to it
    QImage m_overview;
    OverviewGrid m_grid;
    TileCounts m_counts;
    bool m_countsFinished = false;
    bool m_overviewFinished = false;
    std::unique_ptr<TaskScanner> m_scanner;
    std::unique_ptr<TileLoader> m_loader;
};

} // namespace quarrow::viewer
