// Tile decoding: PNG through libpng's simplified interface, which reports errors by return value;
// JPEG through libjpeg, whose errors end the decoding by a long jump back to the caller.
#include "TileImage.h"

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
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

bool IsJpeg(const std::string& bytes) {
    return bytes.size() >= 3 && std::memcmp(bytes.data(), "\xFF\xD8\xFF", 3) == 0;
}

struct JpegError {
    jpeg_error_mgr Manager;
    std::jmp_buf Back;
};

[[noreturn]] void LeaveJpeg(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->Back, 1);
}

// Decodes a JPEG into pixels when `pixels` is given; else reads its header only. No object with
// a destructor lives across the long jump.
bool ReadJpeg(const std::string& bytes, PixelOrder order, unsigned char* pixels,
              std::ptrdiff_t rowStride) {
    jpeg_decompress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.Manager);
    error.Manager.error_exit = LeaveJpeg;
    error.Manager.output_message = [](j_common_ptr) {};
    if (setjmp(error.Back)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    bool fits = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK && info.image_width == TileSize &&
                info.image_height == TileSize;
    if (fits && pixels) {
        info.out_color_space = order == PixelOrder::Rgb ? JCS_RGB : JCS_EXT_BGR;
        jpeg_start_decompress(&info);
        fits = info.output_components == PixelBytes;
        while (fits && info.output_scanline < info.output_height) {
            JSAMPROW row = pixels + rowStride * static_cast<std::ptrdiff_t>(info.output_scanline);
            jpeg_read_scanlines(&info, &row, 1);
        }
        if (fits)
            jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
    return fits;
}

} // namespace

bool DecodeTile(const std::string& bytes, PixelOrder order, unsigned char* pixels,
                std::ptrdiff_t rowStride) {
    if (rowStride > INT_MAX || rowStride < -INT_MAX)
        return false;
    if (IsJpeg(bytes))
        return ReadJpeg(bytes, order, pixels, rowStride);
    png_image image;
    if (!BeginTile(image, bytes))
        return false;
    image.format = order == PixelOrder::Rgb ? PNG_FORMAT_RGB : PNG_FORMAT_BGR;
    // A null background composes transparent pixels over the buffer, which is white.
    return png_image_finish_read(&image, nullptr, pixels, static_cast<png_int_32>(rowStride),
                                 nullptr) != 0;
}

} // namespace quarrow::combiner
