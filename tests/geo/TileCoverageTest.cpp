// Tile membership of shapes against a reference computed another way: the area that a tile's
// square keeps of a polygon after clipping (Sutherland-Hodgman), and for corridors the smallest
// distance from the square to the track found by a ternary search along each segment.
#include "geo/TileCoverage.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "geo/Commonfunc.h"
#include "geo/TileRange.h"

namespace quarrow {
namespace {

constexpr int Zoom = 12;
constexpr double X0 = 2000, Y0 = 1300; // where the test shapes lie, in tiles

struct P {
    double X, Y;
};

// A point given in tiles from (X0, Y0), as a longitude and latitude.
GeoPoint At(double x, double y) {
    return {TileXToLon(X0 + x, Zoom), TileYToLat(Y0 + y, Zoom)};
}

P InTiles(const GeoPoint& p) {
    return {TileXOf(p.Lon, Zoom), TileYOf(p.Lat, Zoom)};
}

// The part of a polygon inside the half plane a*x + b*y <= c.
std::vector<P> Clip(const std::vector<P>& polygon, double a, double b, double c) {
    std::vector<P> kept;
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        const P& p = polygon[i];
        const P& q = polygon[(i + 1) % polygon.size()];
        const double fp = a * p.X + b * p.Y - c, fq = a * q.X + b * q.Y - c;
        if (fp <= 0)
            kept.push_back(p);
        if ((fp < 0 && fq > 0) || (fp > 0 && fq < 0)) {
            const double t = fp / (fp - fq);
            kept.push_back({p.X + t * (q.X - p.X), p.Y + t * (q.Y - p.Y)});
        }
    }
    return kept;
}

double AreaInSquare(const std::vector<P>& ring, double x, double y) {
    std::vector<P> part =
        Clip(Clip(Clip(Clip(ring, 1, 0, x + 1), -1, 0, -x), 0, 1, y + 1), 0, -1, -y);
    double area = 0;
    for (std::size_t i = 0; i < part.size(); ++i) {
        const P& p = part[i];
        const P& q = part[(i + 1) % part.size()];
        area += p.X * q.Y - q.X * p.Y;
    }
    return std::abs(area) / 2;
}

double DistanceToSquare(P p, double x, double y) {
    return std::hypot(std::max({x - p.X, 0.0, p.X - x - 1}), std::max({y - p.Y, 0.0, p.Y - y - 1}));
}

// The nearest point of the segment to the square, found by ternary search (the distance along a
// segment is convex).
double SegmentDistance(P a, P b, double x, double y) {
    double lo = 0, hi = 1;
    const auto at = [&](double t) {
        return DistanceToSquare({a.X + t * (b.X - a.X), a.Y + t * (b.Y - a.Y)}, x, y);
    };
    for (int i = 0; i < 100; ++i) {
        const double m1 = lo + (hi - lo) / 3, m2 = hi - (hi - lo) / 3;
        if (at(m1) < at(m2))
            hi = m2;
        else
            lo = m1;
    }
    return std::min({at(lo), at(0), at(1)});
}

std::set<std::pair<int, int>> Reference(const AreaShape& shape, const TileRange& range) {
    std::set<std::pair<int, int>> tiles;
    for (int x = range.MinX; x <= range.MaxX; ++x) {
        for (int y = range.MinY; y <= range.MaxY; ++y) {
            bool member = false;
            for (const GeoPolygon& polygon : shape.Polygons) {
                double area = 0;
                for (std::size_t r = 0; r < polygon.size(); ++r) {
                    std::vector<P> ring;
                    for (const GeoPoint& p : polygon[r])
                        ring.push_back(InTiles(p));
                    area += (r == 0 ? 1 : -1) * AreaInSquare(ring, x, y);
                }
                member |= area > 1e-9;
            }
            for (const GeoLine& line : shape.Lines)
                for (std::size_t i = 0; i + 1 < line.size(); ++i) {
                    const double radius = TileCoverage::CorridorTiles(
                        shape.CorridorKm,
                        std::max(std::abs(line[i].Lat), std::abs(line[i + 1].Lat)), Zoom);
                    member |=
                        SegmentDistance(InTiles(line[i]), InTiles(line[i + 1]), x, y) < radius;
                }
            if (member)
                tiles.emplace(x, y);
        }
    }
    return tiles;
}

TEST(TileCoverage, TilesOfShapesAreThoseTheShapeSharesAreaWith) {
    struct Case {
        const char* Name;
        AreaShape Shape;
    };
    AreaShape corridor;
    corridor.Lines = {{At(0.2, 0.3), At(8.6, 7.1)}};
    corridor.CorridorKm = 5;
    AreaShape track; // level, upright and steep segments, a turn back and a short one
    track.Lines = {
        {At(1.1, 9.3), At(7.4, 9.3), At(7.4, 3.6), At(8.1, 0.4), At(5.05, 4.35), At(5.1, 4.3)}};
    track.CorridorKm = 3.3;
    // A GPS track: many short steps that wander, turn back on themselves and pause, so the
    // corridor is worked out from long stretches and the tiles at its border one by one.
    AreaShape wander;
    wander.Lines.emplace_back();
    std::mt19937 random(5);
    std::uniform_real_distribution<double> unit(0, 1);
    double east = 2, south = 2, heading = 0.7;
    for (int i = 0; i < 250; ++i) {
        wander.Lines[0].push_back(At(east, south));
        heading += unit(random) < 0.03 ? 3 : (unit(random) - 0.5) * 0.3;
        const double step = unit(random) < 0.05 ? 0 : 0.01 + 0.06 * unit(random);
        east = std::clamp(east + step * std::cos(heading), 1.0, 9.0);
        south = std::clamp(south + step * std::sin(heading), 1.0, 9.0);
    }
    wander.CorridorKm = 1.1;
    AreaShape wide = wander;
    wide.CorridorKm = 7;
    // A dense level track whose corridor reaches a hundredth of a tile into a row, or stops as
    // short of it: a long stretch, where only the segments themselves can tell.
    const auto level = [](double reach) {
        AreaShape shape;
        shape.Lines.emplace_back();
        for (int i = 0; i <= 100; ++i)
            shape.Lines[0].push_back(At(1.3 + 0.074 * i, 5.5));
        shape.CorridorKm = reach / TileCoverage::CorridorTiles(1, shape.Lines[0][0].Lat, Zoom);
        return shape;
    };
    const Case cases[] = {
        {"triangle", {{{{At(1.3, 1.2), At(6.7, 2.1), At(3.2, 7.9)}}}, {}, 2}},
        {"polygon with a hole",
         {{{{At(0.5, 0.5), At(9.5, 0.5), At(9.5, 9.5), At(0.5, 9.5)},
            {At(3.2, 3.2), At(6.8, 3.2), At(6.8, 6.8), At(3.2, 6.8)}}},
          {},
          2}},
        {"corridor along a diagonal", corridor},
        {"corridor of a turning track", track},
        // Reaching into the row to the north, or the south, only between the column's sides.
        {"corridors of short tracks within a column",
         {{}, {{At(5.45, 4.2), At(5.55, 4.22)}, {At(7.45, 4.75), At(7.55, 4.77)}}, 2}},
        {"narrow corridor of a wandering track", wander},
        {"wide corridor of a wandering track", wide},
        {"corridor just reaching a row", level(1.51)},
        {"corridor just short of a row", level(1.49)},
        // Exactly on tile corners and borders: no area with the neighbours.
        {"square touching tiles at corners", {{{{At(2, 2), At(4, 2), At(4, 4), At(2, 4)}}}, {}, 2}},
        {"inside one tile", {{{{At(5.2, 5.3), At(5.7, 5.4), At(5.4, 5.8)}}}, {}, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TileRange range;
        range.MinX = static_cast<int>(X0) - 2;
        range.MaxX = static_cast<int>(X0) + 12;
        range.MinY = static_cast<int>(Y0) - 2;
        range.MaxY = static_cast<int>(Y0) + 12;
        const TileCoverage coverage(c.Shape, Zoom, range);
        const std::set<std::pair<int, int>> expected = Reference(c.Shape, range);
        std::set<std::pair<int, int>> covered;
        for (int x = range.MinX; x <= range.MaxX; ++x)
            for (int y = range.MinY; y <= range.MaxY; ++y)
                if (coverage.Contains(x, y))
                    covered.emplace(x, y);
        EXPECT_EQ(expected, covered);
        EXPECT_EQ(static_cast<long long>(expected.size()), coverage.Count());
        // The workers' shares, in the numbering of the whole rectangle.
        const long long rows = range.MaxY - range.MinY + 1;
        for (const long long upTo : {1LL, 37LL, 100LL, 225LL}) {
            for (int slot = 0; slot < 3; ++slot) {
                long long count = 0;
                for (const auto& [x, y] : expected) {
                    const long long number = (x - range.MinX) * rows + (y - range.MinY) + 1;
                    count += number <= upTo && number % 3 == slot;
                }
                EXPECT_EQ(count, coverage.CountUpTo(upTo, 3, slot)) << upTo << " " << slot;
            }
        }
    }
    // The square on tile borders covers its four tiles and no neighbour; the small triangle one;
    // the short tracks two each.
    TileRange range;
    range.MinX = 1990, range.MaxX = 2020, range.MinY = 1290, range.MaxY = 1320;
    EXPECT_EQ(4, TileCoverage(cases[9].Shape, Zoom, range).Count());
    EXPECT_EQ(1, TileCoverage(cases[10].Shape, Zoom, range).Count());
    EXPECT_EQ(4, TileCoverage(cases[4].Shape, Zoom, range).Count());
}

} // namespace
} // namespace quarrow
