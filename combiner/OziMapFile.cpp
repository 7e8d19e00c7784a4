// Version 2.2 of the format, as OziExplorer writes it; lines end in CR LF. A calibration point
// gives a pixel and its latitude and longitude in degrees and decimal minutes.
#include "OziMapFile.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "GeoReference.h"
#include "geo/Commonfunc.h"
#include "base/TextRules.h"

namespace quarrow::combiner {

namespace {

// "Point01,xy,    0,    0,in, deg,  39, 54.6000,N, 116, 22.2000,E, grid,   ,           ,
// ,N"
std::string Point(int number, long long x, long long y, double lat, double lon) {
    const double latAbs = std::fabs(lat), lonAbs = std::fabs(lon);
    const int latDegrees = static_cast<int>(latAbs), lonDegrees = static_cast<int>(lonAbs);
    char line[160];
    std::snprintf(line, sizeof line,
                  "Point%02d,xy,%5lld,%5lld,in, deg,%4d,%8.4f,%c,%4d,%8.4f,%c, grid,   ,"
                  "           ,           ,N",
                  number, x, y, latDegrees, (latAbs - latDegrees) * 60, lat < 0 ? 'S' : 'N',
                  lonDegrees, (lonAbs - lonDegrees) * 60, lon < 0 ? 'W' : 'E');
    return line;
}

std::string Empty(int number) {
    char line[120];
    std::snprintf(line, sizeof line,
                  "Point%02d,xy,     ,     ,in, deg,    ,        ,N,    ,        ,E, grid,   ,"
                  "           ,           ,N",
                  number);
    return line;
}

std::string Pair(const char* lead, int number, double a, double b) {
    char line[120];
    std::snprintf(line, sizeof line, "%s,%d,%12.8f,%12.8f", lead, number, a, b);
    return line;
}

} // namespace

std::string OziMapFileName(const std::string& image) {
    return std::filesystem::path(image).replace_extension(".map").string();
}

std::vector<std::string> OziMapLines(const std::string& title, const std::string& image,
                                     long long width, long long height, int minX, int minY,
                                     int zoom) {
    const int tilesWide = static_cast<int>(width / 256), tilesHigh = static_cast<int>(height / 256);
    const double west = TileXToLon(minX, zoom), east = TileXToLon(minX + tilesWide, zoom);
    const double north = TileYToLat(minY, zoom), south = TileYToLat(minY + tilesHigh, zoom);
    // Pixel corners, not centres: (0, 0) is the image's north-west corner.
    const struct {
        long long X, Y;
        double Lat, Lon;
    } corners[4] = {{0, 0, north, west},
                    {width, 0, north, east},
                    {width, height, south, east},
                    {0, height, south, west}};
    std::vector<std::string> lines = {
        "OziExplorer Map Data File Version 2.2",
        // Names from elsewhere: a line break in one would add lines of its own.
        PrintableText(title),
        PrintableText(std::filesystem::path(image).filename().string()),
        "1 ,Map Code,",
        "WGS 84,WGS 84,   0.0000,   0.0000,WGS 84",
        "Reserved 1",
        "Reserved 2",
        "Magnetic Variation,,,E",
        "Map Projection,Mercator,PolyCal,No,AutoCalOnly,No,BSBUseWPX,No",
    };
    for (int i = 0; i < 30; ++i)
        lines.push_back(i < 4 ? Point(i + 1, corners[i].X, corners[i].Y, corners[i].Lat,
                                      corners[i].Lon)
                              : Empty(i + 1));
    lines.insert(lines.end(), {"Projection Setup,,,,,,,,,,",
                               "Map Feature = MF ; Map Comment = MC     These follow if they exist",
                               "Track File = TF      These follow if they exist",
                               "Moving Map Parameters = MM?    These follow if they exist",
                               "MM0,Yes", "MMPNUM,4"});
    for (int i = 0; i < 4; ++i)
        lines.push_back("MMPXY," + std::to_string(i + 1) + "," + std::to_string(corners[i].X) +
                        "," + std::to_string(corners[i].Y));
    for (int i = 0; i < 4; ++i)
        lines.push_back(Pair("MMPLL", i + 1, corners[i].Lon, corners[i].Lat));
    char scale[64];
    std::snprintf(scale, sizeof scale, "MM1B,%.6f", PlacementOf(minX, minY, zoom).PixelSize);
    lines.push_back(scale);
    lines.push_back("MOP,Map Open Position,0,0");
    lines.push_back("IWH,Map Image Width/Height," + std::to_string(width) + "," +
                    std::to_string(height));
    return lines;
}

} // namespace quarrow::combiner
