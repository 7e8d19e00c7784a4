#include "TileRange.h"

#include <algorithm>
#include <climits>

#include "Commonfunc.h"

namespace quarrow {

TileRange CoveringTiles(double left, double right, double top, double bottom, int zoom) {
    TileRange range;
    range.MinX = LonToTileX(left, zoom);
    range.MaxX = LonToTileX(right, zoom);
    range.TopRow = LatToTileY(top, zoom);
    range.BottomRow = LatToTileY(bottom, zoom);
    range.MinY = std::min(range.TopRow, range.BottomRow);
    range.MaxY = std::max(range.TopRow, range.BottomRow);
    return range;
}

unsigned long long TileRange::Count() const {
    // Both factors are at most 2^32, so their product fits 64 unsigned bits except for the one
    // product 2^64 itself, which saturates (2^64 - 1 is no product of two such factors).
    const long long columns = static_cast<long long>(MaxX) - MinX + 1;
    const long long rows = static_cast<long long>(MaxY) - MinY + 1;
    if (columns < 1)
        return 0;
    unsigned long long count = 0;
    if (__builtin_mul_overflow(static_cast<unsigned long long>(columns),
                               static_cast<unsigned long long>(rows), &count))
        return ULLONG_MAX;
    return count;
}

} // namespace quarrow
