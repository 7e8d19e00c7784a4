// A tile map's geometry without widgets.
#include "ViewGeometry.h"

#include <algorithm>
#include <cmath>

#include "geo/Commonfunc.h"

namespace quarrow::map {

TilePoint TileAt(const ViewState& view, double px, double py) {
    return {view.Left + px / view.Scale, view.Top + py / view.Scale};
}

LonLat LonLatAt(const ViewState& view, double px, double py, int zoom) {
    const TilePoint tile = TileAt(view, px, py);
    return {TileXToLon(tile.X, zoom), TileYToLat(tile.Y, zoom)};
}

double ScreenX(const ViewState& view, double tileX) {
    return (tileX - view.Left) * view.Scale;
}

double ScreenY(const ViewState& view, double tileY) {
    return (tileY - view.Top) * view.Scale;
}

double FitScale(const TileBox& range, int width, int height) {
    const double fit = std::min(std::max(width, 1) / static_cast<double>(range.Columns()),
                                std::max(height, 1) / static_cast<double>(range.Rows()));
    return std::min(fit, MaxScale);
}

ViewState FitView(const TileBox& range, int width, int height) {
    ViewState view;
    view.Scale = FitScale(range, width, height);
    const double centreX = range.MinX + static_cast<double>(range.Columns()) / 2;
    const double centreY = range.MinY + static_cast<double>(range.Rows()) / 2;
    view.Left = centreX - width / 2.0 / view.Scale;
    view.Top = centreY - height / 2.0 / view.Scale;
    return view;
}

ViewState ZoomAround(const ViewState& view, double factor, double px, double py, double minScale,
                     double maxScale) {
    const TilePoint fixed = TileAt(view, px, py);
    ViewState zoomed = view;
    zoomed.Scale = std::clamp(view.Scale * factor, minScale, std::max(minScale, maxScale));
    zoomed.Left = fixed.X - px / zoomed.Scale;
    zoomed.Top = fixed.Y - py / zoomed.Scale;
    return zoomed;
}

ViewState ClampToRange(const ViewState& view, const TileBox& range, int width, int height) {
    ViewState clamped = view;
    const double halfX = width / 2.0 / view.Scale;
    const double halfY = height / 2.0 / view.Scale;
    const double centreX = std::clamp(view.Left + halfX, static_cast<double>(range.MinX),
                                      static_cast<double>(range.MaxX) + 1);
    const double centreY = std::clamp(view.Top + halfY, static_cast<double>(range.MinY),
                                      static_cast<double>(range.MaxY) + 1);
    clamped.Left = centreX - halfX;
    clamped.Top = centreY - halfY;
    return clamped;
}

std::optional<TileBox> VisibleTiles(const ViewState& view, int width, int height,
                                    const TileBox& range) {
    if (width <= 0 || height <= 0)
        return std::nullopt;
    const TilePoint first = TileAt(view, 0, 0);
    const TilePoint last = TileAt(view, width, height);
    // A tile is seen when any part of it lies inside; one that merely touches the far edge is not.
    const double minX = std::max(std::floor(first.X), static_cast<double>(range.MinX));
    const double minY = std::max(std::floor(first.Y), static_cast<double>(range.MinY));
    const double maxX = std::min(std::ceil(last.X) - 1, static_cast<double>(range.MaxX));
    const double maxY = std::min(std::ceil(last.Y) - 1, static_cast<double>(range.MaxY));
    if (minX > maxX || minY > maxY)
        return std::nullopt;
    return TileBox{static_cast<int>(minX), static_cast<int>(minY), static_cast<int>(maxX),
                   static_cast<int>(maxY)};
}

OverviewGrid OverviewGridFor(const TileBox& range, long long maxPixels, int maxCell) {
    OverviewGrid grid;
    const double tiles = static_cast<double>(range.Columns()) * static_cast<double>(range.Rows());
    const double perTile = std::sqrt(static_cast<double>(maxPixels) / tiles);
    if (perTile >= 1) {
        grid.Cell = std::clamp(static_cast<int>(perTile), 1, maxCell);
    } else {
        grid.Stride = static_cast<int>(std::ceil(1 / perTile));
    }
    const auto side = [&grid](long long count) {
        return static_cast<int>((count + grid.Stride - 1) / grid.Stride * grid.Cell);
    };
    grid.Width = side(range.Columns());
    grid.Height = side(range.Rows());
    return grid;
}

} // namespace quarrow::map
