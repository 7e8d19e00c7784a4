// The one table of the combiner's outputs: each format's name for --format, its extension, its
// label in the window, and what writes it (an image strip by strip, or the tiles into an
// archive). The window's choices, the command line and the combining all read it; a new format
// is one writer of its own and one row here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "StripWriter.h"
#include "archive/TileArchive.h"
#include "archive/TileArchive.h"

namespace quarrow {
class DownloadTask;
}

namespace quarrow::combiner {

// The archives the combiner writes are the archive room's.
using namespace quarrow::archive;

enum class OutputFormat { Bmp, Png, GeoTiff, Ozi, Kmz, MBTiles, OsmAnd, RMaps, PMTiles, Xyz };

// The JPEG quality of a Garmin map's pieces and of a JPEG GeoTIFF unless told otherwise.
inline constexpr int DefaultJpegQuality = 85;

// What the format's choice is made with beyond the output's name.
struct CombineOptions {
    std::optional<OutputFormat> Format; // none: by the output's extension
    int MaxPieces = 100;                // of a Garmin custom map, 1 .. MaxKmzPieces
    // A Garmin map of more pieces is written at the largest of half, a quarter, ... of the scale
    // that fits, instead of being refused.
    bool Fit = false;
    int Quality = DefaultJpegQuality; // 1..100
};

// An image to be written: its temporary file, its size, the task it shows, and how.
struct ImageOutput {
    std::string Path;
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    const DownloadTask* Task = nullptr;
    int Quality = DefaultJpegQuality;
    int Halvings = 0; // a Garmin map's scale: 1 / 2^Halvings
};

// The halvings of the scale after which a Garmin map of this many pixels takes at most the
// device's pieces: 0 when it fits as it is (or without --fit), nullopt when it cannot fit even
// at a pixel a tile.
std::optional<int> KmzHalvings(long long width, long long height, const CombineOptions& options);

// The most that an image writer may hold of its rows at once (their pixels and opacity): a strip
// of one tile row for most, a row of pieces for a Garmin map.
inline constexpr unsigned long long MaxStripBytes = 1ULL << 30;

// The most pieces any Garmin device is known to take, with room to spare.
inline constexpr int MaxKmzPieces = 10000;

struct FormatRow {
    OutputFormat Format;
    const char* Name;      // for --format
    const char* Extension; // of the output's name, small letters; "/" for a folder
    const char* Also;      // another extension of the format, or null
    const char* Label;     // the window's choice
    // The image's own extension when the output names a file beside it (OziExplorer's .map
    // beside its .png); null when the output is the image.
    const char* ImageExtension;
    // Exactly one of these two makes the format's writer.
    std::unique_ptr<StripWriter> (*Image)(const ImageOutput& output);
    std::unique_ptr<TileArchive> (*Archive)(const std::string& path, const ArchiveInfo& info);
    // Why a mosaic of this many pixels cannot be written in the format, or nullopt; may be null.
    std::optional<std::string> (*Refusal)(long long width, long long height,
                                          const CombineOptions& options);
    // The files beside an image that place it (world file, projection, calibration), written
    // before the image takes its name; returns their names. May be null.
    std::vector<std::string> (*Beside)(const std::string& output, const DownloadTask& task,
                                       long long width, long long height);
};

std::span<const FormatRow> OutputFormats();
const FormatRow& RowOf(OutputFormat format);

// The format named by the output's extension, any letter case (a name ending in "/" is a tile
// tree); the first row of an extension wins (".sqlitedb" is OsmAnd's).
std::optional<OutputFormat> FormatOfOutput(const std::string& path);
// The format of a --format name.
std::optional<OutputFormat> FormatNamed(std::string_view name);

// The output the window offers for a task of this base name in the format: the name and the
// format's extension, Locus's set apart from OsmAnd's ("bj-locus.sqlitedb"), a tile tree beside
// the task's own tile folder ("bj-xyz/").
std::string DefaultOutputName(const std::string& taskBase, OutputFormat format);

} // namespace quarrow::combiner
