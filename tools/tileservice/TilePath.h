// The tile request paths that the local tile service answers, and the map types they name.
#pragma once

#include <optional>
#include <string_view>

namespace quarrow::tileservice {

enum class MapKind { Normal, Satellite, Terrain };

struct TileRequest {
    MapKind Kind;
    int Z;
    int X;
    int Y;
    enum class Picture { Png, Jpeg, Webp };
    Picture Format = Picture::Png;
    int Side = 256; // 512 for a "@2x" tile of the XYZ form
    bool Changed = false; // the tile's newer picture (see ServiceOptions::ChangedEvery)

    // The file extension and the media type of the picture.
    std::string_view Extension() const;
    std::string_view MediaType() const;
};

// Deepest zoom level served; 2^22 columns still fit an int with room to spare.
inline constexpr int MaxZoom = 22;

// The tile named by a request target of the form
// /maptiler/v2/maptile/newest/{normal|satellite|terrain}.day/{z}/{x}/{y}/256/png8, or of the XYZ
// form /xyz/{normal|satellite|terrain}/{z}/{x}/{y}.{png|jpg|webp}, also in absolute form
// (http[s]://host:port/...). Numbers are plain decimal digits without leading zeros; z lies in
// 0..MaxZoom and x, y in 0..2^z-1. nullopt for anything else, a query included (but for the XYZ
// form, which ignores it).
std::optional<TileRequest> ParseTilePath(std::string_view target);

// The map type's name as written in the URL ("normal", "satellite", "terrain").
std::string_view MapKindName(MapKind kind);

} // namespace quarrow::tileservice
