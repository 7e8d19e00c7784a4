// A shape thinned to a tenth of a pixel: what is left out lies within that of what is kept, the
// ends stay, and a stored shape is never thinned again (its task resumes with it unchanged).
#include "geo/ShapeSimplifier.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

namespace quarrow {
namespace {

// Independent of the code under test: Web-Mercator pixels of the zoom level.
std::pair<double, double> Pixel(const GeoPoint& p, int zoom) {
    const double size = 256 * std::pow(2.0, zoom);
    const double lat = p.Lat * std::numbers::pi / 180;
    return {(p.Lon + 180) / 360 * size,
            (1 - std::asinh(std::tan(lat)) / std::numbers::pi) / 2 * size};
}

// The kept points are a subsequence of the line's: each left-out point against the segment of the
// kept points on either side of it.
double FarthestLeftOut(const GeoLine& line, const GeoLine& thin, int zoom) {
    double farthest = 0;
    std::size_t k = 0;
    for (const GeoPoint& point : line) {
        if (k + 1 < thin.size() && point == thin[k + 1])
            ++k;
        if (k + 1 >= thin.size())
            break;
        const auto [px, py] = Pixel(point, zoom);
        const auto [ax, ay] = Pixel(thin[k], zoom);
        const auto [bx, by] = Pixel(thin[k + 1], zoom);
        const double dx = bx - ax, dy = by - ay, length = dx * dx + dy * dy;
        const double t =
            length > 0 ? std::clamp(((px - ax) * dx + (py - ay) * dy) / length, 0.0, 1.0) : 0;
        farthest = std::max(farthest, std::hypot(px - ax - t * dx, py - ay - t * dy));
    }
    return farthest;
}

TEST(ShapeSimplifier, LeavesOutOnlyWhatLiesWithinATenthOfAPixel) {
    constexpr int Zoom = 14;
    // clang-format off
    struct Case { const char* Name; GeoLine Line; std::size_t MaxKept; };
    // clang-format on
    GeoLine straight, wiggle, circle;
    for (int i = 0; i <= 100000; ++i) {
        const double t = i / 100000.0;
        straight.push_back({116 + t, 39 + t / 2});
        // Half a pixel across at zoom 14 (about 4 m), every 100 points: must stay visible.
        wiggle.push_back({116 + t / 10, 39 + ((i / 100) % 2 ? 0.00002 : 0)});
        circle.push_back({116 + 0.1 * std::cos(2 * std::numbers::pi * t),
                          39 + 0.1 * std::sin(2 * std::numbers::pi * t)});
    }
    const Case cases[] = {
        {"straight", straight, 2 + 100000 / 4096 + 1}, // each chunk keeps its ends
        {"wiggle", wiggle, 4200},
        {"circle", circle, 2000},
    };
    for (const Case& c : cases) {
        AreaShape shape;
        shape.Lines = {c.Line};
        const AreaShape thin = SimplifyShape(shape, Zoom);
        ASSERT_EQ(1u, thin.Lines.size());
        const GeoLine& kept = thin.Lines[0];
        EXPECT_LE(kept.size(), c.MaxKept) << c.Name;
        EXPECT_GE(kept.size(), c.Name == std::string("wiggle") ? 1000u : 2u) << c.Name;
        EXPECT_EQ(c.Line.front(), kept.front()) << c.Name;
        EXPECT_EQ(c.Line.back(), kept.back()) << c.Name;
        EXPECT_LE(FarthestLeftOut(c.Line, kept, Zoom), SimplifyPixels + 1e-6) << c.Name;
        EXPECT_EQ(Zoom, thin.SimplifiedAt);
    }

    // A ring smaller than the tolerance keeps its corners: it still covers its tile.
    AreaShape tiny;
    tiny.Polygons = {{{{116, 39}, {116 + 1e-8, 39}, {116 + 1e-8, 39 + 1e-8}}}};
    EXPECT_EQ(tiny.Polygons, SimplifyShape(tiny, Zoom).Polygons);
    // A shape stored for a task at its zoom, or thinned finer, is not thinned again there.
    AreaShape stored;
    stored.Lines = {straight};
    stored.SimplifiedAt = Zoom;
    EXPECT_EQ(straight, SimplifyShape(stored, Zoom).Lines[0]);
    EXPECT_EQ(straight, SimplifyShape(stored, Zoom + 1).Lines[0]);
    EXPECT_LT(SimplifyShape(stored, Zoom - 1).Lines[0].size(), straight.size());
}

} // namespace
} // namespace quarrow
