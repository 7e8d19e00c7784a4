// Tiles nearest the centre are asked for first: what the eye is on comes in first.
#include "TileMapView.h"

#include <algorithm>
#include <cmath>

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

namespace quarrow::map {
namespace {

// One wheel notch zooms by this factor.
constexpr double NotchFactor = 1.25;

} // namespace

QString CursorText(double lon, double lat) {
    return QStringLiteral("Longitude %1   Latitude %2").arg(lon, 0, 'f', 6).arg(lat, 0, 'f', 6);
}

TileMapView::TileMapView(QWidget* parent, std::size_t cacheBytes)
    : QWidget(parent), m_cache(cacheBytes) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(200, 150);
}

void TileMapView::SetView(const ViewState& view) {
    m_view = Limited(view);
    ViewMoved();
    update();
}

void TileMapView::ZoomAt(double factor, QPointF pixel) {
    SetView(ZoomAround(m_view, factor, pixel.x(), pixel.y(), MinScale(), MaxScaleOf()));
}

void TileMapView::Deliver(const TileKey& key, CachedTile tile) {
    m_cache.Put(key, std::move(tile));
    update();
}

void TileMapView::ClearTiles() {
    m_cache.Clear();
    update();
}

void TileMapView::PostFor(unsigned generation, std::function<void()> call) {
    m_mailbox.Post([this, generation, call = std::move(call)] {
        if (generation == m_generation)
            call();
    });
}

std::function<void(const TileKey&, CachedTile)> TileMapView::DeliveryFor(unsigned generation) {
    return [this, generation](const TileKey& key, CachedTile tile) {
        PostFor(generation,
                [this, key, tile = std::move(tile)]() mutable { Deliver(key, std::move(tile)); });
    };
}

QPointF TileMapView::ScreenOf(double tileX, double tileY) const {
    return {ScreenX(m_view, tileX), ScreenY(m_view, tileY)};
}

TilePoint TileMapView::TileOf(QPointF pixel) const {
    return TileAt(m_view, pixel.x(), pixel.y());
}

void TileMapView::PaintBehind(QPainter& painter) {
    painter.fillRect(rect(), QColor(0x6e, 0x73, 0x78));
}

void TileMapView::PaintTile(QPainter& painter, const QRectF& place, const CachedTile& tile) {
    if (!tile.Image.isNull())
        painter.drawImage(place, tile.Image);
}

const CachedTile* TileMapView::StandIn(const TileKey&) {
    return nullptr;
}

void TileMapView::PaintOver(QPainter&) {}

bool TileMapView::TakePress(QMouseEvent*) {
    return false;
}

void TileMapView::TakenMove(QMouseEvent*) {}

void TileMapView::TakenRelease(QMouseEvent*) {}

Qt::CursorShape TileMapView::CursorAt(QPointF) const {
    return Qt::ArrowCursor;
}

void TileMapView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintBehind(painter);
    if (const std::optional<Level> level = DrawnLevel()) {
        DrawTiles(painter, *level);
    } else {
        m_lastPaintWanted = 0;
        Want({});
    }
    PaintOver(painter);
}

void TileMapView::DrawTiles(QPainter& painter, const Level& level) {
    // The view in the level's own tiles.
    ViewState inLevel = m_view;
    inLevel.Left /= level.Span;
    inLevel.Top /= level.Span;
    inLevel.Scale *= level.Span;
    const std::optional<TileBox> visible = VisibleTiles(inLevel, width(), height(), level.Range);
    std::vector<TileKey> wanted;
    if (visible) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform, inLevel.Scale < level.Size);
        for (long long x = visible->MinX; x <= visible->MaxX; ++x) {
            for (long long y = visible->MinY; y <= visible->MaxY; ++y) {
                const TileKey key{static_cast<int>(x), static_cast<int>(y), level.Size, level.Zoom};
                const QRectF place(ScreenX(inLevel, static_cast<double>(x)),
                                   ScreenY(inLevel, static_cast<double>(y)), inLevel.Scale,
                                   inLevel.Scale);
                const CachedTile* tile = m_cache.Find(key);
                if (!tile) {
                    wanted.push_back(key);
                    tile = StandIn(key);
                }
                if (tile)
                    PaintTile(painter, place, *tile);
            }
        }
    }
    const double centreX = inLevel.Left + width() / 2.0 / inLevel.Scale;
    const double centreY = inLevel.Top + height() / 2.0 / inLevel.Scale;
    std::sort(wanted.begin(), wanted.end(), [centreX, centreY](const TileKey& a, const TileKey& b) {
        const auto distance = [centreX, centreY](const TileKey& k) {
            return std::hypot(k.X + 0.5 - centreX, k.Y + 0.5 - centreY);
        };
        return distance(a) < distance(b);
    });
    m_lastPaintWanted = wanted.size();
    Want(std::move(wanted));
}

void TileMapView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton && event->button() != Qt::RightButton)
        return;
    m_taken = TakePress(event);
    if (!m_taken && event->button() == Qt::LeftButton) {
        m_dragFrom = event->position();
        setCursor(Qt::ClosedHandCursor);
    }
}

void TileMapView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    if (m_taken) {
        TakenMove(event);
    } else if (m_dragFrom) {
        ViewState moved = m_view;
        moved.Left -= (at.x() - m_dragFrom->x()) / m_view.Scale;
        moved.Top -= (at.y() - m_dragFrom->y()) / m_view.Scale;
        m_dragFrom = at;
        SetView(moved);
    } else {
        setCursor(CursorAt(at));
    }
    const LonLat place = LonLatAt(m_view, at.x(), at.y(), BaseZoom());
    emit CursorMoved(place.Lon, place.Lat);
}

void TileMapView::mouseReleaseEvent(QMouseEvent* event) {
    if (m_taken) {
        TakenRelease(event);
        m_taken = false;
    } else if (event->button() == Qt::LeftButton) {
        m_dragFrom.reset();
    }
    setCursor(CursorAt(event->position()));
}

void TileMapView::wheelEvent(QWheelEvent* event) {
    const double notches = event->angleDelta().y() / 120.0;
    if (notches != 0)
        ZoomAt(std::pow(NotchFactor, notches), event->position());
    event->accept();
}

} // namespace quarrow::map
