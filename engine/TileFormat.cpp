#include "TileFormat.h"

#include "base/TextRules.h"

namespace quarrow {
namespace {

// clang-format off
constexpr TileFormatRow Rows[] = {
    //  format             extension mime          pmtiles name
    {TileFormat::Png,  "png",  "image/png",  2, "PNG"},
    {TileFormat::Jpeg, "jpg",  "image/jpeg", 3, "JPEG"},
    {TileFormat::Webp, "webp", "image/webp", 4, "WebP"},
};
// clang-format on

} // namespace

std::span<const TileFormatRow> TileFormats() {
    return Rows;
}

const TileFormatRow& RowOf(TileFormat format) {
    for (const TileFormatRow& row : Rows)
        if (row.Format == format)
            return row;
    return Rows[0];
}

const TileFormatRow* TileFormatNamed(std::string_view name) {
    if (EqualsNoCase(name, "jpeg"))
        return &RowOf(TileFormat::Jpeg);
    for (const TileFormatRow& row : Rows)
        if (EqualsNoCase(name, row.Extension))
            return &row;
    return nullptr;
}

const TileFormatRow* TileFormatOfPMTilesType(int type) {
    for (const TileFormatRow& row : Rows)
        if (row.PMTilesType == type)
            return &row;
    return nullptr;
}

} // namespace quarrow
