// Web-Mercator tile geometry: longitude/latitude to tile column/row at a zoom level and back.
#pragma once

namespace quarrow {

// The fractional tile column and row of a point: where in the Web-Mercator plane of the zoom
// level it lies, in tiles. LonToTileX and LatToTileY truncate these.
double TileXOf(double lon, int z);
double TileYOf(double lat, int z);

// Column of the tile holding the longitude; truncates toward zero, never rounds.
int LonToTileX(double lon, int z);
// Row of the tile holding the latitude; truncates toward zero, never rounds.
int LatToTileY(double lat, int z);
// Longitude of the west edge of column x (x may be one past the last column).
double TileXToLon(double x, int z);
// Latitude of the north edge of row y (y may be one past the last row).
double TileYToLat(double y, int z);

} // namespace quarrow

using quarrow::LatToTileY;
using quarrow::LonToTileX;
using quarrow::TileXToLon;
using quarrow::TileYToLat;
