// A GeoTIFF of Web Mercator written a strip of tile rows at a time: tiled 256 x 256, each tile
// encoded as its rows arrive, deflate with the predictor (or JPEG for JPEG tiles), the EPSG:3857
// georeference in the three GeoTIFF tags, and reduced-resolution overviews down to about 256
// pixels. The overviews' rows are made in the same pass, halving each level into the next, and
// kept in temporary files beside the output until the full image is written; memory holds one
// strip of each level.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "GeoReference.h"
#include "StripWriter.h"

namespace quarrow::combiner {

struct GeoTiffOptions {
    bool Alpha = false; // a fourth band: transparent outside a shape
    bool Jpeg = false;  // JPEG compression (for JPEG tiles), else deflate
    int Quality = 85;   // of the JPEG compression
    // Above this many bytes of pixels the file is a BigTIFF; a classic TIFF ends at 4 GiB.
    std::uint64_t BigTiffAbove = 3ULL << 30;
};

class GeoTiffWriter : public StripWriter {
public:
    // Creates the file; width and height are whole tiles. Throws "Unable to write to " + path.
    GeoTiffWriter(std::string path, std::uint32_t width, std::uint32_t height,
                  const MercatorPlacement& placement, const GeoTiffOptions& options);
    ~GeoTiffWriter() override;

    PixelOrder Order() const override { return PixelOrder::Rgb; }
    bool BottomUp() const override { return false; }
    std::size_t RowBytes() const override { return static_cast<std::size_t>(m_width) * 3; }
    void WriteRows(const unsigned char* rows, const unsigned char* alpha, int count) override;
    void Finish() override;

    // How many overview levels an image of this size gets: halved until both sides fit 256.
    static int OverviewCount(std::uint32_t width, std::uint32_t height);

private:
    struct Level;
    [[noreturn]] void Fail(const std::string& what);
    void StartDirectory(std::uint32_t width, std::uint32_t height, bool reduced);
    // Encodes a strip of TileSize rows (the last may be short) of samples into the directory.
    void WriteTileRow(const unsigned char* samples, std::uint32_t width, std::uint32_t rows,
                      std::uint32_t tileRow);
    // Halves rows of a level into the next one.
    void Reduce(std::size_t level, const unsigned char* samples, std::uint32_t rows);

    std::string m_path;
    std::uint32_t m_width;
    std::uint32_t m_height;
    MercatorPlacement m_placement;
    GeoTiffOptions m_options;
    int m_bands;
    void* m_tiff = nullptr; // libtiff's TIFF, kept out of this header
    std::uint32_t m_rowsWritten = 0;
    std::vector<unsigned char> m_samples; // a strip with the alpha band interleaved
    std::vector<std::unique_ptr<Level>> m_levels;
};

} // namespace quarrow::combiner
