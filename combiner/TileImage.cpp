// Tile decoding through libpng's simplified interface, which reports errors by return value.
#include "TileImage.h"

#include <climits>
#include <cstring>

#include <png.h>

namespace quarrow::combiner {
namespace {

// Reads the header; on success the image must be finished or freed.
bool BeginTile(png_image& image, const std::string& bytes) {
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        return false;
    if (image.width != TileSize || image.height != TileSize) {
        png_image_free(&image);
        return false;
    }
    return true;
}

} // namespace

bool IsTilePng(const std::string& bytes) {
    png_image image;
    if (!BeginTile(image, bytes))
        return false;
    png_image_free(&image);
    return true;
}

bool DecodeTile(const std::string& bytes, PixelOrder order, unsigned char* pixels,
                std::ptrdiff_t rowStride) {
    if (rowStride > INT_MAX || rowStride < -INT_MAX)
        return false;
    png_image image;
    if (!BeginTile(image, bytes))
        return false;
    image.format = order == PixelOrder::Rgb ? PNG_FORMAT_RGB : PNG_FORMAT_BGR;
    // A null background composes transparent pixels over the buffer, which is white.
    return png_image_finish_read(&image, nullptr, pixels, static_cast<png_int_32>(rowStride),
                                 nullptr) != 0;
}

} // namespace quarrow::combiner
