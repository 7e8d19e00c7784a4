// The mosaic of a task's tiles at their places: dragged to pan, the wheel zooms around the
// cursor from the whole task down to four times the tiles' own pixels.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <QImage>
#include <QPoint>
#include <QWidget>

#include "TaskScanner.h"
#include "TileCache.h"
#include "TileLoader.h"
#include "ViewGeometry.h"
#include "ViewerTask.h"

namespace quarrow::viewer {

class MapView : public QWidget {
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

    const ViewState& View() const noexcept { return m_view; }
    void SetView(const ViewState& view);
    // Zooms by factor around the window pixel, as the wheel does.
    void ZoomAt(double factor, QPointF pixel);
    double MinScale() const;

    const TileCounts& Counts() const noexcept { return m_counts; }
    bool CountsFinished() const noexcept { return m_countsFinished; }
    bool OverviewFinished() const noexcept { return m_overviewFinished; }
    // The last paint found every tile it needed in the cache.
    bool TilesSettled() const noexcept { return m_lastPaintWanted == 0; }
    const TileCache& Cache() const noexcept { return m_cache; }

signals:
    void CursorMoved(double lon, double lat);
    void CountsChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void StopWork();
    // The tile size drawn at the present scale; 0 when the overview alone is drawn.
    int TileSizeForScale() const;
    void DrawOverview(class QPainter& painter, const TileBox& range);
    void DrawTiles(class QPainter& painter, const TileBox& visible, int size);

    std::shared_ptr<const ViewerTask> m_task;
    ViewState m_view;
    bool m_userMoved = false;
    std::optional<QPointF> m_dragFrom;
    TileCache m_cache;
    QImage m_overview;
    OverviewGrid m_grid;
    TileCounts m_counts;
    bool m_countsFinished = false;
    bool m_overviewFinished = false;
    std::size_t m_lastPaintWanted = 0;
    // Tells reports of an earlier task, still queued, from those of the present one.
    unsigned m_generation = 0;
    std::unique_ptr<TaskScanner> m_scanner;
    std::unique_ptr<TileLoader> m_loader;
};

} // namespace quarrow::viewer
