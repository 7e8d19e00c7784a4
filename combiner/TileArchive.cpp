#include "TileArchive.h"

#include "engine/NumberText.h"

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

} // namespace quarrow::combiner
