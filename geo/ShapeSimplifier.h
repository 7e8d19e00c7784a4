// A shape's points thinned to what a task can tell apart: at a zoom level, points that lie within
// a tenth of a pixel of the line through their neighbours are left out. A track of millions of
// points becomes a few thousand before its coverage, its file, the viewer and the combiner.
#pragma once

#include <memory>
#include <vector>

#include "AreaShape.h"

namespace quarrow {

// The largest distance of a left-out point from the simplified line, in pixels of the zoom
// level's Web-Mercator plane.
inline constexpr double SimplifyPixels = 0.1;

// Thins a line or a ring as its points come, in memory that does not grow with them:
// Douglas-Peucker over chunks of a few thousand points, each chunk's first and last point kept.
// The work on a chunk is bounded too; a chunk that would take longer keeps more of its points.
class PointSimplifier {
public:
    explicit PointSimplifier(int zoom);
    void Add(const GeoPoint& point);
    // The kept points, the first and the last among them; the simplifier starts anew.
    std::vector<GeoPoint> Finish();

private:
    void Flush(bool last);

    double m_scale; // pixels of the plane per unit of the normalised Mercator coordinates
    std::vector<GeoPoint> m_chunk;
    std::vector<GeoPoint> m_kept;
};

// The shape thinned at the zoom level, and marked so (AreaShape::SimplifiedAt). A shape already
// thinned at that level, or at a coarser one, is returned as it is: a task resumed with its
// stored shape compares it unchanged.
AreaShape SimplifyShape(const AreaShape& shape, int zoom);
std::shared_ptr<const AreaShape> SimplifyShape(std::shared_ptr<const AreaShape> shape, int zoom);

} // namespace quarrow
