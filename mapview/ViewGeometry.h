// A tile map's geometry without widgets: where a window looks at the tiles of a zoom level (its
// base), which tiles it sees, and the longitude and latitude under a pixel.
#pragma once

#include <optional>

namespace quarrow::map {

inline constexpr double TilePixels = 256;
// The deepest view of a task shows a tile's own pixels four times enlarged.
inline constexpr double MaxScale = 4 * TilePixels;

// An inclusive range of tile columns and rows.
struct TileBox {
    int MinX = 0;
    int MinY = 0;
    int MaxX = 0;
    int MaxY = 0;
    long long Columns() const { return static_cast<long long>(MaxX) - MinX + 1; }
    long long Rows() const { return static_cast<long long>(MaxY) - MinY + 1; }
    bool operator==(const TileBox&) const = default;
};

// The tile coordinate (fractional column and row) at the window's top-left pixel, and the
// window's pixels per tile.
struct ViewState {
    double Left = 0;
    double Top = 0;
    double Scale = TilePixels;
};

struct TilePoint {
    double X = 0;
    double Y = 0;
};

struct LonLat {
    double Lon = 0;
    double Lat = 0;
};

TilePoint TileAt(const ViewState& view, double px, double py);
// Through the engine's tile geometry on the fractional tile coordinate under the pixel.
LonLat LonLatAt(const ViewState& view, double px, double py, int zoom);
// The window pixel of a tile coordinate.
double ScreenX(const ViewState& view, double tileX);
double ScreenY(const ViewState& view, double tileY);

// The scale at which the whole range fits the window, at most MaxScale.
double FitScale(const TileBox& range, int width, int height);
// The whole range centred in the window at FitScale.
ViewState FitView(const TileBox& range, int width, int height);
// The view scaled by factor (kept within minScale..maxScale) so that the tile coordinate under
// the pixel (px, py) stays under it.
ViewState ZoomAround(const ViewState& view, double factor, double px, double py, double minScale,
                     double maxScale);
// Keeps the window's centre over the range, so that panning cannot lose the task.
ViewState ClampToRange(const ViewState& view, const TileBox& range, int width, int height);

// The tiles of the range that the window shows, nullopt when it shows none.
std::optional<TileBox> VisibleTiles(const ViewState& view, int width, int height,
                                    const TileBox& range);

// The small picture of the whole task: each tile drawn as Cell x Cell pixels, or, for tasks too
// large for that, one pixel for every Stride x Stride tiles (one tile of each block sampled).
struct OverviewGrid {
    int Cell = 1;
    int Stride = 1;
    int Width = 1;
    int Height = 1;
    double PixelsPerTile() const { return static_cast<double>(Cell) / Stride; }
};

// At most about maxPixels pixels and at most maxCell pixels per tile.
OverviewGrid OverviewGridFor(const TileBox& range, long long maxPixels = 4'000'000,
                             int maxCell = 16);

} // namespace quarrow::map
