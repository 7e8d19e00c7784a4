// Tile decoding: PNG through libpng's simplified interface, which reports errors by return value;
// JPEG through libjpeg, whose errors end the decoding by a long jump back to the caller; WebP
// through libwebp, into a buffer of its own that is laid over the strip (a stride may be negative).
#include "TileImage.h"

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <memory>

#include <jpeglib.h>
#include <png.h>
#include <webp/decode.h>

#include "engine/ImageHeader.h"

namespace quarrow::combiner {
namespace {

// Reads the header; on success the image must be finished or freed.
bool BeginTile(png_image& image, const std::string& bytes, int side) {
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        return false;
    if (image.width != static_cast<png_uint_32>(side) || image.height != static_cast<png_uint_32>(side)) {
        png_image_free(&image);
        return false;
    }
    return true;
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
              std::ptrdiff_t rowStride, int side) {
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
    bool fits = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK &&
                info.image_width == static_cast<JDIMENSION>(side) &&
                info.image_height == static_cast<JDIMENSION>(side);
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


struct WebpPixels {
    void operator()(std::uint8_t* pixels) const { WebPFree(pixels); }
};

// Its pixels with their opacity, laid over what the strip holds, as a PNG's are.
bool ReadWebp(const std::string& bytes, PixelOrder order, unsigned char* pixels,
              std::ptrdiff_t rowStride, int side) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    int width = 0, height = 0;
    if (!WebPGetInfo(data, bytes.size(), &width, &height) || width != side || height != side)
        return false;
    const std::unique_ptr<std::uint8_t, WebpPixels> rgba(
        WebPDecodeRGBA(data, bytes.size(), &width, &height));
    if (!rgba || width != side || height != side)
        return false;
    const int red = order == PixelOrder::Rgb ? 0 : 2, blue = 2 - red;
    for (int row = 0; row < side; ++row) {
        const std::uint8_t* from = rgba.get() + static_cast<std::ptrdiff_t>(row) * side * 4;
        unsigned char* to = pixels + rowStride * row;
        for (int column = 0; column < side; ++column, from += 4, to += PixelBytes) {
            const unsigned alpha = from[3];
            const auto over = [alpha](unsigned top, unsigned under) {
                return static_cast<unsigned char>((top * alpha + under * (255 - alpha) + 127) /
                                                  255);
            };
            to[red] = over(from[0], to[red]);
            to[1] = over(from[1], to[1]);
            to[blue] = over(from[2], to[blue]);
        }
    }
    return true;
}

} // namespace

std::string WebpAsPng(const std::string& bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    int width = 0, height = 0;
    const std::unique_ptr<std::uint8_t, WebpPixels> rgba(
        WebPDecodeRGBA(data, bytes.size(), &width, &height));
    if (!rgba)
        return {};
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba.get(), 0, nullptr))
        return {};
    std::string png(size, '\0');
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgba.get(), 0, nullptr))
        return {};
    png.resize(size);
    return png;
}

bool DecodeTile(const std::string& bytes, PixelOrder order, unsigned char* pixels,
                std::ptrdiff_t rowStride, int side) {
    if (rowStride > INT_MAX || rowStride < -INT_MAX)
        return false;
    // libpng's order: the buffer's first row is the picture's bottom one when the stride is
    // negative. The other decoders are given the top row's place and walk from it.
    unsigned char* top = rowStride < 0 ? pixels - rowStride * (side - 1) : pixels;
    const std::optional<TileFormat> format = ImageTileFormat(bytes);
    if (format == TileFormat::Jpeg)
        return ReadJpeg(bytes, order, top, rowStride, side);
    if (format == TileFormat::Webp)
        return ReadWebp(bytes, order, top, rowStride, side);
    png_image image;
    if (!BeginTile(image, bytes, side))
        return false;
    image.format = order == PixelOrder::Rgb ? PNG_FORMAT_RGB : PNG_FORMAT_BGR;
    // A null background composes transparent pixels over the buffer, which is white.
    return png_image_finish_read(&image, nullptr, pixels, static_cast<png_int_32>(rowStride),
                                 nullptr) != 0;
}

} // namespace quarrow::combiner
