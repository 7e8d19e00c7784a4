// The shape's own file is written and read here; the files users bring (GPX, KML, GeoJSON) are
// turned into shapes by the area file readers.
#include "AreaShape.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>

#include "base/Exception.h"
#include "base/Json.h"
#include "base/NumberText.h"

namespace quarrow {

namespace {

constexpr double LatitudeLimit = 85;
constexpr double KmPerDegree = 111.32; // along a meridian, and along the equator

std::string Number(double value) {
    return GeneralNumberText(value, '.');
}

// A degree value in the shortest digits that read back as the same number, written in place: a
// track has tens of thousands. Values with at most seven decimals, as GPS units write them, are
// written from their integer ten-millionths, many times faster than the general form; the
// division is rounded as reading the digits back is, so the test below proves the round trip.
char* AppendDegrees(char* at, double value) {
    constexpr double Scale = 1e7;
    if (std::abs(value) <= 1000) {
        const long long scaled = std::llround(value * Scale);
        if (static_cast<double>(scaled) / Scale == value) {
            if (scaled < 0)
                *at++ = '-';
            const unsigned long long magnitude =
                scaled < 0 ? 0ULL - static_cast<unsigned long long>(scaled)
                           : static_cast<unsigned long long>(scaled);
            at = std::to_chars(at, at + 8, magnitude / 10000000).ptr;
            unsigned long long fraction = magnitude % 10000000;
            if (fraction != 0) {
                int digits = 7;
                while (fraction % 10 == 0) {
                    fraction /= 10;
                    --digits;
                }
                *at++ = '.';
                for (int i = digits - 1; i >= 0; --i) {
                    at[i] = static_cast<char>('0' + fraction % 10);
                    fraction /= 10;
                }
                at += digits;
            }
            return at;
        }
    }
    return std::to_chars(at, at + 30, value).ptr;
}

// "[lon,lat]" at the cursor, which has room for it.
char* WritePoint(char* at, const GeoPoint& point) {
    *at++ = '[';
    at = AppendDegrees(at, point.Lon);
    *at++ = ',';
    at = AppendDegrees(at, point.Lat);
    *at++ = ']';
    return at;
}

// The points as a JSON array, written straight into the text's own buffer: a track has tens of
// thousands.
void AppendPoints(std::string& text, const std::vector<GeoPoint>& points, bool close) {
    constexpr std::size_t MostPerPoint = 2 * 32 + 4; // two numbers, brackets and commas
    const std::size_t start = text.size();
    text.resize(start + (points.size() + 1) * MostPerPoint + 2);
    char* at = text.data() + start;
    *at++ = '[';
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i > 0)
            *at++ = ',';
        at = WritePoint(at, points[i]);
    }
    // Always closed, also a ring that ends where it began already: reading takes one closing
    // point off, so the ring reads back as it was.
    if (close && !points.empty()) {
        *at++ = ',';
        at = WritePoint(at, points.front());
    }
    *at++ = ']';
    text.resize(static_cast<std::size_t>(at - text.data()));
}

std::vector<GeoPoint> ReadPoints(const JsonValue& value, const char* what) {
    std::vector<GeoPoint> points;
    for (const JsonValue& position : value.Array()) {
        const JsonArray& numbers = position.Array();
        if (numbers.size() < 2 || !numbers[0].IsNumber() || !numbers[1].IsNumber())
            throw Exception(std::string("a ") + what + " position is not [longitude, latitude]");
        points.push_back({numbers[0].Number(), numbers[1].Number()});
    }
    return points;
}

GeoRing ReadRing(const JsonValue& value) {
    GeoRing ring = ReadPoints(value, "Polygon");
    // A closed ring repeats its first point; the shape keeps it once.
    if (ring.size() > 1 && ring.front() == ring.back())
        ring.pop_back();
    return ring;
}

GeoPolygon ReadPolygon(const JsonValue& rings) {
    GeoPolygon polygon;
    for (const JsonValue& ring : rings.Array())
        polygon.push_back(ReadRing(ring));
    return polygon;
}

void ReadGeometry(const JsonValue& geometry, AreaShape& shape, double corridorKm) {
    const JsonValue* type = geometry.Find("type");
    const std::string kind = type ? type->String() : std::string();
    const JsonValue* coordinates = geometry.Find("coordinates");
    static const JsonValue None;
    const JsonValue& at = coordinates ? *coordinates : None;
    if (kind == "Polygon") {
        shape.Polygons.push_back(ReadPolygon(at));
    } else if (kind == "MultiPolygon") {
        for (const JsonValue& polygon : at.Array())
            shape.Polygons.push_back(ReadPolygon(polygon));
    } else if (kind == "LineString") {
        shape.Lines.push_back(ReadPoints(at, "LineString"));
        shape.CorridorKm = corridorKm;
    } else if (kind == "MultiLineString") {
        for (const JsonValue& line : at.Array())
            shape.Lines.push_back(ReadPoints(line, "MultiLineString"));
        shape.CorridorKm = corridorKm;
    } else if (kind == "GeometryCollection") {
        if (const JsonValue* geometries = geometry.Find("geometries"))
            for (const JsonValue& part : geometries->Array())
                ReadGeometry(part, shape, corridorKm);
    }
}

void ReadFeature(const JsonValue& feature, AreaShape& shape, double corridorKm) {
    if (const JsonValue* properties = feature.Find("properties"))
        if (const JsonValue* corridor = properties->Find("corridor_km");
            corridor && corridor->IsNumber() && corridor->Number() > 0)
            corridorKm = corridor->Number();
    if (const JsonValue* geometry = feature.Find("geometry"))
        ReadGeometry(*geometry, shape, corridorKm);
}

} // namespace

std::optional<std::string> CheckShape(const AreaShape& shape) {
    if (shape.Empty())
        return std::string("It holds no polygon and no line.");
    if (!shape.Lines.empty() && !(shape.CorridorKm > 0 && shape.CorridorKm <= 100))
        return std::string("The corridor must be more than 0 and at most 100 km on each side.");
    const auto checkPoints = [](const std::vector<GeoPoint>& points,
                                bool closed) -> std::optional<std::string> {
        for (std::size_t i = 0; i < points.size(); ++i) {
            const GeoPoint& p = points[i];
            if (!(p.Lon >= -180 && p.Lon <= 180 && p.Lat >= -LatitudeLimit &&
                  p.Lat <= LatitudeLimit))
                return "The point " + Number(p.Lon) + ", " + Number(p.Lat) +
                       " lies beyond the map (longitudes -180 to 180, latitudes -85 to 85).";
            const GeoPoint& next = points[(i + 1) % points.size()];
            if ((i + 1 < points.size() || closed) && std::abs(next.Lon - p.Lon) > 180)
                return std::string("It crosses the antimeridian (longitude 180), which a task "
                                   "cannot: split it in two at 180.");
        }
        return std::nullopt;
    };
    for (const GeoPolygon& polygon : shape.Polygons) {
        if (polygon.empty() || polygon.front().size() < 3)
            return std::string("A polygon has fewer than three corners.");
        for (const GeoRing& ring : polygon)
            if (auto fault = checkPoints(ring, true))
                return fault;
    }
    for (const GeoLine& line : shape.Lines) {
        if (line.size() < 2)
            return std::string("A line has fewer than two points.");
        if (auto fault = checkPoints(line, false))
            return fault;
    }
    return std::nullopt;
}

GeoBounds ShapeBounds(const AreaShape& shape) {
    GeoBounds bounds{180, 85, -180, -85};
    const auto take = [&bounds](const GeoPoint& p, double padKm) {
        // The corridor in degrees where it is widest in longitude: nearer the pole.
        const double latPad = padKm / KmPerDegree;
        const double cosine =
            std::cos(std::min(89.0, std::abs(p.Lat) + latPad) * std::numbers::pi / 180);
        const double lonPad = padKm / (KmPerDegree * cosine);
        bounds.West = std::min(bounds.West, p.Lon - lonPad);
        bounds.East = std::max(bounds.East, p.Lon + lonPad);
        bounds.South = std::min(bounds.South, p.Lat - latPad);
        bounds.North = std::max(bounds.North, p.Lat + latPad);
    };
    for (const GeoPolygon& polygon : shape.Polygons)
        for (const GeoPoint& p : polygon.empty() ? GeoRing() : polygon.front())
            take(p, 0);
    for (const GeoLine& line : shape.Lines)
        for (const GeoPoint& p : line)
            take(p, shape.CorridorKm);
    bounds.West = std::clamp(bounds.West, -180.0, 180.0);
    bounds.East = std::clamp(bounds.East, -180.0, 180.0);
    bounds.South = std::clamp(bounds.South, -LatitudeLimit, LatitudeLimit);
    bounds.North = std::clamp(bounds.North, -LatitudeLimit, LatitudeLimit);
    return bounds;
}

std::string ShapeGeoJson(const AreaShape& shape) {
    std::string text = "{\"type\":\"FeatureCollection\",\"features\":[";
    std::size_t points = 0;
    for (const GeoPolygon& polygon : shape.Polygons)
        for (const GeoRing& ring : polygon)
            points += ring.size() + 1;
    for (const GeoLine& line : shape.Lines)
        points += line.size();
    text.reserve(200 + points * 24);
    bool first = true;
    if (!shape.Polygons.empty()) {
        text += "{\"type\":\"Feature\",\"properties\":{},\"geometry\":{\"type\":\"MultiPolygon\","
                "\"coordinates\":[";
        for (std::size_t p = 0; p < shape.Polygons.size(); ++p) {
            text += p ? ",[" : "[";
            for (std::size_t r = 0; r < shape.Polygons[p].size(); ++r) {
                if (r > 0)
                    text += ',';
                AppendPoints(text, shape.Polygons[p][r], true);
            }
            text += "]";
        }
        text += "]}}";
        first = false;
    }
    if (!shape.Lines.empty()) {
        text += std::string(first ? "" : ",") + "{\"type\":\"Feature\",\"properties\":{" +
                "\"corridor_km\":" + RoundTripText(shape.CorridorKm) +
                "},\"geometry\":{\"type\":\"MultiLineString\",\"coordinates\":[";
        for (std::size_t l = 0; l < shape.Lines.size(); ++l) {
            if (l > 0)
                text += ',';
            AppendPoints(text, shape.Lines[l], false);
        }
        text += "]}}";
    }
    return text + "]}\n";
}

AreaShape ShapeFromGeoJson(const std::string& text, double corridorKm) {
    const JsonParse parsed = ParseJson(text);
    if (!parsed.Value)
        throw Exception("it is no JSON: " + parsed.Error);
    const JsonValue& root = *parsed.Value;
    const JsonValue* type = root.Find("type");
    if (!type || !type->IsString())
        throw Exception("it is no GeoJSON: it has no \"type\"");
    AreaShape shape;
    shape.CorridorKm = corridorKm;
    if (type->String() == "FeatureCollection") {
        if (const JsonValue* features = root.Find("features"))
            for (const JsonValue& feature : features->Array())
                ReadFeature(feature, shape, corridorKm);
    } else if (type->String() == "Feature") {
        ReadFeature(root, shape, corridorKm);
    } else {
        ReadGeometry(root, shape, corridorKm);
    }
    if (shape.Empty())
        throw Exception("it holds no Polygon, MultiPolygon, LineString or MultiLineString");
    return shape;
}

} // namespace quarrow
