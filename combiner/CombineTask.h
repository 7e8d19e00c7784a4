// Combining a task's tiles into one image (BMP or PNG, with world and projection files; a GeoTIFF,
// which carries its own georeference) or one MBTiles file, strip by strip, so that memory holds one
// row of tiles whatever the task's size.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "OutputFormats.h"
#include "TileImage.h"

namespace quarrow::combiner {

// The archives the combiner writes are the archive room's.
using namespace quarrow::archive;


// Why an image of this many pixels cannot be written in the format, nullopt when it can: a
// format's own limit, or a strip beyond MaxStripBytes.
// side: the tiles', the rows of the strip an image is written in.
std::optional<std::string> SizeRefusal(OutputFormat format, long long width, long long height,
                                       const CombineOptions& options = {}, int side = TileSize);

// The outputs' extensions, for a message: ".bmp, .png, ... or a folder ending in /".
std::string ExtensionsText();


// Called after every tile with the tiles done and the task's tile count.
using ProgressFunction = std::function<void(long long done, long long total)>;

struct CombineResult {
    long long Tiles = 0;   // the task's tile count
    long long Missing = 0; // absent or undecodable: left white, or left out of MBTiles
    long long NotTiles = 0; // of them, files that are no 256 x 256 PNG or JPEG
    long long Width = 0;   // pixels of the image the task makes
    long long Height = 0;
    std::vector<std::string> Files; // written, the output first
    bool Cancelled = false;         // then nothing was written
    // A Garmin map fitted to the device: its scale, 1 / 2^Halvings, and a line for each halving.
    int Halvings = 0;
    std::vector<std::string> Notes;
};

// ", at 1/4 scale to fit the device's 100 pieces", or nothing for a map at the tiles' scale.
std::string ScaleText(const CombineResult& result, const CombineOptions& options);

// "12 missing", or "12 missing (3 of them no 256 x 256 tile picture)".
std::string MissingText(const CombineResult& result);

// Writes the tiles of the task whose project file this is into output. Throws an Exception with
// the reason: an output name of another extension, a size the format cannot hold (checked before
// anything is written), a project file that cannot be read, a file that cannot be written. The
// output replaces an existing file of its name only when complete; a failed or cancelled run
// leaves nothing behind.
CombineResult CombineTask(const std::string& projectFile, const std::string& output,
                          const ProgressFunction& progress = {}, std::stop_token stop = {});

// Every zoom level of several tasks (of one source, map type and tile format, else refused) into
// one file that keeps tiles (MBTiles, OsmAnd, Locus, PMTiles), with the zoom levels and the
// bounds of them all in its metadata; a tile of two tasks is written once.
CombineResult CombineTasks(const std::vector<std::string>& projectFiles, const std::string& output,
                           const ProgressFunction& progress = {}, std::stop_token stop = {});

// The tasks' tiles as a tree folder/{z}/{x}/{y}.png (or .jpg), linked where the file system allows,
// else copied, with folder/tilejson.json (TileJSON 3.0.0) describing it. The folder must be new or
// empty; it appears only when complete.
CombineResult CombineXyz(const std::vector<std::string>& projectFiles, const std::string& folder,
                         const ProgressFunction& progress = {}, std::stop_token stop = {});

// What the window and the command line make of their tasks: the output in the format chosen, or
// the one its name ends in (OutputFormats.h). A picture is of one task; every other format takes
// several.
CombineResult Combine(const std::vector<std::string>& projectFiles, const std::string& output,
                      const CombineOptions& options, const ProgressFunction& progress = {},
                      std::stop_token stop = {});

} // namespace quarrow::combiner
