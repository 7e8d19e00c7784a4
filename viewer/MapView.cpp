// The mosaic of a task's tiles at their places.
#include "MapView.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

namespace quarrow::viewer {
namespace {

const QColor Outside(0x6e, 0x73, 0x78);
const QColor MissingOutline(0x9a, 0x9a, 0x9a);
const QColor BlankMark(0xc0, 0x50, 0x4d);
// One wheel notch zooms by this factor.
constexpr double NotchFactor = 1.25;

} // namespace

MapView::MapView(QWidget* parent, std::size_t cacheBytes) : QWidget(parent), m_cache(cacheBytes) {
    setObjectName("MapView");
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(200, 150);
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
    const unsigned generation = ++m_generation;
    m_task = std::move(task);
    m_cache.Clear();
    m_overview = QImage();
    m_grid = OverviewGridFor(m_task->Range());
    m_counts = {};
    m_countsFinished = false;
    m_overviewFinished = false;
    m_userMoved = false;
    m_view = FitView(m_task->Range(), width(), height());

    m_loader = std::make_unique<TileLoader>(
        m_task, blank, [this, generation](const TileKey& key, CachedTile tile) {
            QMetaObject::invokeMethod(
                this,
                [this, generation, key, tile = std::move(tile)]() mutable {
                    if (generation != m_generation)
                        return;
                    m_cache.Put(key, std::move(tile));
                    update();
                },
                Qt::QueuedConnection);
        });
    TaskScanner::Callbacks callbacks;
    callbacks.Counted = [this, generation](const TileCounts& counts, bool finished) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, counts, finished] {
                if (generation != m_generation)
                    return;
                m_counts = counts;
                m_countsFinished = finished;
                emit CountsChanged();
            },
            Qt::QueuedConnection);
    };
    callbacks.Overview = [this, generation](const QImage& overview, bool finished) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, overview, finished] {
                if (generation != m_generation)
                    return;
                m_overview = overview;
                m_overviewFinished = finished;
                update();
            },
            Qt::QueuedConnection);
    };
    m_scanner = std::make_unique<TaskScanner>(m_task, std::move(blank), std::move(callbacks));
    emit CountsChanged();
    update();
}

double MapView::MinScale() const {
    return m_task ? FitScale(m_task->Range(), width(), height()) : MaxScale;
}

void MapView::SetView(const ViewState& view) {
    m_view = m_task ? ClampToRange(view, m_task->Range(), width(), height()) : view;
    m_userMoved = true;
    update();
}

void MapView::ZoomAt(double factor, QPointF pixel) {
    SetView(ZoomAround(m_view, factor, pixel.x(), pixel.y(), MinScale(), MaxScale));
}

int MapView::TileSizeForScale() const {
    // Tiles drawn much smaller than they are stored are read at a smaller size, so a screenful
    // of them stays within the cache; below a few pixels the overview alone is drawn.
    if (m_view.Scale > 96)
        return 256;
    if (m_view.Scale > 24)
        return 64;
    if (m_view.Scale > std::max(12.0, m_grid.PixelsPerTile()))
        return 16;
    return 0;
}

void MapView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Outside);
    if (!m_task) {
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter, tr("Open a task's project file (File > Open)"));
        return;
    }
    const TileBox range = m_task->Range();
    const QRectF taskRect(ScreenX(m_view, range.MinX), ScreenY(m_view, range.MinY),
                          static_cast<double>(range.Columns()) * m_view.Scale,
                          static_cast<double>(range.Rows()) * m_view.Scale);
    const QRectF shown = taskRect.intersected(QRectF(rect()));
    painter.fillRect(shown, QColor::fromRgb(MissingColour));
    DrawOverview(painter, range);

    const std::optional<TileBox> visible = VisibleTiles(m_view, width(), height(), range);
    const int size = TileSizeForScale();
    if (visible && size > 0) {
        DrawTiles(painter, *visible, size);
    } else {
        m_lastPaintWanted = 0;
        if (m_loader)
            m_loader->Want({});
    }
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(shown.adjusted(0, 0, -1, -1));
}

void MapView::DrawOverview(QPainter& painter, const TileBox& range) {
    if (m_overview.isNull())
        return;
    const double f = m_grid.PixelsPerTile();
    const double width =
        std::min<double>(m_overview.width(), static_cast<double>(range.Columns()) * f);
    const double height =
        std::min<double>(m_overview.height(), static_cast<double>(range.Rows()) * f);
    const TilePoint first = TileAt(m_view, 0, 0);
    const TilePoint last = TileAt(m_view, this->width(), this->height());
    const double left = std::clamp((first.X - range.MinX) * f, 0.0, width);
    const double top = std::clamp((first.Y - range.MinY) * f, 0.0, height);
    const double right = std::clamp((last.X - range.MinX) * f, 0.0, width);
    const double bottom = std::clamp((last.Y - range.MinY) * f, 0.0, height);
    if (right <= left || bottom <= top)
        return;
    const QRectF target(ScreenX(m_view, range.MinX + left / f),
                        ScreenY(m_view, range.MinY + top / f), (right - left) / f * m_view.Scale,
                        (bottom - top) / f * m_view.Scale);
    painter.drawImage(target, m_overview, QRectF(left, top, right - left, bottom - top));
}

void MapView::DrawTiles(QPainter& painter, const TileBox& visible, int size) {
    std::vector<TileKey> wanted;
    const double centreX = m_view.Left + width() / 2.0 / m_view.Scale;
    const double centreY = m_view.Top + height() / 2.0 / m_view.Scale;
    painter.setRenderHint(QPainter::SmoothPixmapTransform, m_view.Scale < size);
    for (long long x = visible.MinX; x <= visible.MaxX; ++x) {
        for (long long y = visible.MinY; y <= visible.MaxY; ++y) {
            const TileKey key{static_cast<int>(x), static_cast<int>(y), size};
            const QRectF place(ScreenX(m_view, static_cast<double>(x)),
                               ScreenY(m_view, static_cast<double>(y)), m_view.Scale, m_view.Scale);
            const CachedTile* tile = m_cache.Find(key);
            if (!tile) {
                wanted.push_back(key);
                // Meanwhile a size already read stands in, else the overview shows through.
                for (const int other : {256, 64, 16}) {
                    if (other != size && (tile = m_cache.Find({key.X, key.Y, other})))
                        break;
                }
                if (!tile)
                    continue;
            }
            if (tile->State == TileState::Missing) {
                painter.setPen(QPen(MissingOutline, 1));
                painter.setBrush(Qt::NoBrush);
                const double inset = std::min(2.0, m_view.Scale / 8);
                painter.drawRect(place.adjusted(inset, inset, -inset, -inset));
                continue;
            }
            if (!tile->Image.isNull())
                painter.drawImage(place, tile->Image);
            if (tile->State == TileState::Blank || tile->Image.isNull()) {
                QColor mark = BlankMark;
                mark.setAlpha(150);
                painter.fillRect(place, QBrush(mark, Qt::BDiagPattern));
                painter.setPen(QPen(BlankMark, 1));
                painter.setBrush(Qt::NoBrush);
                painter.drawRect(place.adjusted(0.5, 0.5, -0.5, -0.5));
            }
        }
    }
    // Nearest the centre first: what the eye is on comes in first.
    std::sort(wanted.begin(), wanted.end(), [centreX, centreY](const TileKey& a, const TileKey& b) {
        const auto distance = [centreX, centreY](const TileKey& k) {
            return std::hypot(k.X + 0.5 - centreX, k.Y + 0.5 - centreY);
        };
        return distance(a) < distance(b);
    });
    m_lastPaintWanted = wanted.size();
    if (m_loader)
        m_loader->Want(std::move(wanted));
}

void MapView::resizeEvent(QResizeEvent*) {
    if (!m_task)
        return;
    if (!m_userMoved)
        m_view = FitView(m_task->Range(), width(), height());
    else if (m_view.Scale < MinScale())
        m_view = ZoomAround(m_view, 1, width() / 2.0, height() / 2.0, MinScale(), MaxScale);
}

void MapView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_dragFrom = event->position();
        setCursor(Qt::ClosedHandCursor);
    }
}

void MapView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    if (m_dragFrom && m_task) {
        ViewState moved = m_view;
        moved.Left -= (at.x() - m_dragFrom->x()) / m_view.Scale;
        moved.Top -= (at.y() - m_dragFrom->y()) / m_view.Scale;
        m_dragFrom = at;
        SetView(moved);
    }
    if (m_task) {
        const LonLat place = LonLatAt(m_view, at.x(), at.y(), m_task->Zoom());
        emit CursorMoved(place.Lon, place.Lat);
    }
}

void MapView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_dragFrom.reset();
        unsetCursor();
    }
}

void MapView::wheelEvent(QWheelEvent* event) {
    const double notches = event->angleDelta().y() / 120.0;
    if (notches != 0 && m_task)
        ZoomAt(std::pow(NotchFactor, notches), event->position());
    event->accept();
}

} // namespace quarrow::viewer
