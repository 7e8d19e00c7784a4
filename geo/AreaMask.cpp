// A row's inside is found from the outline alone: the crossings of the row's centre line with the
// polygons' edges, paired by the even-odd rule, and the stretch of the line within each corridor
// segment's capsule. Outline pieces are kept by the tile rows they reach, so a row looks only at
// those near it.
#include "AreaMask.h"

#include <algorithm>
#include <cmath>

#include "Commonfunc.h"
#include "TileCoverage.h"

namespace quarrow {

namespace {

constexpr double TilePixels = 256;

using Point = PlanePoint;

Point PixelPoint(const GeoPoint& p, int zoom) {
    return {TileXOf(p.Lon, zoom) * TilePixels, TileYOf(p.Lat, zoom) * TilePixels};
}

long long BucketOf(double y) {
    return static_cast<long long>(std::floor(y / TilePixels));
}

} // namespace

std::vector<AreaMask::Edge>& AreaMask::EdgeBucket(long long bucket) {
    return m_edges[static_cast<std::size_t>(bucket - m_firstBucket)];
}

std::vector<AreaMask::Segment>& AreaMask::SegmentBucket(long long bucket) {
    return m_segments[static_cast<std::size_t>(bucket - m_firstBucket)];
}

AreaMask::AreaMask(const AreaShape& shape, int zoom) {
    if (shape.Empty())
        return;
    const GeoBounds bounds = ShapeBounds(shape);
    m_firstBucket = BucketOf(TileYOf(bounds.North, zoom) * TilePixels);
    const long long lastBucket = BucketOf(TileYOf(bounds.South, zoom) * TilePixels);
    const auto buckets = static_cast<std::size_t>(lastBucket - m_firstBucket + 1);
    m_edges.resize(buckets);
    m_segments.resize(buckets);
    const auto clampBucket = [&](double y) {
        return std::clamp(BucketOf(y), m_firstBucket, lastBucket);
    };

    int polygonIndex = 0;
    for (const GeoPolygon& polygon : shape.Polygons) {
        for (const GeoRing& ring : polygon) {
            for (std::size_t i = 0; i < ring.size(); ++i) {
                Point a = PixelPoint(ring[i], zoom);
                Point b = PixelPoint(ring[(i + 1) % ring.size()], zoom);
                if (a.Y == b.Y)
                    continue; // a row's centre line never crosses it
                if (a.Y > b.Y)
                    std::swap(a, b);
                const Edge edge{a.X, a.Y, b.X, b.Y, polygonIndex};
                for (long long k = clampBucket(a.Y); k <= clampBucket(b.Y); ++k)
                    EdgeBucket(k).push_back(edge);
            }
        }
        ++polygonIndex;
    }
    for (const GeoLine& line : shape.Lines) {
        for (std::size_t i = 0; i + 1 < line.size() || (i == 0 && line.size() == 1); ++i) {
            const GeoPoint& from = line[i];
            const GeoPoint& to = line.size() == 1 ? line[i] : line[i + 1];
            // The same half width as the task's tiles take, so no covered tile is left empty.
            const double latitude = std::max(std::abs(from.Lat), std::abs(to.Lat));
            const double radius =
                TileCoverage::CorridorTiles(shape.CorridorKm, latitude, zoom) * TilePixels;
            const Point a = PixelPoint(from, zoom), b = PixelPoint(to, zoom);
            const Segment segment{Capsule({a.Y, a.X}, {b.Y, b.X}, radius),
                                  std::min(a.Y, b.Y) - radius, std::max(a.Y, b.Y) + radius};
            for (long long k = clampBucket(segment.North); k <= clampBucket(segment.South); ++k)
                SegmentBucket(k).push_back(segment);
        }
    }
}

void AreaMask::Spans(long long row, std::vector<Span>& spans) const {
    spans.clear();
    const double y = static_cast<double>(row) + 0.5;
    const long long bucket = BucketOf(y) - m_firstBucket;
    if (bucket < 0 || bucket >= static_cast<long long>(m_edges.size()))
        return;
    const auto index = static_cast<std::size_t>(bucket);

    // Columns whose centres x + 0.5 lie in lo..hi: half open for polygons, closed for capsules.
    const auto addOpen = [&spans](double lo, double hi) {
        const auto first = static_cast<long long>(std::ceil(lo - 0.5));
        const auto last = static_cast<long long>(std::ceil(hi - 0.5)) - 1;
        if (first <= last)
            spans.emplace_back(first, last);
    };
    const auto addClosed = [&spans](double lo, double hi) {
        const auto first = static_cast<long long>(std::ceil(lo - 0.5));
        const auto last = static_cast<long long>(std::floor(hi - 0.5));
        if (first <= last)
            spans.emplace_back(first, last);
    };

    std::vector<std::pair<int, double>> crossings; // polygon, x
    for (const Edge& e : m_edges[index])
        if (e.Y0 <= y && y < e.Y1)
            crossings.emplace_back(e.Polygon, e.X0 + (e.X1 - e.X0) * (y - e.Y0) / (e.Y1 - e.Y0));
    std::sort(crossings.begin(), crossings.end());
    // Paired within each polygon, whose holes are among its own crossings.
    for (std::size_t i = 0; i + 1 < crossings.size();) {
        if (crossings[i].first == crossings[i + 1].first) {
            addOpen(crossings[i].second, crossings[i + 1].second);
            i += 2;
        } else {
            ++i;
        }
    }

    for (const Segment& segment : m_segments[index]) {
        if (y < segment.North || y > segment.South)
            continue;
        const auto [lo, hi] = segment.Turned.Across(y);
        if (lo <= hi)
            addClosed(lo, hi);
    }

    std::sort(spans.begin(), spans.end());
    std::size_t kept = 0;
    for (const Span& span : spans) {
        if (kept > 0 && span.first <= spans[kept - 1].second + 1)
            spans[kept - 1].second = std::max(spans[kept - 1].second, span.second);
        else
            spans[kept++] = span;
    }
    spans.resize(kept);
}

} // namespace quarrow
