// PNG: the signature, then IHDR as the first chunk (RFC 2083), and IEND as the last. JPEG: SOI,
// then marker segments up to the first frame header (SOFn), and EOI as the last two bytes. WebP
// (RFC 9649): a RIFF file whose size field counts every byte after it, its first chunk a lossy
// (VP8), lossless (VP8L) or extended (VP8X) header that gives the size.
#include "ImageHeader.h"

#include <cstdint>

namespace quarrow {

namespace {

constexpr std::string_view PngSignature = "\x89PNG\r\n\x1A\n";
// An empty IEND chunk: length 0, its type and its CRC.
constexpr std::string_view PngEnd{"\0\0\0\0IEND\xAE\x42\x60\x82", 12};

std::uint32_t Big32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

unsigned Big16(std::string_view bytes, std::size_t at) {
    return (static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) << 8) |
           static_cast<unsigned char>(bytes[at + 1]);
}

bool IsPng(std::string_view bytes) {
    return bytes.starts_with(PngSignature);
}

bool IsJpeg(std::string_view bytes) {
    return bytes.size() >= 3 && bytes.substr(0, 3) == "\xFF\xD8\xFF";
}

bool IsWebp(std::string_view bytes) {
    return bytes.size() >= 16 && bytes.substr(0, 4) == "RIFF" && bytes.substr(8, 4) == "WEBP";
}

std::uint32_t Little(std::string_view bytes, std::size_t at, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = count; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::optional<ImageSize> WebpSize(std::string_view bytes) {
    if (bytes.size() < 30)
        return std::nullopt;
    const std::string_view chunk = bytes.substr(12, 4);
    std::uint32_t width = 0, height = 0;
    if (chunk == "VP8 ") {
        // A key frame's tag, its start code, then 14 bits of each side (2 of scale).
        if ((static_cast<unsigned char>(bytes[20]) & 1) != 0 ||
            bytes.substr(23, 3) != "\x9D\x01\x2A")
            return std::nullopt;
        width = Little(bytes, 26, 2) & 0x3FFF;
        height = Little(bytes, 28, 2) & 0x3FFF;
    } else if (chunk == "VP8L") {
        if (static_cast<unsigned char>(bytes[20]) != 0x2F)
            return std::nullopt;
        const std::uint32_t packed = Little(bytes, 21, 4);
        width = (packed & 0x3FFF) + 1;
        height = ((packed >> 14) & 0x3FFF) + 1;
    } else if (chunk == "VP8X") {
        width = Little(bytes, 24, 3) + 1;
        height = Little(bytes, 27, 3) + 1;
    } else {
        return std::nullopt;
    }
    if (width == 0 || height == 0)
        return std::nullopt;
    return ImageSize{static_cast<int>(width), static_cast<int>(height)};
}

std::optional<ImageSize> PngSize(std::string_view bytes) {
    if (bytes.size() < 24 || Big32(bytes, 8) != 13 || bytes.substr(12, 4) != "IHDR")
        return std::nullopt;
    const std::uint32_t width = Big32(bytes, 16), height = Big32(bytes, 20);
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
        return std::nullopt;
    return ImageSize{static_cast<int>(width), static_cast<int>(height)};
}

bool IsFrameHeader(unsigned marker) {
    // SOF0..SOF15 but DHT (C4), JPG (C8) and DAC (CC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::optional<ImageSize> JpegSize(std::string_view bytes) {
    std::size_t at = 2; // past SOI
    for (;;) {
        if (at >= bytes.size() || static_cast<unsigned char>(bytes[at]) != 0xFF)
            return std::nullopt;
        while (at < bytes.size() && static_cast<unsigned char>(bytes[at]) == 0xFF)
            ++at; // fill bytes
        if (at >= bytes.size())
            return std::nullopt;
        const unsigned marker = static_cast<unsigned char>(bytes[at++]);
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01)
            continue; // no length of their own
        if (marker == 0xD9 || marker == 0xDA || at + 2 > bytes.size())
            return std::nullopt; // the picture's end or its data before any frame header
        const unsigned length = Big16(bytes, at);
        if (length < 2 || at + length > bytes.size())
            return std::nullopt;
        if (IsFrameHeader(marker)) {
            if (length < 7)
                return std::nullopt;
            const int height = static_cast<int>(Big16(bytes, at + 3));
            const int width = static_cast<int>(Big16(bytes, at + 5));
            if (width == 0 || height == 0)
                return std::nullopt;
            return ImageSize{width, height};
        }
        at += length;
    }
}

} // namespace

std::optional<ImageSize> ImageHeaderSize(std::string_view bytes) {
    if (IsPng(bytes))
        return PngSize(bytes);
    if (IsJpeg(bytes))
        return JpegSize(bytes);
    if (IsWebp(bytes))
        return WebpSize(bytes);
    return std::nullopt;
}

std::optional<std::string> TileImageFault(std::string_view bytes, std::string_view format,
                                          int side) {
    struct Kind {
        TileFormat Format;
        std::string_view Ends;
        bool (*Is)(std::string_view);
        std::optional<ImageSize> (*Size)(std::string_view);
        // Whether the bytes run to the end that the format gives them.
        bool (*Whole)(std::string_view);
    };
    static constexpr Kind Kinds[] = {
        {TileFormat::Png, "its IEND chunk", IsPng, PngSize,
         [](std::string_view b) { return b.ends_with(PngEnd); }},
        {TileFormat::Jpeg, "its end marker", IsJpeg, JpegSize,
         [](std::string_view b) { return b.ends_with("\xFF\xD9"); }},
        {TileFormat::Webp, "the size its RIFF header gives", IsWebp, WebpSize,
         [](std::string_view b) { return Little(b, 4, 4) + std::uint64_t{8} == b.size(); }},
    };
    const TileFormatRow* named = TileFormatNamed(format);
    const Kind* kind = &Kinds[0];
    for (const Kind& each : Kinds)
        if (named && each.Format == named->Format)
            kind = &each;
    const std::string_view name = RowOf(kind->Format).Name;
    if (!kind->Is(bytes))
        return std::string("not an image");
    const std::optional<ImageSize> size = kind->Size(bytes);
    if (!size)
        return "not an image: the " + std::string(name) + "'s header does not parse";
    if (size->Width > MaxTileImageSide || size->Height > MaxTileImageSide)
        return "not an image: larger than " + std::to_string(MaxTileImageSide) + " x " +
               std::to_string(MaxTileImageSide) + " pixels, no tile";
    if (!kind->Whole(bytes))
        return "not an image: the " + std::string(name) + " ends before " +
               std::string(kind->Ends);
    if (side > 0 && (size->Width != side || size->Height != side))
        return "not a tile of this source: not " + std::to_string(side) + " x " +
               std::to_string(side) + " pixels";
    return std::nullopt;
}

std::optional<TileFormat> ImageTileFormat(std::string_view bytes) {
    if (IsPng(bytes))
        return TileFormat::Png;
    if (IsJpeg(bytes))
        return TileFormat::Jpeg;
    if (IsWebp(bytes))
        return TileFormat::Webp;
    return std::nullopt;
}

std::string_view ImageFormatOf(std::string_view bytes) {
    const std::optional<TileFormat> format = ImageTileFormat(bytes);
    return format ? RowOf(*format).Extension : std::string_view();
}

bool HasImageSide(std::string_view bytes, int side) {
    const std::optional<ImageSize> size = ImageHeaderSize(bytes);
    return size && size->Width == side && size->Height == side;
}

} // namespace quarrow
