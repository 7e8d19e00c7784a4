// A PMTiles archive's directory as the local tile server reads it from a file it serves: plain
// and gzip-compressed, every varint within the bytes, and what decodes writes back the same.
#include <optional>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "archive/PMTilesDirectory.h"

using namespace quarrow::archive;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const bool gzip : {false, true}) {
        const std::optional<std::vector<PMTilesEntry>> entries = DecodeDirectory(bytes, gzip);
        if (!entries)
            continue;
        for (std::size_t i = 1; i < entries->size(); ++i)
            quarrow::fuzz::Check((*entries)[i].Id >= (*entries)[i - 1].Id, "ids only rise");
        const auto again = DecodeDirectory(EncodeDirectory(*entries), true);
        quarrow::fuzz::Check(again && *again == *entries, "a directory reads back as written");
    }
    return 0;
}
