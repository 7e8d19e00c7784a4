// Which tiles of a task's rectangle its area shape touches at the task's zoom level. A tile
// belongs when its square and the shape share some area in the Web-Mercator plane of that level
// (a polygon with its holes, or the corridor around the lines); touching only at an edge or a
// corner is not enough. Kept column by column as runs of rows, so memory grows with the shape's
// outline, not with its tiles.
#pragma once

#include <utility>
#include <vector>

#include "AreaShape.h"

namespace quarrow {

struct TileRange;

class TileCoverage {
public:
    using Run = std::pair<int, int>; // first and last row, inclusive

    TileCoverage(const AreaShape& shape, int zoom, const TileRange& range);

    long long Count() const noexcept { return m_count; }
    bool Contains(int x, int y) const noexcept;
    // The runs of the column, from the north; none outside the range.
    const std::vector<Run>& Runs(int x) const noexcept;

    // How many covered tiles have numbers (the task's numbering of its whole rectangle, column by
    // column from 1) up to sequenceNumber and belong to the worker in the slot: number modulo
    // threadCount equal to slot.
    long long CountUpTo(long long sequenceNumber, int threadCount, int slot) const;

    // The corridor's half width in tiles of the zoom level at a latitude.
    static double CorridorTiles(double km, double latitude, int zoom);

private:
    int m_minX;
    int m_maxX;
    int m_minY;
    int m_maxY;
    std::vector<std::vector<Run>> m_columns; // index x - m_minX
    long long m_count = 0;
};

} // namespace quarrow
