// A service's answer judged as a tile of each format before anything keeps it: the header read
// within the bytes, and a size given only for a picture that the check then passes or refuses.
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "engine/ImageHeader.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<ImageSize> header = ImageHeaderSize(bytes);
    if (header)
        fuzz::Check(header->Width > 0 && header->Height > 0, "a picture has pixels");
    for (const std::string_view format : {"png", "jpg", "webp"}) {
        for (const int side : {0, 512}) {
            const std::optional<std::string> fault = TileImageFault(bytes, format, side);
            fuzz::Check(fault || header, "a whole tile has a size");
            fuzz::Check(!fault || fault->starts_with("not a"), "each reason says what it is");
            fuzz::Check(fault || side == 0 || (header->Width == side && header->Height == side),
                        "a tile of the source is of its side");
        }
    }
    return 0;
}
