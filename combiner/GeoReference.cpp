// Web Mercator metres are linear in tile numbers: the world is 2 pi R wide, R the sphere's radius
// of EPSG:3857, with its origin at the grid's centre.
#include "GeoReference.h"

#include <charconv>
#include <cmath>
#include <numbers>

#include "base/TextRules.h"

namespace quarrow::combiner {
namespace {

constexpr double EarthRadius = 6378137.0;

std::string Fixed(double value) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 10);
    return std::string(buffer, result.ptr);
}

// Extension with its dot, or "" when the file name has none.
std::size_t ExtensionStart(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path.size();
    return dot;
}

} // namespace

MercatorPlacement PlacementOf(int minX, int minY, int zoom) {
    const double world = 2 * std::numbers::pi * EarthRadius;
    const double pixel = world / (256.0 * std::ldexp(1.0, zoom));
    return {pixel, -world / 2 + minX * 256.0 * pixel, world / 2 - minY * 256.0 * pixel};
}

std::vector<std::string> WorldFileLines(int minX, int minY, int zoom) {
    const auto [pixel, west, north] = PlacementOf(minX, minY, zoom);
    return {Fixed(pixel),
            Fixed(0),
            Fixed(0),
            Fixed(-pixel),
            Fixed(west + pixel / 2),
            Fixed(north - pixel / 2)};
}

const std::string& WebMercatorWkt() {
    static const std::string wkt =
        "PROJCS[\"WGS 84 / Pseudo-Mercator\",GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\","
        "SPHEROID[\"WGS 84\",6378137,298.257223563,AUTHORITY[\"EPSG\",\"7030\"]],"
        "AUTHORITY[\"EPSG\",\"6326\"]],PRIMEM[\"Greenwich\",0,AUTHORITY[\"EPSG\",\"8901\"]],"
        "UNIT[\"degree\",0.0174532925199433,AUTHORITY[\"EPSG\",\"9122\"]],"
        "AUTHORITY[\"EPSG\",\"4326\"]],PROJECTION[\"Mercator_1SP\"],"
        "PARAMETER[\"central_meridian\",0],PARAMETER[\"scale_factor\",1],"
        "PARAMETER[\"false_easting\",0],PARAMETER[\"false_northing\",0],"
        "UNIT[\"metre\",1,AUTHORITY[\"EPSG\",\"9001\"]],AXIS[\"Easting\",EAST],"
        "AXIS[\"Northing\",NORTH],EXTENSION[\"PROJ4\",\"+proj=merc +a=6378137 +b=6378137 "
        "+lat_ts=0 +lon_0=0 +x_0=0 +y_0=0 +k=1 +units=m +nadgrids=@null +wktext +no_defs\"],"
        "AUTHORITY[\"EPSG\",\"3857\"]]";
    return wkt;
}

std::string WorldFileName(const std::string& image) {
    const std::size_t start = ExtensionStart(image);
    const std::string extension = image.substr(start);
    if (extension.size() < 3)
        return image + ".wld";
    return image.substr(0, start) + "." + LowerAscii(extension[1]) + LowerAscii(extension.back()) +
           "w";
}

std::string ProjectionFileName(const std::string& image) {
    return image.substr(0, ExtensionStart(image)) + ".prj";
}

} // namespace quarrow::combiner
