// Which pixels of a mosaic a shape covers, one row of pixels at a time: for the combiner, which
// leaves the pixels outside a shape's task empty. A pixel is inside when its centre is.
#pragma once

#include <utility>
#include <vector>

#include "AreaShape.h"
#include "Capsule.h"

namespace quarrow {

class AreaMask {
public:
    using Span = std::pair<long long, long long>; // first and last column, inclusive

    // Pixels are those of the tiles of the zoom level (256 a tile), counted from the map's
    // north-west corner. Memory grows with the shape's outline.
    AreaMask(const AreaShape& shape, int zoom);

    // The inside spans of the pixel row, sorted, apart from each other.
    void Spans(long long row, std::vector<Span>& spans) const;

private:
    struct Edge {
        double X0, Y0, X1, Y1; // Y0 < Y1
        int Polygon;
    };
    // A corridor segment's capsule with x and y swapped, so that its extent across a row is
    // its extent across a vertical line.
    struct Segment {
        Capsule Turned;
        double North, South; // of its reach
    };
    std::vector<Edge>& EdgeBucket(long long bucket);
    std::vector<Segment>& SegmentBucket(long long bucket);

    // By the tile row (256 pixel rows) they reach into, from m_firstBucket.
    std::vector<std::vector<Edge>> m_edges;
    std::vector<std::vector<Segment>> m_segments;
    long long m_firstBucket = 0;
};

} // namespace quarrow
