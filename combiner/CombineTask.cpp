// The combining loop: a strip of one tile row is filled white, each present tile decoded into its
// place, and the strip handed to the writer; MBTiles takes the tile files' bytes as they are. A
// shape's task has only its covered tiles, and its pixels outside the shape are left empty.
#include "CombineTask.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <system_error>

#include "BmpStripWriter.h"
#include "GeoReference.h"
#include "GeoTiffWriter.h"
#include "MBTilesWriter.h"
#include "PngStripWriter.h"
#include "TileImage.h"
#include "engine/AreaMask.h"
#include "engine/Exception.h"
#include "engine/TextFile.h"
#include "engine/TextRules.h"
#include "engine/Unitclasstask.h"

namespace quarrow::combiner {
namespace {

std::string Count(long long value) {
    return std::to_string(value);
}

// Removes the file at the end of the scope unless it was kept.
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
        std::filesystem::remove(m_path, ignored);
    }

    std::string m_path;
    bool m_kept = false;
};

struct Loop {
    const DownloadTask& Task;
    const ProgressFunction& Progress;
    std::stop_token Stop;
    long long Done = 0;
    long long Total = 0;
    long long Missing = 0;
    std::string Bytes; // one tile file, its buffer kept from tile to tile

    // The tile file's bytes into Bytes; false when it cannot be read.
    bool Read(int x, int y) { return ReadWholeFile(Task.TilePath(x, y), Bytes); }

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
    const DownloadTask& task = loop.Task;
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

bool WriteMBTiles(Loop& loop, MBTilesWriter& writer) {
    const DownloadTask& task = loop.Task;
    for (int y = task.MinY; y <= task.MaxY; ++y) {
        for (int x = task.MinX; x <= task.MaxX; ++x) {
            if (loop.Stop.stop_requested())
                return false;
            if (!task.Covers(x, y))
                continue;
            if (loop.Read(x, y) && IsTileImage(loop.Bytes))
                writer.AddTile(x, y, loop.Bytes);
            else
                ++loop.Missing;
            loop.Step();
        }
    }
    writer.Finish();
    return true;
}

std::string BaseName(const std::string& projectName) {
    constexpr std::string_view Extension = ".zav";
    if (projectName.size() >= Extension.size() &&
        projectName.compare(projectName.size() - Extension.size(), Extension.size(), Extension) ==
            0)
        return projectName.substr(0, projectName.size() - Extension.size());
    return projectName;
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

CombineResult CombineTask(const std::string& projectFile, const std::string& output,
                          const ProgressFunction& progress, std::stop_token stop) {
    const std::optional<OutputFormat> format = FormatOfOutput(output);
    if (!format)
        throw Exception("The output " + output +
                        " must end in .bmp, .png, .tif or .mbtiles: its extension names the "
                        "format.");
    const DownloadTask task(std::make_shared<TaskParams>(ReadTaskParams(projectFile)),
                            DownloadTask::ReadOnly{});

    CombineResult result;
    result.Tiles = task.TileCount;
    result.Width = (static_cast<long long>(task.MaxX) - task.MinX + 1) * TileSize;
    result.Height = (static_cast<long long>(task.MaxY) - task.MinY + 1) * TileSize;
    if (const auto refusal = SizeRefusal(*format, result.Width, result.Height))
        throw Exception(*refusal);

    Loop loop{task, progress, std::move(stop), 0, result.Tiles, 0, {}};
    if (progress)
        progress(0, loop.Total);
    PartFile part(output + ".part");
    bool complete = false;
    if (*format == OutputFormat::MBTiles) {
        const MBTilesMetadata metadata{BaseName(task.Params->ProjectName),
                                       task.Params->Zoom,
                                       task.LeftLongitudeDownload,
                                       task.BottomLatitudeDownload,
                                       task.RightLongitudeDownload,
                                       task.TopLatitudeDownload,
                                       task.TileExtension()};
        MBTilesWriter writer(part.Path(), metadata);
        complete = WriteMBTiles(loop, writer);
    } else {
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
        complete = WriteStrips(loop, *writer);
    }
    result.Missing = loop.Missing;
    if (!complete) {
        result.Cancelled = true;
        return result;
    }
    part.MoveTo(output);
    result.Files.push_back(output);
    if (*format == OutputFormat::Bmp || *format == OutputFormat::Png) {
        const std::string world = WorldFileName(output);
        const std::string projection = ProjectionFileName(output);
        SaveLines(world, WorldFileLines(task.MinX, task.MinY, task.Params->Zoom));
        SaveLines(projection, {WebMercatorWkt()});
        result.Files.push_back(world);
        result.Files.push_back(projection);
    }
    return result;
}

} // namespace quarrow::combiner
