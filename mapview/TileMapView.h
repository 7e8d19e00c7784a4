// A map of square tiles at their places, shared by the viewer and the area window: dragged to pan,
// the wheel zooms around the cursor, the tiles of the level in view are asked for nearest the
// centre first and kept in a cache; what the tiles are, where they come from and what is drawn
// over them is a subclass's.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include <QPointF>
#include <QWidget>

#include "TileCache.h"
#include "widgets/UiMailbox.h"
#include "ViewGeometry.h"

class QPainter;

namespace quarrow::map {

// How a map's status bar tells the place under the cursor.
QString CursorText(double lon, double lat);

class TileMapView : public QWidget {
    Q_OBJECT

public:
    const ViewState& View() const noexcept { return m_view; }
    // Takes the view, within the subclass's limits.
    void SetView(const ViewState& view);
    // Zooms by factor around the window pixel, as the wheel does.
    void ZoomAt(double factor, QPointF pixel);

    // The last paint found every tile it needed in the cache.
    bool TilesSettled() const noexcept { return m_lastPaintWanted == 0; }
    const TileCache& Cache() const noexcept { return m_cache; }

    // A tile read or fetched for the view; on the UI thread.
    void Deliver(const TileKey& key, CachedTile tile);
    void ClearTiles();

signals:
    void CursorMoved(double lon, double lat);

protected:
    TileMapView(QWidget* parent, std::size_t cacheBytes);

    // The tiles drawn at the present view: those of zoom level Zoom within Range, read at Size
    // pixels; each spans Span tiles of the view's base zoom level. nullopt: no tiles drawn.
    struct Level {
        int Zoom = 0;
        TileBox Range;
        int Size = 256;
        double Span = 1;
    };
    virtual std::optional<Level> DrawnLevel() const = 0;
    // The zoom level of the view's tile coordinates.
    virtual int BaseZoom() const = 0;
    virtual double MinScale() const = 0;
    virtual double MaxScaleOf() const = 0;
    // The view kept within what may be shown.
    virtual ViewState Limited(const ViewState& view) const { return view; }
    // After the user or a caller has moved the view.
    virtual void ViewMoved() {}
    // Asks for these tiles, nearest the centre first; replaces the earlier wishes.
    virtual void Want(std::vector<TileKey> keys) = 0;

    virtual void PaintBehind(QPainter& painter);
    // A tile at its place; the default draws its picture.
    virtual void PaintTile(QPainter& painter, const QRectF& place, const CachedTile& tile);
    // A tile that is not read yet; the default draws nothing, so what is behind shows.
    virtual const CachedTile* StandIn(const TileKey& key);
    virtual void PaintOver(QPainter& painter);

    // A left press that a subclass takes (to draw, say) is no drag of the map; false by default.
    virtual bool TakePress(QMouseEvent* event);
    virtual void TakenMove(QMouseEvent* event);
    virtual void TakenRelease(QMouseEvent* event);
    // The cursor's shape over a pixel when nothing is dragged.
    virtual Qt::CursorShape CursorAt(QPointF pixel) const;

    // The window pixel of a point of the view's base level, and back.
    QPointF ScreenOf(double tileX, double tileY) const;
    TilePoint TileOf(QPointF pixel) const;

    // Loading threads report through these. A new generation begins with each new loader: what
    // earlier ones still post is dropped on arrival.
    unsigned NewGeneration() noexcept { return ++m_generation; }
    // Any thread: the call runs on the UI thread, unless a newer generation has begun by then.
    void PostFor(unsigned generation, std::function<void()> call);
    // A loader's delivery of tiles to Deliver, as PostFor.
    std::function<void(const TileKey&, CachedTile)> DeliveryFor(unsigned generation);

    TileCache& MutableCache() noexcept { return m_cache; }
    void SetViewQuietly(const ViewState& view) { m_view = view; }

    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void DrawTiles(QPainter& painter, const Level& level);

    ViewState m_view;
    std::optional<QPointF> m_dragFrom;
    bool m_taken = false; // the press belongs to the subclass
    TileCache m_cache;
    std::size_t m_lastPaintWanted = 0;
    unsigned m_generation = 0; // read and changed on the UI thread only
    UiMailbox m_mailbox;
};

} // namespace quarrow::map
