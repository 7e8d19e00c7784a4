// The level drawn is the one whose tiles are nearest their own size at the present scale.
#include "WebMapView.h"

#include <algorithm>
#include <cmath>

#include <QPainter>

#include "geo/Commonfunc.h"

namespace quarrow::map {

WebMapView::WebMapView(std::shared_ptr<DiskTileCache> cache, QWidget* parent)
    : TileMapView(parent, std::size_t{96} << 20), m_cache(std::move(cache)) {
    setObjectName("WebMapView");
    SetViewQuietly({0, 0, TilePixels});
}

WebMapView::~WebMapView() {
    m_loader.reset();
}

void WebMapView::SetService(Service service) {
    m_loader.reset();
    m_service = std::move(service);
    ClearTiles();
    m_loader = std::make_unique<NetworkTileLoader>(
        m_service.Url, m_service.SetUp, m_cache, m_service.CacheKey, DeliveryFor(NewGeneration()));
    SetView(View());
}

void WebMapView::ShowArea(double west, double south, double east, double north) {
    m_fit = std::array{west, south, east, north};
    Fit();
}

void WebMapView::resizeEvent(QResizeEvent* event) {
    TileMapView::resizeEvent(event);
    // A window that is shown after the area was given gets its size only now.
    if (m_fit)
        Fit();
}

void WebMapView::Fit() {
    const auto [west, south, east, north] = *m_fit;
    const double left = TileXOf(west, 0), right = TileXOf(east, 0);
    const double top = TileYOf(north, 0), bottom = TileYOf(south, 0);
    const double w = std::max(right - left, 1e-9), h = std::max(bottom - top, 1e-9);
    ViewState view;
    view.Scale = std::clamp(std::min(width() / w, height() / h) * 0.8, MinScale(), MaxScaleOf());
    view.Left = (left + right) / 2 - width() / 2.0 / view.Scale;
    view.Top = (top + bottom) / 2 - height() / 2.0 / view.Scale;
    const std::array<double, 4> kept = *m_fit;
    SetView(view);
    m_fit = kept; // setting the view is no move of the user's
}

double WebMapView::MinScale() const {
    return TilePixels / 2;
}

double WebMapView::MaxScaleOf() const {
    return TilePixels * std::ldexp(1.0, m_service.MaxZoom + 1);
}

int WebMapView::LevelZoom() const {
    const int zoom = static_cast<int>(std::lround(std::log2(View().Scale / TilePixels)));
    return std::clamp(zoom, m_service.MinZoom, m_service.MaxZoom);
}

std::optional<TileMapView::Level> WebMapView::DrawnLevel() const {
    if (!m_service.Url)
        return std::nullopt;
    const int zoom = LevelZoom();
    const int last = (1 << zoom) - 1;
    return Level{zoom, {0, 0, last, last}, 256, std::ldexp(1.0, -zoom)};
}

ViewState WebMapView::Limited(const ViewState& view) const {
    // The window's centre stays over the world.
    return ClampToRange(view, {0, 0, 0, 0}, width(), height());
}

void WebMapView::Want(std::vector<TileKey> keys) {
    if (m_loader)
        m_loader->Want(std::move(keys));
}

void WebMapView::PaintBehind(QPainter& painter) {
    painter.fillRect(rect(), QColor(0xdd, 0xdd, 0xd8));
}

} // namespace quarrow::map
