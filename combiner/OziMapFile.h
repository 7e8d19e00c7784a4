// An OziExplorer map file (.map) beside the mosaic's image: the image's name and size, the
// Mercator projection on WGS 84, and the four corners as calibration points (and again as the
// moving map's MMPLL corners), so that OziExplorer, OruxMaps' map creator and GDAL place it.
#pragma once

#include <string>
#include <vector>

namespace quarrow::combiner {

// The .map's name beside an image: "maps/city.png" -> "maps/city.map".
std::string OziMapFileName(const std::string& image);

// The lines of the map file of an image of width x height pixels whose top-left tile is
// (minX, minY) at the zoom level; title names the map.
std::vector<std::string> OziMapLines(const std::string& title, const std::string& image,
                                     long long width, long long height, int minX, int minY,
                                     int zoom);

} // namespace quarrow::combiner
