// What a PNG, JPEG or WebP file says of itself before any pixel is decoded: its size from the header,
// and whether it ends as a whole file of its kind does. Cheap enough for every downloaded tile.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TileFormat.h"

namespace quarrow {

// The largest picture a tile may be on either side: a tile, not a picture bomb.
inline constexpr int MaxTileImageSide = 4096;

struct ImageSize {
    int Width = 0;
    int Height = 0;
    bool operator==(const ImageSize&) const = default;
};

// The size that a PNG's IHDR, a JPEG's frame header or a WebP's first chunk gives; nullopt when
// the bytes are none of them or the header does not parse.
std::optional<ImageSize> ImageHeaderSize(std::string_view bytes);

// Why the bytes are no whole tile image of the format ("png", "jpg" or "webp"), or nullopt. Each reason
// begins "not an image" and holds none of the texts by which failures are sorted.
// With a side, a picture of another size is "not a tile of this source: not 512 x 512 pixels"
// (the size it has is not said: its digits could read as a status).
std::optional<std::string> TileImageFault(std::string_view bytes, std::string_view format,
                                          int side = 0);

// "png", "jpg" or "webp" by the bytes' own signature; empty for none of them.
std::string_view ImageFormatOf(std::string_view bytes);
std::optional<TileFormat> ImageTileFormat(std::string_view bytes);

// Whether the bytes are a picture of exactly side x side pixels, by the header alone.
bool HasImageSide(std::string_view bytes, int side);

} // namespace quarrow
