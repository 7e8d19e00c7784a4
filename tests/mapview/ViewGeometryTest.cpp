// The viewer's geometry: the place under a pixel, the tiles in sight, zooming and the overview.
#include "mapview/ViewGeometry.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

namespace quarrow::map {
namespace {

// Web-Mercator written out here, apart from the engine, to check the viewer against.
double Lon(double x, int z) {
    return x / std::ldexp(1.0, z) * 360.0 - 180.0;
}
double Lat(double y, int z) {
    const double a = std::numbers::pi * (1 - 2 * y / std::ldexp(1.0, z));
    return std::atan(std::sinh(a)) * 180.0 / std::numbers::pi;
}

TEST(ViewGeometry, PlaceUnderAPixelFollowsTheFractionalTile) {
    struct Case {
        ViewState View;
        double Px, Py;
        int Zoom;
        double TileX, TileY;
    };
    const Case cases[] = {
        {{6742, 3101, 256}, 0, 0, 13, 6742, 3101},
        {{6742, 3101, 256}, 128, 64, 13, 6742.5, 3101.25},
        {{6742, 3101, 1024}, 512, 1024, 13, 6742.5, 3102},
        {{6740.5, 3100.25, 3.5}, 700, 350, 13, 6940.5, 3200.25},
        {{0, 0, 1}, 1, 1, 1, 1, 1}, // the world's centre at zoom 1
    };
    for (const Case& c : cases) {
        const TilePoint tile = TileAt(c.View, c.Px, c.Py);
        EXPECT_DOUBLE_EQ(c.TileX, tile.X);
        EXPECT_DOUBLE_EQ(c.TileY, tile.Y);
        const LonLat place = LonLatAt(c.View, c.Px, c.Py, c.Zoom);
        EXPECT_NEAR(Lon(c.TileX, c.Zoom), place.Lon, 1e-9);
        EXPECT_NEAR(Lat(c.TileY, c.Zoom), place.Lat, 1e-9);
        EXPECT_NEAR(c.Px, ScreenX(c.View, tile.X), 1e-6);
        EXPECT_NEAR(c.Py, ScreenY(c.View, tile.Y), 1e-6);
    }
    // The north-west corner of the task of 116.3 east, 40 north at zoom 13.
    const LonLat corner = LonLatAt({6742, 3101, 256}, 0, 0, 13);
    EXPECT_DOUBLE_EQ(116.279296875, corner.Lon);
    EXPECT_NEAR(40.0107871404655, corner.Lat, 1e-12);
}

TEST(ViewGeometry, VisibleTilesAtSeveralZooms) {
    const TileBox range{6742, 3101, 6747, 3107}; // 6 x 7 tiles
    struct Case {
        ViewState View;
        int Width, Height;
        std::optional<TileBox> Expected;
    };
    const Case cases[] = {
        // The whole task fits: every tile.
        {FitView(range, 800, 600), 800, 600, range},
        // One tile's own pixels exactly: just that tile; the next one only touches the edge.
        {{6744, 3103, 256}, 256, 256, TileBox{6744, 3103, 6744, 3103}},
        // Half a tile in from the corner at 1x: parts of 2 x 2 tiles.
        {{6744.5, 3103.5, 256}, 256, 256, TileBox{6744, 3103, 6745, 3104}},
        // 4x: a quarter tile.
        {{6745.25, 3102.25, 1024}, 256, 256, TileBox{6745, 3102, 6745, 3102}},
        // Far out: clipped to the task.
        {{6700, 3000, 2}, 200, 400, range},
        // Beside the task: nothing.
        {{6748, 3101, 256}, 512, 512, std::nullopt},
        {{6740, 3101, 256}, 0, 512, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Expected, VisibleTiles(c.View, c.Width, c.Height, range));
}

TEST(ViewGeometry, ZoomKeepsThePointUnderTheCursorWithinTheLimits) {
    const TileBox range{0, 0, 999, 999};
    const double fit = FitScale(range, 1000, 800);
    EXPECT_DOUBLE_EQ(0.8, fit);
    const ViewState whole = FitView(range, 1000, 800);
    EXPECT_DOUBLE_EQ(500, TileAt(whole, 500, 400).X);
    EXPECT_DOUBLE_EQ(500, TileAt(whole, 500, 400).Y);

    ViewState view = whole;
    for (int i = 0; i < 100; ++i)
        view = ZoomAround(view, 1.25, 123, 456, fit, MaxScale);
    EXPECT_DOUBLE_EQ(MaxScale, view.Scale);
    EXPECT_NEAR(TileAt(whole, 123, 456).X, TileAt(view, 123, 456).X, 1e-9);
    EXPECT_NEAR(TileAt(whole, 123, 456).Y, TileAt(view, 123, 456).Y, 1e-9);
    for (int i = 0; i < 100; ++i)
        view = ZoomAround(view, 0.8, 10, 10, fit, MaxScale);
    EXPECT_DOUBLE_EQ(fit, view.Scale);

    // A single tile never shows beyond 4x.
    EXPECT_DOUBLE_EQ(MaxScale, FitScale({5, 5, 5, 5}, 3000, 3000));

    // Dragged far away, the centre stays over the task.
    const ViewState lost = ClampToRange({5000, -4000, 256}, range, 512, 512);
    EXPECT_DOUBLE_EQ(1000, TileAt(lost, 256, 256).X);
    EXPECT_DOUBLE_EQ(0, TileAt(lost, 256, 256).Y);
}

TEST(ViewGeometry, OverviewStaysSmallWhateverTheTask) {
    struct Case {
        TileBox Range;
        int Cell, Stride, Width, Height;
    };
    const Case cases[] = {
        {{0, 0, 5, 6}, 16, 1, 96, 112},            // small: 16 pixels a tile
        {{0, 0, 999, 999}, 2, 1, 2000, 2000},      // a million tiles
        {{0, 0, 1999, 1999}, 1, 1, 2000, 2000},    // four million: a pixel a tile
        {{0, 0, 65535, 32767}, 1, 24, 2731, 1366}, // 2^31 tiles: one tile in 24 x 24
    };
    for (const Case& c : cases) {
        const OverviewGrid grid = OverviewGridFor(c.Range);
        EXPECT_EQ(c.Cell, grid.Cell);
        EXPECT_EQ(c.Stride, grid.Stride);
        EXPECT_EQ(c.Width, grid.Width);
        EXPECT_EQ(c.Height, grid.Height);
    }
}

} // namespace
} // namespace quarrow::map
