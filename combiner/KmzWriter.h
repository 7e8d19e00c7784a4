// A Garmin custom map: a KMZ (a zip) of JPEG pieces of at most 1024 x 1024 pixels, cut from the
// mosaic on tile edges, and a doc.kml of one GroundOverlay per piece with its LatLonBox. Pieces
// wholly outside a shape are left out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "StripWriter.h"

typedef struct zip zip_t;

namespace quarrow::combiner {

// The side of a piece: four tiles.
inline constexpr int KmzPieceSide = 1024;
// The pieces most Garmin devices take; some take 500.
inline constexpr int GarminPieces = 100;

// How many pieces a mosaic of this many pixels makes.
long long KmzPieces(long long width, long long height);

// How the pieces look: the scale, 1 / 2^Halvings of the tiles' (0..8, so that a tile keeps a
// whole number of pixels and the pieces' edges stay on tile edges), and the JPEG quality.
struct KmzLook {
    int Halvings = 0;
    int Quality = 85;
};

class KmzWriter final : public StripWriter {
public:
    // The mosaic (width x height pixels at the tiles' scale) has its top-left tile at (minX,
    // minY) at the zoom level; name is the map's. Creates the file; throws an Exception naming
    // the path.
    KmzWriter(std::string path, std::uint32_t width, std::uint32_t height, int minX, int minY,
              int zoom, std::string name, KmzLook look = {});
    ~KmzWriter() override;

    PixelOrder Order() const override { return PixelOrder::Rgb; }
    bool BottomUp() const override { return false; }
    std::size_t RowBytes() const override { return m_rowBytes; }
    void WriteRows(const unsigned char* rows, const unsigned char* alpha, int count) override;
    void Finish() override;

private:
    // Adds a row of the piece's scale to those gathered.
    void Gather(const unsigned char* row, const unsigned char* alpha);
    // Cuts the rows gathered so far into pieces and adds them.
    void CutPieces();
    [[noreturn]] void Fail(const std::string& what);

    std::string m_path;
    std::uint32_t m_width, m_height; // of the mosaic at the tiles' scale
    int m_minX, m_minY, m_zoom;
    std::string m_name;
    KmzLook m_look;
    std::size_t m_rowBytes;           // of a row given, at the tiles' scale
    std::uint32_t m_outWidth;         // of the pieces' rows
    std::vector<std::uint32_t> m_sum; // the rows given since the last row of the pieces' scale
    std::vector<unsigned char> m_opaque; // whether any pixel of m_sum's is
    std::vector<unsigned char> m_mean;   // the row of m_sum's means
    int m_summed = 0;
    std::vector<unsigned char> m_rows;  // up to a piece's height of rows
    std::vector<unsigned char> m_alpha; // their opacity, when the mosaic has a shape
    bool m_hasAlpha = false;
    int m_gathered = 0;  // rows in m_rows
    int m_pieceRow = 0;  // of the pieces, from the north
    std::string m_overlays; // the GroundOverlays written so far
    int m_pieces = 0;
    zip_t* m_zip = nullptr;
};

} // namespace quarrow::combiner
