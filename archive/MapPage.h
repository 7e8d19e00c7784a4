// The web page beside a tile tree, and the same page the local tile server shows: a Leaflet map
// of the tiles with their bounds, zoom levels and attribution, and the outline of a shape's
// task. Leaflet comes from the system's copy (Debian's libjs-leaflet) into the tree, so the page
// needs no network.
#pragma once

#include <span>
#include <string>

#include "TileArchive.h"

namespace quarrow::archive {

// The page, its tiles at "{z}/{x}/{y}.EXT" and Leaflet at "leaflet/" beside it.
std::string MapPageHtml(const ArchiveInfo& info);

// Where Leaflet is read from: $QUARROW_LEAFLET, else Debian's folder.
std::string LeafletFolder();

// Leaflet's files that the page needs, relative to LeafletFolder() and to "leaflet/".
std::span<const char* const> LeafletFiles();

// Writes folder/index.html and copies Leaflet into folder/leaflet/; returns the files written.
// Throws an Exception when the page cannot be written or Leaflet cannot be read.
std::vector<std::string> WriteMapPage(const std::string& folder, const ArchiveInfo& info);

} // namespace quarrow::archive
