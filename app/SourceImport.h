// Tile sources from the files users already have: a MOBAC custom map source (the first layer of a
// multi-layer one), a QGIS XYZ connections export, a TileJSON file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/TileSource.h"

namespace quarrow {

struct ImportedSources {
    std::vector<TileSource> Sources; // each one CheckSource accepts; its template is Map view's
    std::vector<std::string> Notes;  // what was left out or changed, to tell the user
};

// The largest file that is read as a source file.
inline constexpr long long MaxImportBytes = 16LL << 20;

// Throws an Exception that names the file when it cannot be read, is larger than
// MaxImportBytes, is in none of the forms, or names nothing usable.
ImportedSources ImportSources(const std::string& path);

// The same for a file's bytes; path only names it in messages.
ImportedSources ImportSourceBytes(std::string_view bytes, const std::string& path);

} // namespace quarrow
