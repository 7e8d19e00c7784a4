// Tile geometry: the worked examples, the border rules and the behaviour on absurd input.
#include "geo/Commonfunc.h"

#include <climits>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

struct LonCase {
    double Lon;
    int Zoom;
    int Column;
};

TEST(TileGeometry, LongitudeToColumnAtZoomOne) {
    const LonCase cases[] = {
        {-180, 1, 0}, {-0.000001, 1, 0}, {0, 1, 1}, {179.999999, 1, 1}, {180, 1, 2},
    };
    for (const LonCase& c : cases)
        EXPECT_EQ(LonToTileX(c.Lon, c.Zoom), c.Column) << "longitude " << c.Lon;
}

struct LatCase {
    double Lat;
    int Zoom;
    int Row;
};

TEST(TileGeometry, LatitudeToRow) {
    const LatCase cases[] = {
        {0, 13, 4096}, {0, 1, 1},       {85, 1, 0},     {85, 13, 13},
        {-85, 1, 1},   {-85, 13, 8178}, {40, 13, 3101}, {39.8, 13, 3107},
    };
    for (const LatCase& c : cases)
        EXPECT_EQ(LatToTileY(c.Lat, c.Zoom), c.Row) << "latitude " << c.Lat << " zoom " << c.Zoom;
}

TEST(TileGeometry, WorkedRectangleAtZoomThirteen) {
    EXPECT_EQ(LonToTileX(116.3, 13), 6742);
    EXPECT_EQ(LonToTileX(116.5, 13), 6747);
    EXPECT_EQ(LatToTileY(40.0, 13), 3101);
    EXPECT_EQ(LatToTileY(39.8, 13), 3107);
    EXPECT_EQ(TileXToLon(6742, 13), 116.279296875);
    EXPECT_EQ(TileXToLon(6748, 13), 116.54296875);
    EXPECT_NEAR(TileYToLat(3101, 13), 40.0107871, 1e-7);
    EXPECT_NEAR(TileYToLat(3108, 13), 39.7747695, 1e-7);
}

TEST(TileGeometry, GridEdgesAtEveryZoom) {
    for (int z = 1; z <= 18; ++z) {
        const double n = static_cast<double>(1 << z);
        EXPECT_EQ(TileXToLon(0, z), -180.0) << z;
        EXPECT_EQ(TileXToLon(n, z), 180.0) << z;
        EXPECT_NEAR(TileYToLat(0, z), 85.0511287798066, 1e-12) << z;
        EXPECT_NEAR(TileYToLat(n, z), -85.0511287798066, 1e-12) << z;
        EXPECT_NEAR(TileYToLat(n / 2, z), 0.0, 1e-12) << z;
    }
}

// The north edge against the textbook form atan(sinh(pi (1 - 2y/n))).
TEST(TileGeometry, RowEdgesMatchTheInverseGudermannian) {
    const double pi = std::acos(-1.0);
    for (int z : {1, 5, 13, 18}) {
        const double n = static_cast<double>(1 << z);
        for (double y = 0; y <= n; y += std::max(1.0, n / 64)) {
            const double expected = std::atan(std::sinh(pi * (1 - 2 * y / n))) * 180 / pi;
            EXPECT_NEAR(TileYToLat(y, z), expected, 1e-9) << "row " << y << " zoom " << z;
        }
    }
}

// A point inside a tile maps back to that tile, at every zoom.
TEST(TileGeometry, TileCentresMapBackToTheirTile) {
    for (int z = 1; z <= 18; ++z) {
        const int n = 1 << z;
        for (int i : {0, n / 3, n / 2, n - 1}) {
            const double lon = (TileXToLon(i, z) + TileXToLon(i + 1, z)) / 2;
            const double lat = (TileYToLat(i, z) + TileYToLat(i + 1, z)) / 2;
            EXPECT_EQ(LonToTileX(lon, z), i) << "zoom " << z;
            EXPECT_EQ(LatToTileY(lat, z), i) << "zoom " << z;
        }
    }
}

TEST(TileGeometry, ABorderBelongsToTheTileEastAndSouthOfIt) {
    // 116.54296875 is the exact west edge of column 6748 at zoom 13.
    EXPECT_EQ(LonToTileX(116.54296875, 13), 6748);
    EXPECT_EQ(LonToTileX(-90, 2), 1);
    EXPECT_EQ(LatToTileY(0, 2), 2);
}

TEST(TileGeometry, TruncatesTowardZeroBeyondTheProjectionLimit) {
    // Rounding down would give -1 for all three.
    EXPECT_EQ(LonToTileX(-181, 1), 0);
    EXPECT_EQ(LatToTileY(86, 1), 0);
    // At 89 degrees the row is about -2085.8 at zoom 13: truncated, not floored.
    const double pi = std::acos(-1.0);
    const double row = (1 - std::asinh(std::tan(89 * pi / 180)) / pi) / 2 * 8192;
    ASSERT_LT(row, -2085.0);
    ASSERT_GT(row, -2086.0);
    EXPECT_EQ(LatToTileY(89, 13), -2085);
}

TEST(TileGeometry, AbsurdInputSaturatesInsteadOfOverflowing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(LonToTileX(nan, 5), 0);
    EXPECT_EQ(LatToTileY(nan, 5), 0);
    EXPECT_EQ(LonToTileX(1e300, 18), INT_MAX);
    EXPECT_EQ(LonToTileX(-1e300, 18), INT_MIN);
    EXPECT_EQ(LonToTileX(inf, 18), INT_MAX);
    EXPECT_EQ(LatToTileY(90, 1), INT_MIN);
    EXPECT_EQ(LatToTileY(-90, 1), INT_MAX);
}

} // namespace
