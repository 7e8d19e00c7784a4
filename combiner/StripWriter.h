// An image file written one strip of rows at a time, so that memory holds one strip only.
#pragma once

#include <cstddef>

#include "TileImage.h"

namespace quarrow::combiner {

class StripWriter {
public:
    StripWriter() = default;
    virtual ~StripWriter() = default;
    StripWriter(const StripWriter&) = delete;
    StripWriter& operator=(const StripWriter&) = delete;

    virtual PixelOrder Order() const = 0;
    // Whether the file holds its rows from the bottom up; strips then come bottom strip first,
    // each with its bottom row first.
    virtual bool BottomUp() const = 0;
    // Bytes from one row to the next in the rows handed to WriteRows.
    virtual std::size_t RowBytes() const = 0;
    // The next count rows (at most TileSize), in file order, and their opacity (one byte a pixel, rows of the image's
    // width; null for opaque rows), which a format without transparency ignores. Throws an
    // Exception when the file cannot be written.
    virtual void WriteRows(const unsigned char* rows, const unsigned char* alpha, int count) = 0;
    // Completes and closes the file; throws when that fails.
    virtual void Finish() = 0;
};

} // namespace quarrow::combiner
