// An area that is not a rectangle: polygons with holes, and lines (tracks, routes) that become a
// corridor of a width around them. Its own file beside a task is GeoJSON.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "GeoBounds.h"

namespace quarrow {

struct GeoPoint {
    double Lon = 0;
    double Lat = 0;
    bool operator==(const GeoPoint&) const = default;
};

using GeoRing = std::vector<GeoPoint>;   // closed: the last point joins the first
using GeoPolygon = std::vector<GeoRing>; // the outer boundary first, then its holes
using GeoLine = std::vector<GeoPoint>;

struct AreaShape {
    std::vector<GeoPolygon> Polygons;
    std::vector<GeoLine> Lines;
    double CorridorKm = 2; // on each side of the lines
    // The zoom level whose tenth of a pixel the points were thinned to (ShapeSimplifier.h); 0
    // while they are as read. No part of the shape's equality.
    int SimplifiedAt = 0;

    bool Empty() const { return Polygons.empty() && Lines.empty(); }
    bool operator==(const AreaShape& other) const {
        return Polygons == other.Polygons && Lines == other.Lines &&
               CorridorKm == other.CorridorKm;
    }
};

// The default corridor on each side of a track.
inline constexpr double DefaultCorridorKm = 2;

// Why the shape cannot be a task's area (no points, a point beyond the map's latitudes or
// longitudes, a part that crosses the antimeridian), or nullopt.
std::optional<std::string> CheckShape(const AreaShape& shape);

// The smallest rectangle that holds the shape and, for lines, their corridor: west, south, east,
// north in degrees, within -180..180 and -85..85.
GeoBounds ShapeBounds(const AreaShape& shape);

// The shape as a GeoJSON FeatureCollection: a MultiPolygon and a MultiLineString feature, the
// corridor as the lines' property "corridor_km"; numbers in their shortest round-trip form.
std::string ShapeGeoJson(const AreaShape& shape);

// The shape of GeoJSON text: Polygon, MultiPolygon, LineString and MultiLineString, as a
// geometry, a Feature or a FeatureCollection (the lines' "corridor_km" read when present, else
// corridorKm). Throws an Exception that says what is wrong or missing.
AreaShape ShapeFromGeoJson(const std::string& text, double corridorKm = DefaultCorridorKm);

} // namespace quarrow
