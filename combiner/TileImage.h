// Tiles as the combiner reads them: PNG or JPEG bytes decoded straight into a strip of the output
// image.
#pragma once

#include <cstddef>
#include <string>

namespace quarrow::combiner {

inline constexpr int TileSize = 256; // pixels on a side
inline constexpr int PixelBytes = 3;

enum class PixelOrder { Rgb, Bgr };

// Decodes a TileSize x TileSize PNG or JPEG into pixels, rows rowStride bytes apart (negative: the
// bottom row first, at pixels). Transparent parts are laid over what the buffer holds. False when
// the bytes are not such a picture; the tile's area may then hold part of an image.
bool DecodeTile(const std::string& bytes, PixelOrder order, unsigned char* pixels,
                std::ptrdiff_t rowStride);

} // namespace quarrow::combiner
