// A tile's format, one row a format: everything that tells one format from another is read here,
// so a new format is one row.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace quarrow {

enum class TileFormat { Png, Jpeg, Webp };

struct TileFormatRow {
    TileFormat Format;
    std::string_view Extension; // the tiles' files, a source's Format=, MBTiles' "format"
    std::string_view Mime;
    int PMTilesType;            // the PMTiles header's tile type
    std::string_view Name;      // in messages: "the PNG's header"
};

std::span<const TileFormatRow> TileFormats();
const TileFormatRow& RowOf(TileFormat format);
// By a name a file, a source or an archive gives it ("png", "JPG", "jpeg", "webp"), or none.
const TileFormatRow* TileFormatNamed(std::string_view name);
const TileFormatRow* TileFormatOfPMTilesType(int type);

} // namespace quarrow
