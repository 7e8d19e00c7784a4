// Where a task's tiles come from: the built-in tile service of the project's own URL scheme, or a
// custom source described by URL templates and the rules of its service.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "geo/GeoBounds.h"

namespace quarrow {

inline constexpr std::string_view BuiltInSourceName = "Quarrow tile service";

struct TileSource {
    std::string Name;
    // The URL template of each map type in the order of the radio group (Map view, Satellite,
    // Terrain); an empty one is a map type the source does not offer.
    std::array<std::string, 3> Templates;
    std::vector<std::string> Subdomains;
    std::string Format = "png"; // "png", "jpg" or "webp": the tiles' files and what an answer must be
    int TileSize = 256;         // pixels a side: 256, or 512 for "retina" tiles
    int MinZoom = 1;
    int MaxZoom = 18;
    std::optional<GeoBounds> Bounds;
    int Workers = 2;        // 1..8
    int TileDelayMs = 1000; // the wait after each saved tile
    int MinAgeDays = 0;     // an update asks for no tile again sooner after it was fetched
    std::string UserAgent;  // empty: DefaultUserAgent()
    std::string Referer;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Attribution;

    bool operator==(const TileSource&) const = default;
};

// The radio group's name of a map type (17 "Map view", 18 "Satellite", 19 "Terrain"); another
// number, from a project file made elsewhere, as "map type N".
std::string MapTypeName(int mapsType);

// "Quarrow/<version> (+<home page>)": who asks, and where to learn about it.
std::string DefaultUserAgent();

// The User-Agent that a custom source's requests carry.
std::string UserAgentOf(const TileSource& source);

// Why a URL template cannot be used, naming what is wrong, or nullopt. Templates may name
// {z} {x} {y} {zoom} {-y} {q} {s} {r} and {$z} {$x} {$y} {$q} {$serverpart}; they must name the
// tile's column, row and zoom (or its quadkey) and begin with http:// or https://.
std::optional<std::string> CheckTemplate(std::string_view urlTemplate, bool hasSubdomains);

// Why a source cannot be used (its name, each template, format, zooms, workers, wait, headers),
// or nullopt.
std::optional<std::string> CheckSource(const TileSource& source);

// The URL of a tile. One tile always gets the same subdomain ((x + y) mod their count), so that
// caches hit. The template is one that CheckTemplate accepts.
std::string ExpandTemplate(std::string_view urlTemplate, int z, int x, int y,
                           const std::vector<std::string>& subdomains);

// The tile's quadkey: one digit per zoom level, from the top.
std::string Quadkey(int z, int x, int y);

// Why the service's terms forbid downloading from it with Quarrow, or nullopt. The one list of
// such services.
std::optional<std::string> RefusedService(const TileSource& source);

} // namespace quarrow
