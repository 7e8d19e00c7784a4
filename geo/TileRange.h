// The tiles that cover an area, and how a task's workers share them.
#pragma once

namespace quarrow {

// The tiles that cover an area at a zoom level, rows ordered whatever the order of the latitudes.
struct TileRange {
    int MinX = 0;
    int MinY = 0;
    int MaxX = 0;
    int MaxY = 0;
    int TopRow = 0;    // row of the top latitude
    int BottomRow = 0; // row of the bottom latitude
    // Tiles in the range; 0 when the right edge lies west of the left; 2^64 saturates.
    unsigned long long Count() const;
};

TileRange CoveringTiles(double left, double right, double top, double bottom, int zoom);

// The workers' share of a task's tiles, numbered from 1 in column order: the tile numbered n is
// the worker's in slot n mod threadCount.
constexpr bool IsWorkersTile(long long sequenceNumber, int threadCount, int slot) noexcept {
    return sequenceNumber % threadCount == slot;
}
// How many of the tiles numbered 1 .. sequenceNumber are the worker's in the slot.
constexpr long long WorkersTilesUpTo(long long sequenceNumber, int threadCount, int slot) noexcept {
    if (sequenceNumber <= 0 || threadCount <= 0)
        return 0;
    if (slot == 0)
        return sequenceNumber / threadCount;
    return sequenceNumber < slot ? 0 : (sequenceNumber - slot) / threadCount + 1;
}

} // namespace quarrow
