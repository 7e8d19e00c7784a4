// The mosaic of a task's tiles at their places.
#include "MapView.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <QPainter>
#include <QPainterPath>

#include "TileAge.h"
#include "geo/Commonfunc.h"
#include "store/TileFile.h"
#include "store/TileRecords.h"

namespace quarrow::viewer {
namespace {

const QColor Outside(0x6e, 0x73, 0x78);
const QColor MissingOutline(0x9a, 0x9a, 0x9a);
const QColor BlankMark(0xc0, 0x50, 0x4d);
const QColor ShapeOutline(0x10, 0x60, 0xd0);
// By age band, from the youngest: green through yellow and red to purple.
const QColor AgeColours[] = {{0x1a, 0x98, 0x50}, {0x91, 0xcf, 0x60}, {0xf2, 0xd0, 0x3b},
                             {0xf4, 0x8c, 0x2f}, {0xd7, 0x30, 0x27}, {0x7b, 0x32, 0x94}};
constexpr int AgeAlpha = 120;

} // namespace

MapView::MapView(QWidget* parent, std::size_t cacheBytes) : TileMapView(parent, cacheBytes) {
    setObjectName("MapView");
}

MapView::~MapView() {
    StopWork();
}

void MapView::StopWork() {
    // Both only post to this object, never wait for it, so joining here cannot deadlock.
    m_scanner.reset();
    m_loader.reset();
}

void MapView::ShowTask(std::shared_ptr<const ViewerTask> task, std::string blank) {
    StopWork();
    const unsigned generation = NewGeneration();
    m_task = std::move(task);
    MutableCache().Clear();
    m_overview = QImage();
    m_grid = OverviewGridFor(m_task->Range());
    m_counts = {};
    m_countsFinished = false;
    m_overviewFinished = false;
    m_userMoved = false;
    SetViewQuietly(FitView(m_task->Range(), width(), height()));

    m_loader = std::make_unique<TileLoader>(
        m_task, blank,
        [this, generation, deliver = DeliveryFor(generation)](const TileKey& key, CachedTile tile) {
            if (tile.NotATile)
                PostFor(generation, [this, key] {
                    emit TileRefused(QString::fromStdString(m_task->TilePath(key.X, key.Y)),
                                     m_task->Task().TileSide());
                });
            deliver(key, std::move(tile));
        });
    TaskScanner::Callbacks callbacks;
    callbacks.Counted = [this, generation](const TileCounts& counts, bool finished) {
        PostFor(generation, [this, counts, finished] {
            m_counts = counts;
            m_countsFinished = finished;
            emit CountsChanged();
        });
    };
    callbacks.Overview = [this, generation](const QImage& overview, bool finished) {
        PostFor(generation, [this, overview, finished] {
            m_overview = overview;
            m_overviewFinished = finished;
            update();
        });
    };
    m_scanner = std::make_unique<TaskScanner>(m_task, std::move(blank), std::move(callbacks));
    emit CountsChanged();
    update();
}

void MapView::SetShowAges(bool show) {
    m_showAges = show;
    update();
}

std::optional<MapView::FetchedTile> MapView::FetchedAt(double lon, double lat) const {
    if (!m_task)
        return std::nullopt;
    const int zoom = m_task->Zoom();
    const auto x = static_cast<int>(std::floor(TileXOf(lon, zoom)));
    const auto y = static_cast<int>(std::floor(TileYOf(lat, zoom)));
    for (const int size : {512, 256, 64, 16})
        if (const CachedTile* tile = Cache().Peek({x, y, size, zoom}); tile && tile->Fetched)
            return FetchedTile{x, y, *tile->Fetched};
    return std::nullopt;
}

double MapView::MinScale() const {
    return m_task ? FitScale(m_task->Range(), width(), height()) : MaxScale;
}

int MapView::BaseZoom() const {
    return m_task ? m_task->Zoom() : 0;
}

ViewState MapView::Limited(const ViewState& view) const {
    return m_task ? ClampToRange(view, m_task->Range(), width(), height()) : view;
}

int MapView::TileSizeForScale() const {
    // Tiles drawn much smaller than they are stored are read at a smaller size, so a screenful
    // of them stays within the cache; below a few pixels the overview alone is drawn.
    const double scale = View().Scale;
    // A source's 512-pixel tiles, drawn larger than 256, are read whole: twice the detail.
    if (scale > 256 && m_task && m_task->Task().TileSide() == 512)
        return 512;
    if (scale > 96)
        return 256;
    if (scale > 24)
        return 64;
    if (scale > std::max(12.0, m_grid.PixelsPerTile()))
        return 16;
    return 0;
}

std::optional<MapView::Level> MapView::DrawnLevel() const {
    const int size = TileSizeForScale();
    if (!m_task || size == 0)
        return std::nullopt;
    return Level{m_task->Zoom(), m_task->Range(), size, 1};
}

void MapView::Want(std::vector<TileKey> keys) {
    if (m_loader)
        m_loader->Want(std::move(keys));
}

void MapView::PaintBehind(QPainter& painter) {
    m_paintTime = SecondsNow();
    painter.fillRect(rect(), Outside);
    if (!m_task) {
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter, tr("Open a task's project file (File > Open)"));
        return;
    }
    const TileBox range = m_task->Range();
    const QRectF taskRect(
        ScreenOf(range.MinX, range.MinY),
        ScreenOf(static_cast<double>(range.MaxX) + 1, static_cast<double>(range.MaxY) + 1));
    painter.fillRect(taskRect.intersected(QRectF(rect())), QColor::fromRgb(MissingColour));
    DrawOverview(painter, range);
}

const CachedTile* MapView::StandIn(const TileKey& key) {
    // Meanwhile a size already read stands in, else the overview shows through.
    for (const int other : {512, 256, 64, 16}) {
        if (other == key.Size)
            continue;
        if (const CachedTile* tile = MutableCache().Find({key.X, key.Y, other, key.Z}))
            return tile;
    }
    return nullptr;
}

void MapView::PaintTile(QPainter& painter, const QRectF& place, const CachedTile& tile) {
    // Outside a shape there is no tile of the task to miss.
    const auto x = static_cast<int>(std::floor(TileOf(place.center()).X));
    const auto y = static_cast<int>(std::floor(TileOf(place.center()).Y));
    if (!m_task->Task().Covers(x, y))
        return;
    if (tile.State == TileState::Missing) {
        painter.setPen(QPen(MissingOutline, 1));
        painter.setBrush(Qt::NoBrush);
        const double inset = std::min(2.0, View().Scale / 8);
        painter.drawRect(place.adjusted(inset, inset, -inset, -inset));
        return;
    }
    if (!tile.Image.isNull())
        painter.drawImage(place, tile.Image);
    if (tile.State == TileState::Blank || tile.Image.isNull()) {
        QColor mark = BlankMark;
        mark.setAlpha(150);
        painter.fillRect(place, QBrush(mark, Qt::BDiagPattern));
        painter.setPen(QPen(BlankMark, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(place.adjusted(0.5, 0.5, -0.5, -0.5));
    }
    if (m_showAges && tile.Fetched) {
        QColor shade = AgeColours[AgeBandOf(m_paintTime - *tile.Fetched)];
        shade.setAlpha(AgeAlpha);
        painter.fillRect(place, shade);
    }
}

void MapView::PaintOver(QPainter& painter) {
    if (!m_task)
        return;
    if (m_showAges)
        DrawAgeLegend(painter);
    const TileBox range = m_task->Range();
    const QRectF taskRect(
        ScreenOf(range.MinX, range.MinY),
        ScreenOf(static_cast<double>(range.MaxX) + 1, static_cast<double>(range.MaxY) + 1));
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(taskRect.intersected(QRectF(rect())).adjusted(0, 0, -1, -1));
    // A shape's task: the shape's outline, and its lines.
    const std::shared_ptr<const AreaShape>& shape = m_task->Task().Params->Shape;
    if (!shape)
        return;
    const int zoom = m_task->Zoom();
    const auto pixel = [&](const GeoPoint& p) {
        return ScreenOf(TileXOf(p.Lon, zoom), TileYOf(p.Lat, zoom));
    };
    QPainterPath outline;
    for (const GeoPolygon& polygon : shape->Polygons)
        for (const GeoRing& ring : polygon) {
            QPolygonF points;
            for (const GeoPoint& p : ring)
                points << pixel(p);
            outline.addPolygon(points);
            outline.closeSubpath();
        }
    for (const GeoLine& line : shape->Lines) {
        QPolygonF points;
        for (const GeoPoint& p : line)
            points << pixel(p);
        outline.addPolygon(points);
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(ShapeOutline, 2));
    painter.drawPath(outline);
}

void MapView::DrawAgeLegend(QPainter& painter) {
    const QFontMetrics metrics(font());
    const int line = metrics.height() + 4;
    const int swatch = metrics.height();
    int width = metrics.horizontalAdvance(tr("Tile age"));
    for (const AgeBand& band : AgeBands())
        width = std::max(width, swatch + 6 + metrics.horizontalAdvance(tr(band.Label)));
    const int count = static_cast<int>(AgeBands().size());
    const QRect box(8, height() - 8 - (count + 1) * line - 8, width + 16, (count + 1) * line + 8);
    painter.save();
    painter.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    painter.setBrush(QColor(255, 255, 255, 225));
    painter.drawRect(box);
    painter.setPen(Qt::black);
    painter.setBrush(Qt::NoBrush);
    int y = box.top() + 4;
    painter.drawText(QRect(box.left() + 8, y, width, line), Qt::AlignVCenter, tr("Tile age"));
    for (std::size_t band = 0; band < AgeBands().size(); ++band) {
        y += line;
        QColor shade = AgeColours[band];
        shade.setAlpha(AgeAlpha);
        const QRect mark(box.left() + 8, y + (line - swatch) / 2, swatch, swatch);
        painter.fillRect(mark, Qt::white);
        painter.fillRect(mark, shade);
        painter.drawRect(mark);
        painter.drawText(QRect(mark.right() + 7, y, width, line), Qt::AlignVCenter,
                         tr(AgeBands()[band].Label));
    }
    painter.restore();
}

void MapView::DrawOverview(QPainter& painter, const TileBox& range) {
    if (m_overview.isNull())
        return;
    const ViewState& view = View();
    const double f = m_grid.PixelsPerTile();
    const double width =
        std::min<double>(m_overview.width(), static_cast<double>(range.Columns()) * f);
    const double height =
        std::min<double>(m_overview.height(), static_cast<double>(range.Rows()) * f);
    const TilePoint first = TileAt(view, 0, 0);
    const TilePoint last = TileAt(view, this->width(), this->height());
    const double left = std::clamp((first.X - range.MinX) * f, 0.0, width);
    const double top = std::clamp((first.Y - range.MinY) * f, 0.0, height);
    const double right = std::clamp((last.X - range.MinX) * f, 0.0, width);
    const double bottom = std::clamp((last.Y - range.MinY) * f, 0.0, height);
    if (right <= left || bottom <= top)
        return;
    const QRectF target(ScreenX(view, range.MinX + left / f), ScreenY(view, range.MinY + top / f),
                        (right - left) / f * view.Scale, (bottom - top) / f * view.Scale);
    painter.drawImage(target, m_overview, QRectF(left, top, right - left, bottom - top));
}

void MapView::resizeEvent(QResizeEvent*) {
    if (!m_task)
        return;
    if (!m_userMoved)
        SetViewQuietly(FitView(m_task->Range(), width(), height()));
    else if (View().Scale < MinScale())
        SetViewQuietly(ZoomAround(View(), 1, width() / 2.0, height() / 2.0, MinScale(), MaxScale));
}

} // namespace quarrow::viewer
