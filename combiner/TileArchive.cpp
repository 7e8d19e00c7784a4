#include "TileArchive.h"

#include "base/Json.h"
#include "base/NumberText.h"

namespace quarrow::combiner {

std::string ArchiveInfo::BoundsText(std::string_view separator) const {
    std::string text = RoundTripText(West);
    for (const double value : {South, East, North})
        text.append(separator).append(RoundTripText(value));
    return text;
}

std::string ArchiveInfo::CenterText(std::string_view separator) const {
    return RoundTripText(CenterLon()) + std::string(separator) + RoundTripText(CenterLat()) +
           std::string(separator) + std::to_string(MinZoom);
}

std::vector<std::string> TileJsonLines(const ArchiveInfo& info, const std::string& tiles) {
    return {"{", "  \"tilejson\": \"3.0.0\",", "  \"name\": " + JsonString(info.Name) + ",",
            "  \"tiles\": [" + JsonString(tiles) + "],", "  \"scheme\": \"xyz\",",
            "  \"minzoom\": " + std::to_string(info.MinZoom) + ",",
            "  \"maxzoom\": " + std::to_string(info.MaxZoom) + ",",
            "  \"bounds\": [" + info.BoundsText(", ") + "],",
            // The size of the tiles, which a web map needs to place 512-pixel ones.
            "  \"tileSize\": " + std::to_string(info.TileSize) + ",",
            "  \"attribution\": " + JsonString(info.Attribution), "}"};
}

} // namespace quarrow::combiner
