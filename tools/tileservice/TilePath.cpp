// Reading a tile request target: map type, zoom level, column and row.
#include "TilePath.h"

#include <array>
#include <utility>

#include "base/TextRules.h"

namespace quarrow::tileservice {
namespace {

constexpr std::string_view Prefix = "/maptiler/v2/maptile/newest/";
constexpr std::string_view Tail = "/256/png8";
constexpr std::string_view XyzPrefix = "/xyz/";

constexpr std::array<std::pair<std::string_view, MapKind>, 3> Kinds{{
    {"normal.day/", MapKind::Normal},
    {"satellite.day/", MapKind::Satellite},
    {"terrain.day/", MapKind::Terrain},
}};

// A plain decimal number: one spelling per tile, so no sign, no blanks and no leading zeros; at
// most 7 digits, which is above any valid column yet far from overflowing.
std::optional<int> ReadNumber(std::string_view text) {
    if (text.empty() || text.size() > 7 || (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// Splits off the text up to the next "/" and consumes that "/" too.
std::string_view TakeSegment(std::string_view& rest) {
    const std::size_t slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    return segment;
}

} // namespace

std::string_view MapKindName(MapKind kind) {
    switch (kind) {
    case MapKind::Normal:
        return "normal";
    case MapKind::Satellite:
        return "satellite";
    case MapKind::Terrain:
        return "terrain";
    }
    return "normal";
}

// The tile of the numbers, when they name one at its zoom level.
std::optional<TileRequest> Tile(MapKind kind, std::optional<int> z, std::optional<int> x,
                                std::optional<int> y,
                                TileRequest::Picture format = TileRequest::Picture::Png) {
    if (!z || !x || !y || *z > MaxZoom) {
        return std::nullopt;
    }
    const int size = 1 << *z;
    if (*x >= size || *y >= size) {
        return std::nullopt;
    }
    return TileRequest{kind, *z, *x, *y, format};
}

// /xyz/{kind}/{z}/{x}/{y}.{png|jpg|webp}, a query ignored (as templates name subdomains or keys
// there).
std::optional<TileRequest> ParseXyzPath(std::string_view rest) {
    rest = rest.substr(0, rest.find('?'));
    const std::string_view kindName = TakeSegment(rest);
    std::optional<MapKind> kind;
    for (const MapKind candidate : {MapKind::Normal, MapKind::Satellite, MapKind::Terrain}) {
        if (MapKindName(candidate) == kindName) {
            kind = candidate;
        }
    }
    if (!kind)
        return std::nullopt;
    std::optional<TileRequest::Picture> format;
    for (const auto picture :
         {TileRequest::Picture::Png, TileRequest::Picture::Jpeg, TileRequest::Picture::Webp}) {
        const std::string ending = "." + std::string(TileRequest{{}, 0, 0, 0, picture}.Extension());
        if (rest.ends_with(ending)) {
            format = picture;
            rest.remove_suffix(ending.size());
        }
    }
    if (!format)
        return std::nullopt;
    const bool retina = rest.ends_with("@2x");
    if (retina)
        rest.remove_suffix(3);
    const std::optional<int> z = ReadNumber(TakeSegment(rest));
    const std::optional<int> x = ReadNumber(TakeSegment(rest));
    std::optional<TileRequest> tile = Tile(*kind, z, x, ReadNumber(rest), *format);
    if (tile && retina)
        tile->Side = 512;
    return tile;
}

std::string_view TileRequest::Extension() const {
    return Format == Picture::Jpeg ? "jpg" : Format == Picture::Webp ? "webp" : "png";
}

std::string_view TileRequest::MediaType() const {
    return Format == Picture::Jpeg   ? "image/jpeg"
           : Format == Picture::Webp ? "image/webp"
                                     : "image/png";
}

std::optional<TileRequest> ParseTilePath(std::string_view target) {
    // A server must accept the absolute form too, which is what a client sends to a proxy.
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (StartsWithNoCase(target, scheme)) {
            target.remove_prefix(scheme.size());
            const std::size_t slash = target.find('/');
            if (slash == std::string_view::npos) {
                return std::nullopt;
            }
            target.remove_prefix(slash);
        }
    }
    if (target.starts_with(XyzPrefix)) {
        return ParseXyzPath(target.substr(XyzPrefix.size()));
    }
    if (!target.starts_with(Prefix)) {
        return std::nullopt;
    }
    std::string_view rest = target.substr(Prefix.size());
    std::optional<MapKind> kind;
    for (const auto& [name, value] : Kinds) {
        if (rest.starts_with(name)) {
            kind = value;
            rest.remove_prefix(name.size());
            break;
        }
    }
    if (!kind) {
        return std::nullopt;
    }
    if (!rest.ends_with(Tail)) {
        return std::nullopt;
    }
    rest.remove_suffix(Tail.size());
    const std::optional<int> z = ReadNumber(TakeSegment(rest));
    const std::optional<int> x = ReadNumber(TakeSegment(rest));
    return Tile(*kind, z, x, ReadNumber(rest));
}

} // namespace quarrow::tileservice
