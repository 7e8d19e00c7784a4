// A polygon's tiles are those its outline passes through (walked edge by edge) and those whose
// centre lies inside it (found column by column from the outline's crossings with the column's
// centre line): a tile that no edge enters is wholly inside or wholly outside. A corridor's tiles
// are those nearer to one of its segments than the corridor's half width.
#include "TileCoverage.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "Capsule.h"
#include "Commonfunc.h"
#include "TileRange.h"

namespace quarrow {

namespace {

constexpr double EarthRadius = 6378137; // metres, of the Web-Mercator sphere

using Point = PlanePoint;

// A point on a tile border, as a shape drawn along the borders has, comes back from degrees a
// hair off it; within a billionth of a tile it is on the border again, so that it shares no
// area with the neighbouring tile.
double OnBorder(double tiles) {
    const double border = std::round(tiles);
    return std::abs(tiles - border) < 1e-9 ? border : tiles;
}

Point TilePoint(const GeoPoint& p, int zoom) {
    return {OnBorder(TileXOf(p.Lon, zoom)), OnBorder(TileYOf(p.Lat, zoom))};
}

// The covered rows of each column, gathered as runs and merged at the end.
class Collector {
public:
    Collector(int minX, int maxX, int minY, int maxY)
        : m_minX(minX), m_maxX(maxX), m_minY(minY), m_maxY(maxY),
          m_runs(static_cast<std::size_t>(static_cast<long long>(maxX) - minX + 1)) {}

    void AddRun(long long x, long long first, long long last) {
        if (x < m_minX || x > m_maxX)
            return;
        first = std::max<long long>(first, m_minY);
        last = std::min<long long>(last, m_maxY);
        if (first > last)
            return;
        auto& runs = m_runs[static_cast<std::size_t>(x - m_minX)];
        // A track's next segment mostly covers what the last one did: joined here, not sorted
        // and merged later.
        if (!runs.empty() && first <= static_cast<long long>(runs.back().second) + 1 &&
            last + 1 >= runs.back().first) {
            runs.back().first = std::min(runs.back().first, static_cast<int>(first));
            runs.back().second = std::max(runs.back().second, static_cast<int>(last));
            return;
        }
        runs.emplace_back(static_cast<int>(first), static_cast<int>(last));
    }

    // Rows whose open interval meets the y values lo..hi of an open stretch of an edge.
    void AddRowsMet(long long x, double lo, double hi) {
        if (hi > lo)
            AddRun(x, static_cast<long long>(std::floor(lo)),
                   static_cast<long long>(std::ceil(hi)) - 1);
        else if (lo != std::floor(lo))
            AddRun(x, static_cast<long long>(std::floor(lo)),
                   static_cast<long long>(std::floor(lo)));
    }

    std::vector<std::vector<TileCoverage::Run>> Merged() && {
        for (auto& runs : m_runs) {
            std::sort(runs.begin(), runs.end());
            std::vector<TileCoverage::Run> merged;
            for (const auto& run : runs) {
                if (!merged.empty() &&
                    static_cast<long long>(merged.back().second) + 1 >= run.first)
                    merged.back().second = std::max(merged.back().second, run.second);
                else
                    merged.push_back(run);
            }
            merged.shrink_to_fit();
            runs = std::move(merged);
        }
        return std::move(m_runs);
    }

private:
    int m_minX, m_maxX, m_minY, m_maxY;
    std::vector<std::vector<TileCoverage::Run>> m_runs;
};

double YAt(const Point& a, const Point& b, double x) {
    return a.Y + (b.Y - a.Y) * (x - a.X) / (b.X - a.X);
}

// The tiles whose open squares the open edge passes through.
void WalkEdge(Point a, Point b, Collector& out) {
    if (a.X == b.X) {
        if (a.X != std::floor(a.X))
            out.AddRowsMet(static_cast<long long>(std::floor(a.X)), std::min(a.Y, b.Y),
                           std::max(a.Y, b.Y));
        return; // on a column border it enters no square
    }
    if (a.X > b.X)
        std::swap(a, b);
    const auto first = static_cast<long long>(std::floor(a.X));
    const auto last = static_cast<long long>(std::ceil(b.X)) - 1;
    for (long long c = first; c <= last; ++c) {
        const double ya = YAt(a, b, std::max(a.X, static_cast<double>(c)));
        const double yb = YAt(a, b, std::min(b.X, static_cast<double>(c + 1)));
        out.AddRowsMet(c, std::min(ya, yb), std::max(ya, yb));
    }
}

void CoverPolygon(const std::vector<std::vector<Point>>& rings, long long minX, long long maxX,
                  Collector& out) {
    struct Edge {
        Point A; // the western end
        Point B;
    };
    std::vector<Edge> edges;
    double west = INFINITY, east = -INFINITY;
    for (const auto& ring : rings) {
        for (std::size_t i = 0; i < ring.size(); ++i) {
            Point a = ring[i], b = ring[(i + 1) % ring.size()];
            WalkEdge(a, b, out);
            west = std::min(west, a.X);
            east = std::max(east, a.X);
            if (a.X == b.X)
                continue; // never crosses a vertical line under the half-open rule
            if (a.X > b.X)
                std::swap(a, b);
            edges.push_back({a, b});
        }
    }
    // The centres inside: crossings of each column's centre line, paired by the even-odd rule.
    std::sort(edges.begin(), edges.end(),
              [](const Edge& e, const Edge& f) { return e.A.X < f.A.X; });
    std::vector<const Edge*> active;
    std::vector<double> crossings;
    std::size_t next = 0;
    const long long firstColumn =
        std::max<long long>(minX, static_cast<long long>(std::floor(west)));
    const long long lastColumn =
        std::min<long long>(maxX, static_cast<long long>(std::floor(east)));
    for (long long c = firstColumn; c <= lastColumn; ++c) {
        const double middle = static_cast<double>(c) + 0.5;
        while (next < edges.size() && edges[next].A.X <= middle)
            active.push_back(&edges[next++]);
        std::erase_if(active, [middle](const Edge* e) { return e->B.X <= middle; });
        crossings.clear();
        for (const Edge* e : active)
            crossings.push_back(YAt(e->A, e->B, middle));
        std::sort(crossings.begin(), crossings.end());
        for (std::size_t i = 0; i + 1 < crossings.size(); i += 2)
            out.AddRun(c, static_cast<long long>(std::ceil(crossings[i] - 0.5)),
                       static_cast<long long>(std::floor(crossings[i + 1] - 0.5)));
    }
}

// The squared distance between the segment and the tile's square: zero when the segment enters
// it, else the least of its ends' distances to the square and the corners' to the segment.
double SquaredDistance(const Point& a, const Point& b, double left, double top) {
    const double right = left + 1, bottom = top + 1;
    const double dx = b.X - a.X, dy = b.Y - a.Y;
    double enter = 0, leave = 1; // the part of the segment inside the square, clipped side by side
    const auto within = [&enter, &leave](double p, double q) { // p * t <= q
        if (p == 0)
            return q >= 0;
        const double t = q / p;
        if (p < 0)
            enter = std::max(enter, t);
        else
            leave = std::min(leave, t);
        return enter <= leave;
    };
    if (within(-dx, a.X - left) && within(dx, right - a.X) && within(-dy, a.Y - top) &&
        within(dy, bottom - a.Y))
        return 0;
    const auto toSquare = [&](const Point& p) {
        const double ex = std::max({left - p.X, 0.0, p.X - right});
        const double ey = std::max({top - p.Y, 0.0, p.Y - bottom});
        return ex * ex + ey * ey;
    };
    const double length2 = dx * dx + dy * dy;
    const auto toSegment = [&](double x, double y) {
        const double t =
            length2 > 0 ? std::clamp(((x - a.X) * dx + (y - a.Y) * dy) / length2, 0.0, 1.0) : 0;
        const double ex = a.X + t * dx - x, ey = a.Y + t * dy - y;
        return ex * ex + ey * ey;
    };
    return std::min({toSquare(a), toSquare(b), toSegment(left, top), toSegment(right, top),
                     toSegment(left, bottom), toSegment(right, bottom)});
}

// The tiles nearer to the segment than the radius (in tiles): in each column the rows that the
// capsule's extent over the column reaches into, the capsule being convex.
void CoverCapsule(const Point& a, const Point& b, double radius, Collector& out) {
    const Capsule capsule(a, b, radius);
    const double west = capsule.West(), east = capsule.East();
    const auto first = static_cast<long long>(std::floor(west));
    const auto last = static_cast<long long>(std::ceil(east)) - 1;
    for (long long c = first; c <= last; ++c) {
        const double x0 = std::max(west, static_cast<double>(c));
        const double x1 = std::min(east, static_cast<double>(c + 1));
        if (x0 >= x1)
            continue; // only the capsule's outline touches the column
        const auto [lo, hi] = capsule.Over(x0, x1);
        if (lo < hi)
            out.AddRun(c, static_cast<long long>(std::floor(lo)),
                       static_cast<long long>(std::ceil(hi)) - 1);
    }
}

// A stretch of a track whose points all lie within Slack tiles of its chord.
constexpr double Slack = 1.0 / 32;
constexpr std::size_t MaxStretch = 256; // segments; bounds the exact checks of a border tile

// The last point of the longest stretch from points[first] that keeps within Slack of its chord.
// A point farther than Slack from the start allows only the chord directions that pass within
// Slack of it (a cone); an end must lie in every cone so far and be at least as far as every
// point before it, so that each of them lies beside the chord, not beyond its end. The cone is
// kept as its two bounding directions, so no angle is ever computed.
std::size_t StretchEnd(const std::vector<Point>& points, std::size_t first) {
    const auto cross = [](const Point& u, const Point& v) { return u.X * v.Y - u.Y * v.X; };
    const Point& start = points[first];
    std::size_t end = first + 1;
    double farthest = 0;
    bool coned = false;
    Point right{}, left{}; // the cone's bounds, clockwise and anticlockwise
    const std::size_t last = std::min(points.size() - 1, first + MaxStretch);
    for (std::size_t j = first + 1; j <= last; ++j) {
        const Point v{points[j].X - start.X, points[j].Y - start.Y};
        const double distance = std::sqrt(v.X * v.X + v.Y * v.Y);
        if (distance < farthest || (coned && (cross(right, v) < 0 || cross(v, left) < 0)))
            break;
        end = j;
        farthest = distance;
        if (distance > Slack) {
            const double sine = Slack / distance, cosine = std::sqrt(1 - sine * sine);
            const Point u{v.X / distance, v.Y / distance};
            const Point low{u.X * cosine + u.Y * sine, u.Y * cosine - u.X * sine};
            const Point high{u.X * cosine - u.Y * sine, u.Y * cosine + u.X * sine};
            if (!coned || cross(right, low) > 0)
                right = low;
            if (!coned || cross(high, left) > 0)
                left = high;
            coned = true;
            if (cross(right, left) < 0)
                break;
        }
    }
    return end;
}

// The tiles of the track's corridor, a stretch at a time: the capsule around the stretch's chord,
// narrowed by the slack, lies inside the union of its segments' capsules, and widened by it holds
// them all. The tiles between the two are decided by the segments themselves.
void CoverTrack(const std::vector<Point>& points, const std::vector<double>& radii,
                Collector& out) {
    std::size_t first = 0;
    while (first + 1 < points.size()) {
        const std::size_t end = StretchEnd(points, first);
        const auto [least, most] =
            std::minmax_element(radii.begin() + static_cast<std::ptrdiff_t>(first),
                                radii.begin() + static_cast<std::ptrdiff_t>(end));
        // A little more than the slack, against rounding in the cone's test.
        const double margin = Slack * 1.01;
        if (*least <= margin) {
            for (std::size_t i = first; i < end; ++i)
                CoverCapsule(points[i], points[i + 1], radii[i], out);
            first = end;
            continue;
        }
        const Capsule inner(points[first], points[end], *least - margin);
        const Capsule outer(points[first], points[end], *most + margin);
        const auto meets = [&](long long column, long long row) {
            for (std::size_t i = first; i < end; ++i)
                if (SquaredDistance(points[i], points[i + 1], static_cast<double>(column),
                                    static_cast<double>(row)) < radii[i] * radii[i])
                    return true;
            return false;
        };
        const auto westmost = static_cast<long long>(std::floor(outer.West()));
        const auto eastmost = static_cast<long long>(std::ceil(outer.East())) - 1;
        for (long long c = westmost; c <= eastmost; ++c) {
            const double x0 = std::max(outer.West(), static_cast<double>(c));
            const double x1 = std::min(outer.East(), static_cast<double>(c + 1));
            if (x0 >= x1)
                continue;
            const auto [outerLo, outerHi] = outer.Over(x0, x1);
            const auto top = static_cast<long long>(std::floor(outerLo));
            const auto bottom = static_cast<long long>(std::ceil(outerHi)) - 1;
            // The rows the inner capsule reaches: none when it misses the column.
            long long innerTop = bottom + 1, innerBottom = bottom;
            const double i0 = std::max(inner.West(), static_cast<double>(c));
            const double i1 = std::min(inner.East(), static_cast<double>(c + 1));
            if (i0 < i1) {
                const auto [innerLo, innerHi] = inner.Over(i0, i1);
                if (innerLo < innerHi) {
                    innerTop = static_cast<long long>(std::floor(innerLo));
                    innerBottom = static_cast<long long>(std::ceil(innerHi)) - 1;
                    out.AddRun(c, innerTop, innerBottom);
                }
            }
            for (long long row = top; row <= bottom; ++row) {
                if (row == innerTop && innerTop <= innerBottom) {
                    row = innerBottom;
                    continue;
                }
                if (meets(c, row))
                    out.AddRun(c, row, row);
            }
        }
        first = end;
    }
}
} // namespace

double TileCoverage::CorridorTiles(double km, double latitude, int zoom) {
    const double metresPerTile = 2 * std::numbers::pi * EarthRadius *
                                 std::cos(latitude * std::numbers::pi / 180) /
                                 std::ldexp(1.0, zoom);
    return km * 1000 / metresPerTile;
}

TileCoverage::TileCoverage(const AreaShape& shape, int zoom, const TileRange& range)
    : m_minX(range.MinX), m_maxX(range.MaxX), m_minY(range.MinY), m_maxY(range.MaxY) {
    Collector out(m_minX, m_maxX, m_minY, m_maxY);
    for (const GeoPolygon& polygon : shape.Polygons) {
        std::vector<std::vector<Point>> rings;
        for (const GeoRing& ring : polygon) {
            std::vector<Point> points;
            for (const GeoPoint& p : ring)
                points.push_back(TilePoint(p, zoom));
            rings.push_back(std::move(points));
        }
        CoverPolygon(rings, m_minX, m_maxX, out);
    }
    for (const GeoLine& line : shape.Lines) {
        std::vector<Point> points;
        points.reserve(line.size());
        for (const GeoPoint& p : line)
            points.push_back(TilePoint(p, zoom));
        if (points.size() == 1) {
            CoverCapsule(points[0], points[0],
                         CorridorTiles(shape.CorridorKm, std::abs(line[0].Lat), zoom), out);
            continue;
        }
        // The width where each segment lies nearest a pole, so the corridor is never narrow.
        std::vector<double> radii;
        radii.reserve(line.size());
        for (std::size_t i = 0; i + 1 < line.size(); ++i)
            radii.push_back(
                CorridorTiles(shape.CorridorKm,
                              std::max(std::abs(line[i].Lat), std::abs(line[i + 1].Lat)), zoom));
        CoverTrack(points, radii, out);
    }
    m_columns = std::move(out).Merged();
    for (const auto& runs : m_columns)
        for (const auto& [first, last] : runs)
            m_count += static_cast<long long>(last) - first + 1;
}

const std::vector<TileCoverage::Run>& TileCoverage::Runs(int x) const noexcept {
    static const std::vector<Run> None;
    if (x < m_minX || x > m_maxX)
        return None;
    return m_columns[static_cast<std::size_t>(static_cast<long long>(x) - m_minX)];
}

bool TileCoverage::Contains(int x, int y) const noexcept {
    const std::vector<Run>& runs = Runs(x);
    const auto after = std::upper_bound(runs.begin(), runs.end(), y,
                                        [](int row, const Run& run) { return row < run.first; });
    return after != runs.begin() && y <= std::prev(after)->second;
}

long long TileCoverage::CountUpTo(long long sequenceNumber, int threadCount, int slot) const {
    if (threadCount <= 0)
        return 0;
    const auto upTo = [threadCount, slot](long long m) {
        return WorkersTilesUpTo(m, threadCount, slot);
    };
    const long long rows = static_cast<long long>(m_maxY) - m_minY + 1;
    long long total = 0;
    for (std::size_t column = 0; column < m_columns.size(); ++column) {
        const long long base = static_cast<long long>(column) * rows;
        if (base >= sequenceNumber)
            break;
        for (const auto& [first, last] : m_columns[column]) {
            const long long low = base + (first - m_minY) + 1;
            const long long high = std::min(base + (last - m_minY) + 1, sequenceNumber);
            if (low <= high)
                total += upTo(high) - upTo(low - 1);
        }
    }
    return total;
}

} // namespace quarrow
