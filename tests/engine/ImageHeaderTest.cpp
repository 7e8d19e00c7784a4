// A downloaded tile judged by its header and its end, never decoded: what passes, and the pages,
// cut files and picture bombs that do not, with the reason each gives.
#include "engine/ImageHeader.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::TilePng;

std::string Jpeg(int width, int height, bool end = true) {
    const auto big16 = [](int v) {
        return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
    };
    // SOI, an APP0 segment, a baseline frame header (SOF0) of one component, then EOI.
    std::string bytes =
        "\xFF\xD8\xFF\xE0" + big16(16) + std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14);
    bytes += "\xFF\xC0" + big16(11) + "\x08" + big16(height) + big16(width) +
             std::string("\x01\x01\x11\x00", 4);
    return bytes + (end ? "\xFF\xD9" : "");
}

std::string Little(std::uint32_t value, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; ++i, value >>= 8)
        text += static_cast<char>(value & 0xFF);
    return text;
}

// A RIFF file whose first chunk is a lossy, lossless or extended header of that size.
std::string Webp(const std::string& chunk, std::uint32_t width, std::uint32_t height) {
    std::string header;
    if (chunk == "VP8 ")
        header = std::string("\x10\x02\x00\x9D\x01\x2A", 6) + Little(width, 2) + Little(height, 2);
    else if (chunk == "VP8L")
        header = "\x2F" + Little((width - 1) | (height - 1) << 14, 4);
    else
        header = std::string(4, '\0') + Little(width - 1, 3) + Little(height - 1, 3);
    header += std::string(16, '\x55'); // the picture's data
    const std::string body =
        "WEBP" + chunk + Little(static_cast<std::uint32_t>(header.size()), 4) + header;
    return "RIFF" + Little(static_cast<std::uint32_t>(body.size()), 4) + body;
}

TEST(ImageHeader, ATileIsWholeAndOfATilesSizeOrItIsNoImage) {
    const std::string png = TilePng("tile");
    // clang-format off
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        // name                bytes                                 format  fault
        {"png tile",           png,                                  "png", ""},
        {"jpeg tile",          Jpeg(256, 256),                       "jpg", ""},
        {"512 png",            TilePng("retina", 512),               "png", ""},
        {"html page",          "<html>no tile</html>",               "png", "not an image"},
        {"png as jpg",         png,                                  "jpg", "not an image"},
        {"cut png",            png.substr(0, png.size() - 5),        "png",
                               "not an image: the PNG ends before its IEND chunk"},
        {"png bomb",           TilePng("bomb", 20000),               "png",
                               "not an image: larger than 4096 x 4096 pixels, no tile"},
        {"png without IHDR",   png.substr(0, 12) + "IDAT" + png.substr(16), "png",
                               "not an image: the PNG's header does not parse"},
        {"jpeg without end",   Jpeg(256, 256, false),                "jpg",
                               "not an image: the JPEG ends before its end marker"},
        {"jpeg bomb",          Jpeg(65000, 65000),                   "jpg",
                               "not an image: larger than 4096 x 4096 pixels, no tile"},
        {"jpeg without frame", "\xFF\xD8\xFF\xDA\x00\x02\xFF\xD9",   "jpg",
                               "not an image: the JPEG's header does not parse"},
        {"lossy webp",         Webp("VP8 ", 256, 256),               "webp", ""},
        {"lossless webp",      Webp("VP8L", 512, 512),               "webp", ""},
        {"extended webp",      Webp("VP8X", 256, 256),               "webp", ""},
        {"png as webp",        png,                                  "webp", "not an image"},
        {"cut webp",           Webp("VP8 ", 256, 256).substr(0, 40), "webp",
                               "not an image: the WebP ends before the size its RIFF header gives"},
        {"webp bomb",          Webp("VP8X", 16000, 16000),           "webp",
                               "not an image: larger than 4096 x 4096 pixels, no tile"},
        {"webp of no header",  Webp("VP8Q", 256, 256),               "webp",
                               "not an image: the WebP's header does not parse"},
    };
    // clang-format on
    for (const auto& [name, bytes, format, fault] : cases)
        EXPECT_EQ(fault, TileImageFault(bytes, format).value_or("")) << name;

    // The blank images Quarrow ships pass as what they are.
    EXPECT_EQ((ImageSize{256, 256}), ImageHeaderSize(ReadFileBytes(BLANK_PNG_PATH)));
    EXPECT_EQ((ImageSize{256, 256}), ImageHeaderSize(ReadFileBytes(BLANK_JPEG_PATH)));
    EXPECT_FALSE(TileImageFault(ReadFileBytes(BLANK_JPEG_PATH), "jpg"));
    EXPECT_FALSE(TileImageFault(ReadFileBytes(BLANK_WEBP_PATH), "webp"));
    EXPECT_EQ((ImageSize{256, 256}), ImageHeaderSize(ReadFileBytes(BLANK_WEBP_PATH)));
    EXPECT_EQ((ImageSize{300, 200}), ImageHeaderSize(Webp("VP8 ", 300, 200)));
    // A source of 512-pixel tiles takes those only, and says so without the size it got.
    EXPECT_EQ("not a tile of this source: not 512 x 512 pixels",
              TileImageFault(Webp("VP8L", 400, 400), "webp", 512).value_or(""));
    EXPECT_FALSE(TileImageFault(Webp("VP8L", 512, 512), "webp", 512));
    EXPECT_TRUE(HasImageSide(Jpeg(256, 256), 256));
    EXPECT_FALSE(HasImageSide(TilePng("retina", 512), 256));
}

} // namespace
} // namespace quarrow
