// The pictures that the local tile service serves: one drawn PNG per tile.
#pragma once

#include <string>

#include "TilePath.h"

namespace quarrow::tileservice {

// A 256x256 picture for the tile, a PNG or, when the request asks for one, a JPEG: the map
// type's colours, a border and "z/x/y" written on it. The same tile always gives the same bytes.
// Needs a QGuiApplication (fonts); callable from any thread, as Qt is only ever used under one
// lock. Recent tiles are kept in a bounded cache.
std::string RenderTilePng(const TileRequest& tile);

// Draws the tile afresh, past the cache (under the same lock).
std::string DrawTilePng(const TileRequest& tile);

} // namespace quarrow::tileservice
