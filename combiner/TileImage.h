// Tiles as the combiner reads them: PNG, JPEG or WebP bytes decoded into a strip of the output
// image.
#pragma once

#include <cstddef>
#include <string>

namespace quarrow::combiner {

inline constexpr int TileSize = 256; // pixels on a side
inline constexpr int PixelBytes = 3;

enum class PixelOrder { Rgb, Bgr };

// Decodes a TileSize x TileSize PNG, JPEG or WebP into pixels, rows rowStride bytes apart (negative: the
// bottom row first, at pixels). Transparent parts are laid over what the buffer holds. False when
// the bytes are not such a picture; the tile's area may then hold part of an image.
// A source's 512-pixel tiles are decoded with side 512.
bool DecodeTile(const std::string& bytes, PixelOrder order, unsigned char* pixels,
                std::ptrdiff_t rowStride, int side = TileSize);

// The WebP's picture as a PNG, its opacity kept; empty when the bytes are no WebP.
std::string WebpAsPng(const std::string& bytes);

} // namespace quarrow::combiner
