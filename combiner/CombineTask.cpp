// The combining loop: a strip of one tile row is filled white, each present tile decoded into its
// place, and the strip handed to the writer; MBTiles takes the tile files' bytes as they are. A
// shape's task has only its covered tiles, and its pixels outside the shape are left empty.
#include "CombineTask.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <system_error>

#include "BmpStripWriter.h"
#include "GeoReference.h"
#include "GeoTiffWriter.h"
#include "MBTilesWriter.h"
#include "PngStripWriter.h"
#include "TileImage.h"
#include "engine/AreaMask.h"
#include "engine/Exception.h"
#include "engine/ImageHeader.h"
#include "engine/Json.h"
#include "engine/NumberText.h"
#include "engine/TextFile.h"
#include "engine/TextRules.h"
#include "engine/TileSource.h"
#include "engine/Unitclasstask.h"

namespace quarrow::combiner {
namespace {

std::string Count(long long value) {
    return std::to_string(value);
}

// Removes the file, or the folder with what it holds, at the end of the scope unless it was kept.
class PartFile {
public:
    explicit PartFile(std::string path) : m_path(std::move(path)) { Remove(); }
    ~PartFile() {
        if (!m_kept)
            Remove();
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    const std::string& Path() const noexcept { return m_path; }
    void MoveTo(const std::string& target) {
        std::error_code ec;
        std::filesystem::rename(m_path, target, ec);
        if (ec)
            throw WriteError(target, ": " + ec.message());
        m_kept = true;
    }

private:
    void Remove() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }

    std::string m_path;
    bool m_kept = false;
};

struct Loop {
    // Tells the progress its start at none done.
    Loop(const DownloadTask* task, const ProgressFunction& progress, std::stop_token stop,
         long long total)
        : Task(task), Progress(progress), Stop(std::move(stop)), Total(total) {
        if (Progress)
            Progress(0, Total);
    }

    const DownloadTask* Task;
    const ProgressFunction& Progress;
    std::stop_token Stop;
    long long Done = 0;
    long long Total = 0;
    long long Missing = 0;
    long long NotTiles = 0; // of Missing: files that are no tile picture
    std::string Bytes;      // one tile file, its buffer kept from tile to tile

    // The tile file's bytes into Bytes; false when it cannot be read or is no picture of a
    // tile's size by its header, which is all that is read of one that is not (never seconds and
    // hundreds of megabytes on a picture bomb).
    bool Read(int x, int y) {
        if (!ReadWholeFile(Task->TilePath(x, y), Bytes))
            return false;
        if (HasImageSide(Bytes, TileSize))
            return true;
        ++NotTiles;
        return false;
    }

    void Step() {
        ++Done;
        if (Progress)
            Progress(Done, Total);
    }
};

// The pixels of a shape's task outside its shape: transparent, and white for the formats without
// transparency.
class ShapeRows {
public:
    ShapeRows(const AreaShape& shape, int zoom, int minX, std::size_t width)
        : m_mask(shape, zoom), m_origin(static_cast<long long>(minX) * TileSize),
          m_width(static_cast<long long>(width)) {}

    // The opacity of the image's pixel row into alpha, its outside painted white in pixels.
    void Apply(long long row, unsigned char* pixels, unsigned char* alpha) {
        m_mask.Spans(row, m_spans);
        std::fill_n(alpha, m_width, static_cast<unsigned char>(0));
        for (const auto& [first, last] : m_spans) {
            const long long from = std::max(first - m_origin, 0LL);
            const long long to = std::min(last - m_origin, m_width - 1);
            if (from <= to)
                std::fill(alpha + from, alpha + to + 1, static_cast<unsigned char>(0xFF));
        }
        for (long long p = 0; p < m_width; ++p)
            if (alpha[p] == 0)
                std::fill_n(pixels + p * PixelBytes, PixelBytes, static_cast<unsigned char>(0xFF));
    }

private:
    AreaMask m_mask;
    long long m_origin; // the image's first pixel column on the map
    long long m_width;
    std::vector<AreaMask::Span> m_spans;
};

// Strips from the top or, for a bottom-up writer, from the bottom; false when cancelled.
bool WriteStrips(Loop& loop, StripWriter& writer) {
    const DownloadTask& task = *loop.Task;
    const int columns = task.MaxX - task.MinX + 1;
    const int rows = task.MaxY - task.MinY + 1;
    const std::size_t rowBytes = writer.RowBytes();
    const std::size_t tileBytes = static_cast<std::size_t>(TileSize) * PixelBytes;
    std::vector<unsigned char> strip(rowBytes * TileSize);
    // In a bottom-up strip the tile's bottom row comes first, at the strip's start.
    const auto stride = static_cast<std::ptrdiff_t>(rowBytes);
    const std::ptrdiff_t tileStride = writer.BottomUp() ? -stride : stride;
    const std::size_t width = static_cast<std::size_t>(columns) * TileSize;
    std::optional<ShapeRows> shape;
    std::vector<unsigned char> alpha;
    if (task.Params->Shape) {
        shape.emplace(*task.Params->Shape, task.Params->Zoom, task.MinX, width);
        alpha.resize(width * TileSize);
    }

    for (int r = 0; r < rows; ++r) {
        const int y = writer.BottomUp() ? task.MaxY - r : task.MinY + r;
        std::fill(strip.begin(), strip.end(), static_cast<unsigned char>(0xFF));
        for (int c = 0; c < columns; ++c) {
            if (loop.Stop.stop_requested())
                return false;
            if (!task.Covers(task.MinX + c, y))
                continue;
            unsigned char* place = strip.data() + static_cast<std::size_t>(c) * tileBytes;
            if (!loop.Read(task.MinX + c, y) ||
                !DecodeTile(loop.Bytes, writer.Order(), place, tileStride)) {
                ++loop.Missing;
                for (int row = 0; row < TileSize; ++row)
                    std::fill_n(place + static_cast<std::size_t>(row) * rowBytes, tileBytes,
                                static_cast<unsigned char>(0xFF));
            }
            loop.Step();
        }
        if (shape) {
            for (int k = 0; k < TileSize; ++k) {
                const long long row = static_cast<long long>(y) * TileSize +
                                      (writer.BottomUp() ? TileSize - 1 - k : k);
                shape->Apply(row, strip.data() + static_cast<std::size_t>(k) * rowBytes,
                             alpha.data() + static_cast<std::size_t>(k) * width);
            }
        }
        writer.WriteRows(strip.data(), shape ? alpha.data() : nullptr, TileSize);
    }
    writer.Finish();
    return true;
}

// Every covered tile of the loop's task whose file is a tile picture, in rows from the north;
// false when cancelled.
bool EachTile(Loop& loop, const std::function<void(int x, int y)>& use) {
    const DownloadTask& task = *loop.Task;
    for (int y = task.MinY; y <= task.MaxY; ++y) {
        for (int x = task.MinX; x <= task.MaxX; ++x) {
            if (loop.Stop.stop_requested())
                return false;
            if (!task.Covers(x, y))
                continue;
            if (loop.Read(x, y))
                use(x, y);
            else
                ++loop.Missing;
            loop.Step();
        }
    }
    return true;
}

using Tasks = std::vector<std::unique_ptr<DownloadTask>>;

// Every covered tile picture of the tasks, task by task; false when cancelled.
bool EachTaskTile(const Tasks& tasks, Loop& loop,
                  const std::function<void(const DownloadTask& task, int x, int y)>& use) {
    for (const auto& task : tasks) {
        loop.Task = task.get();
        if (!EachTile(loop, [&](int x, int y) { use(*task, x, y); }))
            return false;
    }
    return true;
}

long long TileTotal(const Tasks& tasks) {
    long long total = 0;
    for (const auto& task : tasks)
        total += task->TileCount;
    return total;
}

std::string SourceName(const DownloadTask& task) {
    return task.Params->Source ? task.Params->Source->Name : std::string(BuiltInSourceName);
}

// The tasks of one output, read back: all of one source, map type and tile format.
Tasks ReadTasks(const std::vector<std::string>& files) {
    if (files.empty())
        throw Exception("No task to combine.");
    Tasks tasks;
    for (const std::string& file : files) {
        tasks.push_back(std::make_unique<DownloadTask>(
            std::make_shared<TaskParams>(ReadTaskParams(file)), DownloadTask::ReadOnly{}));
        const DownloadTask& first = *tasks.front();
        const DownloadTask& task = *tasks.back();
        const auto differ = [&](const std::string& what, const std::string& a,
                                const std::string& b) {
            return Exception("The tasks " + files.front() + " and " + file + " are of different " +
                             what + " (" + a + ", " + b + "): one output holds tiles of one kind.");
        };
        if (SourceName(task) != SourceName(first))
            throw differ("sources", SourceName(first), SourceName(task));
        if (task.Params->MapsType != first.Params->MapsType)
            throw differ("map types", std::to_string(first.Params->MapsType),
                         std::to_string(task.Params->MapsType));
        if (task.TileExtension() != first.TileExtension())
            throw differ("tile formats", first.TileExtension(), task.TileExtension());
    }
    return tasks;
}

// What the tasks of an MBTiles file or a tile tree have in common: the zoom levels and the
// rectangle that holds them all.
struct TaskSetExtent {
    int MinZoom = 18, MaxZoom = 1;
    double West = 180, South = 90, East = -180, North = -90;
};

TaskSetExtent ExtentOf(const Tasks& tasks) {
    TaskSetExtent extent;
    for (const auto& task : tasks) {
        extent.MinZoom = std::min(extent.MinZoom, task->Params->Zoom);
        extent.MaxZoom = std::max(extent.MaxZoom, task->Params->Zoom);
        extent.West = std::min(extent.West, task->LeftLongitudeDownload);
        extent.South = std::min(extent.South, task->BottomLatitudeDownload);
        extent.East = std::max(extent.East, task->RightLongitudeDownload);
        extent.North = std::max(extent.North, task->TopLatitudeDownload);
    }
    return extent;
}

} // namespace

std::optional<OutputFormat> FormatOfOutput(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    const auto endsWith = [&name](std::string_view extension) {
        return name.size() > extension.size() &&
               EqualsNoCase(std::string_view(name).substr(name.size() - extension.size()),
                            extension);
    };
    if (endsWith(".bmp"))
        return OutputFormat::Bmp;
    if (endsWith(".png"))
        return OutputFormat::Png;
    if (endsWith(".mbtiles"))
        return OutputFormat::MBTiles;
    if (endsWith(".tif") || endsWith(".tiff"))
        return OutputFormat::GeoTiff;
    return std::nullopt;
}

std::optional<std::string> SizeRefusal(OutputFormat format, long long width, long long height) {
    const std::string size = Count(width) + " x " + Count(height) + " pixels";
    // An image is written a strip of one tile row at a time; that strip is what memory holds.
    const bool image = format != OutputFormat::MBTiles;
    if (image && static_cast<unsigned long long>(width) * TileSize * (PixelBytes + 1) > MaxStripBytes)
        return "The map is " + Count(width) +
               " pixels wide: too wide for one image; choose MBTiles or a tile tree.";
    switch (format) {
    case OutputFormat::Bmp: {
        const std::uint64_t bytes = BmpStripWriter::FileSize(static_cast<std::uint64_t>(width),
                                                             static_cast<std::uint64_t>(height));
        if (bytes > UINT32_MAX)
            return "The image of " + size + " would take " + Count(static_cast<long long>(bytes)) +
                   " bytes as BMP, which holds at most 4 GiB (4294967295 bytes). Choose a .png "
                   "or .mbtiles output instead.";
        return std::nullopt;
    }
    case OutputFormat::Png:
        if (width > PngMaxSide || height > PngMaxSide)
            return "The image of " + size +
                   " is too large for PNG, which holds at most 2147483647 pixels a side. "
                   "Choose an .mbtiles output instead.";
        return std::nullopt;
    case OutputFormat::MBTiles:
    case OutputFormat::GeoTiff:
        return std::nullopt;
    }
    return std::nullopt;
}

std::string MissingText(const CombineResult& result) {
    std::string text = Count(result.Missing) + " missing";
    if (result.NotTiles > 0)
        text += " (" + Count(result.NotTiles) + " of them no 256 x 256 tile picture)";
    return text;
}

CombineResult CombineTask(const std::string& projectFile, const std::string& output,
                          const ProgressFunction& progress, std::stop_token stop) {
    const std::optional<OutputFormat> format = FormatOfOutput(output);
    if (!format)
        throw Exception("The output " + output +
                        " must end in .bmp, .png, .tif or .mbtiles: its extension names the "
                        "format.");
    if (*format == OutputFormat::MBTiles)
        return CombineTasks({projectFile}, output, progress, std::move(stop));
    const DownloadTask task(std::make_shared<TaskParams>(ReadTaskParams(projectFile)),
                            DownloadTask::ReadOnly{});

    CombineResult result;
    result.Tiles = task.TileCount;
    result.Width = (static_cast<long long>(task.MaxX) - task.MinX + 1) * TileSize;
    result.Height = (static_cast<long long>(task.MaxY) - task.MinY + 1) * TileSize;
    if (const auto refusal = SizeRefusal(*format, result.Width, result.Height))
        throw Exception(*refusal);

    Loop loop(&task, progress, std::move(stop), result.Tiles);
    PartFile part(output + ".part");
    const auto width = static_cast<std::uint32_t>(result.Width);
    const auto height = static_cast<std::uint32_t>(result.Height);
    std::unique_ptr<StripWriter> writer;
    if (*format == OutputFormat::Bmp) {
        writer = std::make_unique<BmpStripWriter>(part.Path(), width, height);
    } else if (*format == OutputFormat::GeoTiff) {
        GeoTiffOptions options;
        options.Alpha = task.Params->Shape != nullptr;
        options.Jpeg = task.TileExtension() == "jpg";
        writer = std::make_unique<GeoTiffWriter>(
            part.Path(), width, height, PlacementOf(task.MinX, task.MinY, task.Params->Zoom),
            options);
    } else {
        writer = std::make_unique<PngStripWriter>(part.Path(), width, height,
                                                  task.Params->Shape != nullptr);
    }
    const bool complete = WriteStrips(loop, *writer);
    result.Missing = loop.Missing;
    result.NotTiles = loop.NotTiles;
    if (!complete) {
        result.Cancelled = true;
        return result;
    }
    // The world file and the projection first: a failure leaves the old image with them whole.
    std::vector<std::string> beside;
    if (*format == OutputFormat::Bmp || *format == OutputFormat::Png) {
        const std::string world = WorldFileName(output);
        const std::string projection = ProjectionFileName(output);
        SaveLines(world, WorldFileLines(task.MinX, task.MinY, task.Params->Zoom));
        SaveLines(projection, {WebMercatorWkt()});
        beside = {world, projection};
    }
    part.MoveTo(output);
    result.Files.push_back(output);
    result.Files.insert(result.Files.end(), beside.begin(), beside.end());
    return result;
}

CombineResult CombineTasks(const std::vector<std::string>& projectFiles, const std::string& output,
                           const ProgressFunction& progress, std::stop_token stop) {
    if (FormatOfOutput(output) != OutputFormat::MBTiles)
        throw Exception("The output " + output + " of several tasks must end in .mbtiles.");
    const Tasks tasks = ReadTasks(projectFiles);
    CombineResult result;
    result.Tiles = TileTotal(tasks);
    const TaskSetExtent extent = ExtentOf(tasks);
    const MBTilesMetadata metadata{ProjectBaseName(tasks.front()->Params->ProjectName),
                                   extent.MinZoom,
                                   extent.MaxZoom,
                                   extent.West,
                                   extent.South,
                                   extent.East,
                                   extent.North,
                                   tasks.front()->TileExtension()};
    Loop loop(nullptr, progress, std::move(stop), result.Tiles);
    PartFile part(output + ".part");
    MBTilesWriter writer(part.Path(), metadata);
    const bool complete = EachTaskTile(tasks, loop, [&](const DownloadTask& task, int x, int y) {
        writer.AddTile(task.Params->Zoom, x, y, loop.Bytes);
    });
    result.Missing = loop.Missing;
    result.NotTiles = loop.NotTiles;
    if (!complete) {
        result.Cancelled = true;
        return result;
    }
    writer.Finish();
    part.MoveTo(output);
    result.Files.push_back(output);
    return result;
}

CombineResult CombineXyz(const std::vector<std::string>& projectFiles, const std::string& folder,
                         const ProgressFunction& progress, std::stop_token stop) {
    namespace fs = std::filesystem;
    std::string target = folder;
    while (target.size() > 1 && target.back() == '/')
        target.pop_back();
    std::error_code ec;
    if (fs::exists(target, ec) && !(fs::is_directory(target, ec) && fs::is_empty(target, ec)))
        throw Exception("The folder " + target +
                        " exists and is not empty: a tile tree goes into a new folder.");
    const Tasks tasks = ReadTasks(projectFiles);
    CombineResult result;
    result.Tiles = TileTotal(tasks);
    const std::string extension = tasks.front()->TileExtension();

    // Built beside its place and moved there whole, so a failed or cancelled run leaves nothing.
    PartFile partFolder(target + ".part");
    const std::string& part = partFolder.Path();
    if (!fs::create_directories(part, ec) || ec)
        throw WriteError(part, ": " + ec.message());
    Loop loop(nullptr, progress, std::move(stop), result.Tiles);
    std::set<std::pair<int, int>> columns; // zoom and x of the folders made
    const bool complete = EachTaskTile(tasks, loop, [&](const DownloadTask& task, int x, int y) {
        const std::string column =
            part + "/" + std::to_string(task.Params->Zoom) + "/" + std::to_string(x);
        const std::string tile = column + "/" + std::to_string(y) + "." + extension;
        const std::string from = task.TilePath(x, y);
        std::error_code error;
        // Each column's folder is made once, not looked up again for each of its tiles.
        if (columns.insert({task.Params->Zoom, x}).second)
            fs::create_directories(column, error);
        // A link where the file system allows: no second copy of the tile.
        fs::create_hard_link(from, tile, error);
        if (error == std::errc::file_exists) { // an overlapping task's: the later one's stays
            fs::remove(tile, error);
            fs::create_hard_link(from, tile, error);
        }
        if (error && !fs::copy_file(from, tile, fs::copy_options::overwrite_existing, error))
            throw WriteError(tile, ": " + error.message());
    });
    result.Missing = loop.Missing;
    result.NotTiles = loop.NotTiles;
    if (!complete) {
        result.Cancelled = true;
        return result;
    }
    const TaskSetExtent extent = ExtentOf(tasks);
    const DownloadTask& first = *tasks.front();
    const std::string attribution =
        first.Params->Source && !first.Params->Source->Attribution.empty()
            ? first.Params->Source->Attribution
            : SourceName(first);
    const auto number = [](double value) { return GeneralNumberText(value, '.'); };
    SaveLines(part + "/tilejson.json",
              {"{", "  \"tilejson\": \"3.0.0\",",
               "  \"name\": " + JsonString(ProjectBaseName(first.Params->ProjectName)) + ",",
               "  \"tiles\": [\"{z}/{x}/{y}." + extension + "\"],", "  \"scheme\": \"xyz\",",
               "  \"minzoom\": " + std::to_string(extent.MinZoom) + ",",
               "  \"maxzoom\": " + std::to_string(extent.MaxZoom) + ",",
               "  \"bounds\": [" + number(extent.West) + ", " + number(extent.South) + ", " +
                   number(extent.East) + ", " + number(extent.North) + "],",
               "  \"attribution\": " + JsonString(attribution), "}"});
    fs::remove(target, ec); // an empty folder of the name
    partFolder.MoveTo(target);
    result.Files.push_back(target + "/");
    result.Files.push_back(target + "/tilejson.json");
    return result;
}

CombineResult Combine(const std::vector<std::string>& projectFiles, const std::string& output,
                      bool tree, const ProgressFunction& progress, std::stop_token stop) {
    if (tree)
        return CombineXyz(projectFiles, output, progress, std::move(stop));
    if (projectFiles.size() > 1)
        return CombineTasks(projectFiles, output, progress, std::move(stop));
    return CombineTask(projectFiles.at(0), output, progress, std::move(stop));
}

} // namespace quarrow::combiner
