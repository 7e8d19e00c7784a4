// What GIS programs need beside an image to place it: the world file and the projection file of
// Web Mercator (EPSG:3857).
#pragma once

#include <string>
#include <vector>

namespace quarrow::combiner {

// Where an image whose top-left tile is (minX, minY) at the zoom level lies in Web Mercator: the
// size of a pixel and the west and north edges of its top-left pixel, in metres.
struct MercatorPlacement {
    double PixelSize;
    double West;
    double North;
};
MercatorPlacement PlacementOf(int minX, int minY, int zoom);

// The six lines of a world file for an image whose top-left tile is (minX, minY) at the zoom
// level: pixel width, two rotations (0), negative pixel height, and the easting and northing of
// the top-left pixel's centre, in metres.
std::vector<std::string> WorldFileLines(int minX, int minY, int zoom);

// The well-known text of EPSG:3857, as one line.
const std::string& WebMercatorWkt();

// The world file's name for an image: its extension's first and last letters and "w"
// in small letters (".bmp" -> ".bpw", ".PNG" -> ".pgw"); the projection file's is the image's with
// ".prj".
std::string WorldFileName(const std::string& image);
std::string ProjectionFileName(const std::string& image);

} // namespace quarrow::combiner
