// Distances are taken in the Web-Mercator plane of the zoom level, where a tile is 256 pixels,
// the plane in which the coverage is worked out.
#include "ShapeSimplifier.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace quarrow {

namespace {

constexpr std::size_t ChunkPoints = 4096;
// Distance computations per point of a chunk before the rest of it is kept as it is.
constexpr std::size_t WorkPerPoint = 32;

struct Plane {
    double X;
    double Y;
};

Plane Project(const GeoPoint& point, double scale) {
    const double lat = std::clamp(point.Lat, -85.0511287798, 85.0511287798) * std::numbers::pi / 180;
    return {(point.Lon + 180) / 360 * scale,
            (1 - std::log(std::tan(lat) + 1 / std::cos(lat)) / std::numbers::pi) / 2 * scale};
}

// The distance of p from the segment a-b.
double SegmentDistance(Plane p, Plane a, Plane b) {
    const double dx = b.X - a.X, dy = b.Y - a.Y;
    const double length = dx * dx + dy * dy;
    double t = length > 0 ? ((p.X - a.X) * dx + (p.Y - a.Y) * dy) / length : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(p.X - (a.X + t * dx), p.Y - (a.Y + t * dy));
}

// Douglas-Peucker on one chunk: which of its points stay.
std::vector<bool> KeptPoints(const std::vector<Plane>& points) {
    std::vector<bool> keep(points.size(), false);
    keep.front() = keep.back() = true;
    std::size_t budget = WorkPerPoint * points.size();
    std::vector<std::pair<std::size_t, std::size_t>> ranges{{0, points.size() - 1}};
    while (!ranges.empty()) {
        const auto [first, last] = ranges.back();
        ranges.pop_back();
        if (last - first < 2)
            continue;
        if (last - first - 1 > budget) {
            // Out of time: what is left stays whole, never thinned beyond the tolerance.
            std::fill(keep.begin() + static_cast<long>(first), keep.begin() + static_cast<long>(last),
                      true);
            continue;
        }
        budget -= last - first - 1;
        double farthest = -1;
        std::size_t at = first;
        for (std::size_t i = first + 1; i < last; ++i) {
            const double distance = SegmentDistance(points[i], points[first], points[last]);
            if (distance > farthest) {
                farthest = distance;
                at = i;
            }
        }
        if (farthest > SimplifyPixels) {
            keep[at] = true;
            ranges.emplace_back(first, at);
            ranges.emplace_back(at, last);
        }
    }
    return keep;
}

GeoLine SimplifyPoints(const GeoLine& points, int zoom) {
    PointSimplifier simplifier(zoom);
    for (const GeoPoint& point : points)
        simplifier.Add(point);
    return simplifier.Finish();
}

} // namespace

PointSimplifier::PointSimplifier(int zoom) : m_scale(256 * std::ldexp(1.0, zoom)) {}

void PointSimplifier::Add(const GeoPoint& point) {
    if (!m_chunk.empty() && m_chunk.back() == point)
        return;
    m_chunk.push_back(point);
    if (m_chunk.size() == ChunkPoints)
        Flush(false);
}

void PointSimplifier::Flush(bool last) {
    if (m_chunk.size() < 3) {
        m_kept.insert(m_kept.end(), m_chunk.begin() + (m_kept.empty() ? 0 : 1), m_chunk.end());
    } else {
        std::vector<Plane> plane;
        plane.reserve(m_chunk.size());
        for (const GeoPoint& point : m_chunk)
            plane.push_back(Project(point, m_scale));
        const std::vector<bool> keep = KeptPoints(plane);
        // A chunk's first point is the last one kept of the chunk before.
        for (std::size_t i = m_kept.empty() ? 0 : 1; i < m_chunk.size(); ++i)
            if (keep[i])
                m_kept.push_back(m_chunk[i]);
    }
    if (last) {
        m_chunk.clear();
    } else {
        const GeoPoint joint = m_chunk.back();
        m_chunk.assign(1, joint);
    }
}

std::vector<GeoPoint> PointSimplifier::Finish() {
    if (!m_chunk.empty() && !(m_chunk.size() == 1 && !m_kept.empty()))
        Flush(true);
    m_chunk.clear();
    return std::exchange(m_kept, {});
}

AreaShape SimplifyShape(const AreaShape& shape, int zoom) {
    if (shape.SimplifiedAt != 0 && shape.SimplifiedAt <= zoom)
        return shape;
    AreaShape simplified;
    simplified.CorridorKm = shape.CorridorKm;
    simplified.SimplifiedAt = zoom;
    for (const GeoLine& line : shape.Lines)
        simplified.Lines.push_back(SimplifyPoints(line, zoom));
    for (const GeoPolygon& polygon : shape.Polygons) {
        GeoPolygon& rings = simplified.Polygons.emplace_back();
        for (const GeoRing& ring : polygon) {
            GeoRing thinner = SimplifyPoints(ring, zoom);
            // A ring smaller than the tolerance still covers its tile: it stays as it was.
            rings.push_back(thinner.size() >= 3 ? std::move(thinner) : ring);
        }
    }
    return simplified;
}

std::shared_ptr<const AreaShape> SimplifyShape(std::shared_ptr<const AreaShape> shape, int zoom) {
    if (!shape || (shape->SimplifiedAt != 0 && shape->SimplifiedAt <= zoom))
        return shape;
    return std::make_shared<const AreaShape>(SimplifyShape(*shape, zoom));
}

} // namespace quarrow
