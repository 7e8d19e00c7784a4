#include "OutputFormats.h"

#include <algorithm>
#include <filesystem>

#include "engine/TileFormat.h"
#include "BmpStripWriter.h"
#include "GeoReference.h"
#include "GeoTiffWriter.h"
#include "KmzWriter.h"
#include "archive/MBTilesWriter.h"
#include "OziMapFile.h"
#include "archive/PMTilesWriter.h"
#include "PngStripWriter.h"
#include "archive/SqliteDbWriter.h"
#include "archive/XyzTreeWriter.h"
#include "base/Exception.h"
#include "store/TextFile.h"
#include "base/TextRules.h"
#include "engine/Unitclasstask.h"

namespace quarrow::combiner {

namespace {

std::string Count(long long value) {
    return std::to_string(value);
}

// Where an image's pixels lie as 256-pixel tiles: a task's own, or for 512-pixel tiles those of
// the next zoom level, each a quarter of one of them; the placements are worked out from these.
struct PixelGrid {
    int MinX, MinY, Zoom;
};

PixelGrid GridOf(const DownloadTask& task) {
    if (task.TileSide() == 512)
        return {task.MinX * 2, task.MinY * 2, task.Params->Zoom + 1};
    return {task.MinX, task.MinY, task.Params->Zoom};
}

std::unique_ptr<StripWriter> Bmp(const ImageOutput& out) {
    return std::make_unique<BmpStripWriter>(out.Path, out.Width, out.Height);
}

std::unique_ptr<StripWriter> Png(const ImageOutput& out) {
    return std::make_unique<PngStripWriter>(out.Path, out.Width, out.Height,
                                            out.Task->Params->Shape != nullptr);
}

std::unique_ptr<StripWriter> GeoTiff(const ImageOutput& out) {
    GeoTiffOptions options;
    options.Alpha = out.Task->Params->Shape != nullptr;
    options.Jpeg = TileFormatNamed(out.Task->TileExtension()) == &RowOf(TileFormat::Jpeg);
    options.Quality = out.Quality;
    const PixelGrid grid = GridOf(*out.Task);
    return std::make_unique<GeoTiffWriter>(out.Path, out.Width, out.Height,
                                           PlacementOf(grid.MinX, grid.MinY, grid.Zoom), options);
}

std::unique_ptr<StripWriter> Kmz(const ImageOutput& out) {
    const PixelGrid grid = GridOf(*out.Task);
    return std::make_unique<KmzWriter>(
        out.Path, out.Width, out.Height, grid.MinX, grid.MinY, grid.Zoom,
        ProjectBaseName(out.Task->Params->ProjectName), KmzLook{out.Halvings, out.Quality});
}

std::unique_ptr<TileArchive> MBTiles(const std::string& path, const ArchiveInfo& info) {
    return std::make_unique<MBTilesWriter>(path, info);
}

std::unique_ptr<TileArchive> OsmAnd(const std::string& path, const ArchiveInfo& info) {
    return std::make_unique<SqliteDbWriter>(path, info, SqliteForm::OsmAnd, WebpAsPng);
}

std::unique_ptr<TileArchive> RMaps(const std::string& path, const ArchiveInfo& info) {
    return std::make_unique<SqliteDbWriter>(path, info, SqliteForm::BigPlanet, WebpAsPng);
}

std::unique_ptr<TileArchive> PMTiles(const std::string& path, const ArchiveInfo& info) {
    return std::make_unique<PMTilesWriter>(path, info);
}

std::unique_ptr<TileArchive> Xyz(const std::string& path, const ArchiveInfo& info) {
    return std::make_unique<XyzTreeWriter>(path, info);
}

std::optional<std::string> BmpRefusal(long long width, long long height, const CombineOptions&) {
    const std::uint64_t bytes = BmpStripWriter::FileSize(static_cast<std::uint64_t>(width),
                                                         static_cast<std::uint64_t>(height));
    if (bytes <= UINT32_MAX)
        return std::nullopt;
    return "The image of " + Count(width) + " x " + Count(height) + " pixels would take " +
           Count(static_cast<long long>(bytes)) +
           " bytes as BMP, which holds at most 4 GiB (4294967295 bytes). Choose a .png or "
           ".mbtiles output instead.";
}

std::optional<std::string> PngRefusal(long long width, long long height, const CombineOptions&) {
    if (width <= PngMaxSide && height <= PngMaxSide)
        return std::nullopt;
    return "The image of " + Count(width) + " x " + Count(height) +
           " pixels is too large for PNG, which holds at most 2147483647 pixels a side. Choose "
           "an .mbtiles output instead.";
}

std::optional<std::string> KmzRefusal(long long width, long long height,
                                      const CombineOptions& options) {
    const std::optional<int> halvings = KmzHalvings(width, height, options);
    // The writer holds a row of pieces, with their opacity.
    if (static_cast<unsigned long long>(width >> halvings.value_or(0)) * KmzPieceSide * 4 >
        MaxStripBytes)
        return "The map is " + Count(width) +
               " pixels wide: too wide for a Garmin custom map; choose a lower zoom level or a "
               "smaller area.";
    const long long pieces = KmzPieces(width, height);
    if (halvings)
        return std::nullopt;
    if (options.Fit)
        return "The map needs " + Count(pieces) + " pieces, and the device takes " +
               Count(options.MaxPieces) +
               " even at a pixel a tile: choose a lower zoom level or a smaller area.";
    return "The map needs " + Count(pieces) + " pieces of at most 1024 x 1024 pixels, and the " +
           "device takes " + Count(options.MaxPieces) +
           " (--max-pieces 500 for those that take more): choose a lower zoom level or a "
           "smaller area.";
}

} // namespace

std::optional<int> KmzHalvings(long long width, long long height, const CombineOptions& options) {
    // A tile of 256 pixels halves eight times; its edges stay the pieces' edges.
    for (int halvings = 0; halvings <= (options.Fit ? 8 : 0); ++halvings)
        if (KmzPieces(width >> halvings, height >> halvings) <= options.MaxPieces)
            return halvings;
    return std::nullopt;
}

namespace {

std::vector<std::string> WorldFiles(const std::string& output, const DownloadTask& task, long long,
                                    long long) {
    const std::string world = WorldFileName(output);
    const std::string projection = ProjectionFileName(output);
    const PixelGrid grid = GridOf(task);
    SaveLines(world, WorldFileLines(grid.MinX, grid.MinY, grid.Zoom));
    SaveLines(projection, {WebMercatorWkt()});
    return {world, projection};
}

std::vector<std::string> OziFiles(const std::string& output, const DownloadTask& task,
                                  long long width, long long height) {
    const std::string map = OziMapFileName(output);
    const PixelGrid grid = GridOf(task);
    SaveLines(map, OziMapLines(ProjectBaseName(task.Params->ProjectName), output, width, height,
                               grid.MinX, grid.MinY, grid.Zoom));
    return {map};
}

// clang-format off
//    format                 name       extension    also      label                                  image ext  image     archive   refusal      beside
const FormatRow Rows[] = {
    {OutputFormat::Bmp,     "bmp",     ".bmp",      nullptr,  "BMP picture (.bmp)",                  nullptr,   Bmp,      nullptr,  BmpRefusal,  WorldFiles},
    {OutputFormat::Png,     "png",     ".png",      nullptr,  "PNG picture (.png)",                  nullptr,   Png,      nullptr,  PngRefusal,  WorldFiles},
    {OutputFormat::GeoTiff, "geotiff", ".tif",      ".tiff",  "GeoTIFF (.tif)",                      nullptr,   GeoTiff,  nullptr,  nullptr,     nullptr},
    {OutputFormat::Ozi,     "ozi",     ".map",      nullptr,  "OziExplorer (.map with its .png)",    ".png",    Png,      nullptr,  PngRefusal,  OziFiles},
    {OutputFormat::Kmz,     "kmz",     ".kmz",      nullptr,  "Garmin custom map (.kmz)",            nullptr,   Kmz,      nullptr,  KmzRefusal,  nullptr},
    {OutputFormat::MBTiles, "mbtiles", ".mbtiles",  nullptr,  "MBTiles (.mbtiles)",                  nullptr,   nullptr,  MBTiles,  nullptr,     nullptr},
    {OutputFormat::OsmAnd,  "osmand",  ".sqlitedb", nullptr,  "OsmAnd (.sqlitedb)",                  nullptr,   nullptr,  OsmAnd,   nullptr,     nullptr},
    {OutputFormat::RMaps,   "rmaps",   ".sqlitedb", nullptr,  "Locus / RMaps (.sqlitedb)",           nullptr,   nullptr,  RMaps,    nullptr,     nullptr},
    {OutputFormat::PMTiles, "pmtiles", ".pmtiles",  nullptr,  "PMTiles (.pmtiles)",                  nullptr,   nullptr,  PMTiles,  nullptr,     nullptr},
    {OutputFormat::Xyz,     "xyz",     "/",         nullptr,  "XYZ tile tree (a folder ending in /)", nullptr,  nullptr,  Xyz,      nullptr,     nullptr},
};
// clang-format on

} // namespace

std::span<const FormatRow> OutputFormats() {
    return Rows;
}

const FormatRow& RowOf(OutputFormat format) {
    return *std::find_if(std::begin(Rows), std::end(Rows),
                         [format](const FormatRow& row) { return row.Format == format; });
}

std::string DefaultOutputName(const std::string& taskBase, OutputFormat format) {
    const std::string tail = format == OutputFormat::RMaps ? "-locus"
                             : format == OutputFormat::Xyz ? "-xyz"
                                                           : "";
    return taskBase + tail + RowOf(format).Extension;
}

std::optional<OutputFormat> FormatOfOutput(const std::string& path) {
    if (path.ends_with('/'))
        return OutputFormat::Xyz;
    const std::string name = std::filesystem::path(path).filename().string();
    for (const FormatRow& row : Rows) {
        for (const char* one : {row.Extension, row.Also}) {
            const std::string_view extension = one ? one : "";
            if (!extension.empty() && name.size() > extension.size() &&
                EqualsNoCase(std::string_view(name).substr(name.size() - extension.size()),
                             extension))
                return row.Format;
        }
    }
    return std::nullopt;
}

std::optional<OutputFormat> FormatNamed(std::string_view name) {
    for (const FormatRow& row : Rows)
        if (EqualsNoCase(name, row.Name))
            return row.Format;
    return std::nullopt;
}

} // namespace quarrow::combiner
