// The combining loop: a strip of one tile row is filled white, each present tile decoded into its
// place, and the strip handed to the image's writer; an archive takes the tile files' bytes as
// they are, row by row or along the Hilbert curve as it asks. A shape's task has only its covered
// tiles, and its pixels outside the shape are left empty.
#include "CombineTask.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <system_error>

#include "KmzWriter.h"
#include "OutputFormats.h"
#include "archive/TileFolder.h"
#include "archive/PMTilesWriter.h"
#include "TileImage.h"
#include "geo/AreaMask.h"
#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "engine/ImageHeader.h"
#include "base/Json.h"
#include "base/NumberText.h"
#include "store/TaskFiles.h"
#include "store/TextFile.h"
#include "base/TextRules.h"
#include "store/TileBatch.h"
#include "store/TileFile.h"
#include "engine/TileSource.h"
#include "engine/Unitclasstask.h"

namespace quarrow::combiner {
namespace {

std::string Count(long long value) {
    return std::to_string(value);
}

std::string Pieces(long long count) {
    return Count(count) + (count == 1 ? " piece" : " pieces");
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
    // The output takes its name only once its bytes are on the disk, and keeps it.
    void MoveTo(const std::string& target) {
        std::vector<std::string> files;
        std::error_code ec;
        const bool tree = std::filesystem::is_directory(m_path, ec);
        if (tree) {
            for (std::filesystem::recursive_directory_iterator entry(m_path, ec), end;
                 !ec && entry != end; entry.increment(ec))
                if (entry->is_regular_file(ec))
                    files.push_back(entry->path().string());
        } else {
            files.push_back(m_path);
        }
        const std::optional<std::string> failure = ec ? ec.message() : FlushWritten(tree ? m_path : SplitFolder(m_path).first, files);
        if (failure)
            throw WriteError(target, ": its bytes could not be flushed to the disk: " + *failure);
        std::filesystem::rename(m_path, target, ec);
        if (ec)
            throw WriteError(target, ": " + ec.message());
        m_kept = true;
        FlushFolderOf(target);
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

    const DownloadTask* Task; // the task at hand, of several for an archive
    const ProgressFunction& Progress;
    std::stop_token Stop;
    long long Done = 0;
    long long Total = 0;
    long long Missing = 0;
    long long NotTiles = 0; // of Missing: files that are no tile picture
    std::string Bytes;      // one tile file, its buffer kept from tile to tile

    // The tile file's bytes into Bytes; false when it cannot be read, is no picture of a tile's
    // size by its header, which is all that is read of one that is not (never seconds and
    // hundreds of megabytes on a picture bomb), or is cut short: an archive copies its bytes as
    // they are, so it gets only whole ones.
    bool Read(int x, int y) {
        // The folder opened once for each task taken.
        if (Task != m_opened) {
            m_folder = std::make_unique<TileFolder>(Task->TileFolder);
            m_opened = Task;
        }
        if (!m_folder->Read(Task->TileFileName(x, y), Bytes))
            return false;
        const std::string_view kind = ImageFormatOf(Bytes);
        if (HasImageSide(Bytes, Task->TileSide()) && !TileImageFault(Bytes, kind))
            return true;
        ++NotTiles;
        return false;
    }

    void Step() {
        ++Done;
        if (Progress)
            Progress(Done, Total);
    }

    // Read's own.
    std::unique_ptr<TileFolder> m_folder;
    const DownloadTask* m_opened = nullptr;
};

// The pixels of a shape's task outside its shape: transparent, and white for the formats without
// transparency.
class ShapeRows {
public:
    // A 512-pixel tile's pixels are those of the next zoom level's 256-pixel tiles.
    ShapeRows(const AreaShape& shape, int zoom, int minX, int side, std::size_t width)
        : m_mask(shape, side == 512 ? zoom + 1 : zoom),
          m_origin(static_cast<long long>(minX) * side), m_width(static_cast<long long>(width)) {}

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
    const int side = task.TileSide();
    const int columns = task.MaxX - task.MinX + 1;
    const int rows = task.MaxY - task.MinY + 1;
    const std::size_t rowBytes = writer.RowBytes();
    const std::size_t tileBytes = static_cast<std::size_t>(side) * PixelBytes;
    std::vector<unsigned char> strip(rowBytes * side);
    // In a bottom-up strip the tile's bottom row comes first, at the strip's start.
    const auto stride = static_cast<std::ptrdiff_t>(rowBytes);
    const std::ptrdiff_t tileStride = writer.BottomUp() ? -stride : stride;
    const std::size_t width = static_cast<std::size_t>(columns) * side;
    std::optional<ShapeRows> shape;
    std::vector<unsigned char> alpha;
    if (task.Params->Shape) {
        shape.emplace(*task.Params->Shape, task.Params->Zoom, task.MinX, side, width);
        alpha.resize(width * side);
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
                !DecodeTile(loop.Bytes, writer.Order(), place, tileStride, side)) {
                ++loop.Missing;
                for (int row = 0; row < side; ++row)
                    std::fill_n(place + static_cast<std::size_t>(row) * rowBytes, tileBytes,
                                static_cast<unsigned char>(0xFF));
            }
            loop.Step();
        }
        if (shape) {
            for (int k = 0; k < side; ++k) {
                const long long row = static_cast<long long>(y) * side +
                                      (writer.BottomUp() ? side - 1 - k : k);
                shape->Apply(row, strip.data() + static_cast<std::size_t>(k) * rowBytes,
                             alpha.data() + static_cast<std::size_t>(k) * width);
            }
        }
        // The writers take at most a 256-pixel tile row at a time (a GeoTIFF's own tiles).
        for (int from = 0; from < side; from += TileSize)
            writer.WriteRows(strip.data() + static_cast<std::size_t>(from) * rowBytes,
                             shape ? alpha.data() + static_cast<std::size_t>(from) * width : nullptr,
                             std::min(TileSize, side - from));
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

// The same along the Hilbert curve, zoom level by zoom level: each place once, from the last task
// that has a tile picture there (an overlapping task's wins, as in the other orders).
bool EachTaskTileAlongTheCurve(
    const Tasks& tasks, Loop& loop,
    const std::function<void(const DownloadTask& task, int x, int y)>& use) {
    std::vector<int> zooms;
    for (const auto& task : tasks)
        zooms.push_back(task->Params->Zoom);
    std::sort(zooms.begin(), zooms.end());
    zooms.erase(std::unique(zooms.begin(), zooms.end()), zooms.end());
    bool stopped = false;
    for (const int zoom : zooms) {
        std::vector<const DownloadTask*> level;
        std::vector<TileRect> rects;
        for (const auto& task : tasks)
            if (task->Params->Zoom == zoom) {
                level.push_back(task.get());
                rects.push_back({task->MinX, task->MinY, task->MaxX, task->MaxY});
            }
        EachTileAlongTheCurve(zoom, rects, [&](int x, int y) {
            if (stopped || (stopped = loop.Stop.stop_requested()))
                return;
            bool found = false;
            for (auto task = level.rbegin(); task != level.rend(); ++task) {
                const DownloadTask& one = **task;
                if (x < one.MinX || x > one.MaxX || y < one.MinY || y > one.MaxY ||
                    !one.Covers(x, y))
                    continue;
                loop.Task = &one;
                if (!found && loop.Read(x, y)) {
                    found = true;
                    use(one, x, y);
                } else if (!found) {
                    ++loop.Missing;
                }
                loop.Step();
            }
        });
        if (stopped)
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
            throw differ("map types", MapTypeName(first.Params->MapsType),
                         MapTypeName(task.Params->MapsType));
        if (task.TileExtension() != first.TileExtension())
            throw differ("tile formats", first.TileExtension(), task.TileExtension());
    }
    return tasks;
}

} // namespace


std::optional<std::string> SizeRefusal(OutputFormat format, long long width, long long height,
                                       const CombineOptions& options, int side) {
    const FormatRow& row = RowOf(format);
    if (!row.Image)
        return std::nullopt;
    // An image is written a strip of one tile row at a time; that strip is what memory holds.
    if (static_cast<unsigned long long>(width) * static_cast<unsigned>(side) * (PixelBytes + 1) >
        MaxStripBytes)
        return "The map is " + Count(width) +
               " pixels wide: too wide for one image; choose MBTiles or a tile tree.";
    return row.Refusal ? row.Refusal(width, height, options) : std::nullopt;
}

std::string ScaleText(const CombineResult& result, const CombineOptions& options) {
    if (result.Halvings == 0)
        return {};
    return ", at 1/" + Count(1LL << result.Halvings) + " scale to fit the device's " +
           Pieces(options.MaxPieces);
}

std::string MissingText(const CombineResult& result) {
    std::string text = Count(result.Missing) + " missing";
    if (result.NotTiles > 0)
        text += " (" + Count(result.NotTiles) + " of them no 256 x 256 tile picture)";
    return text;
}

std::string ExtensionsText() {
    std::vector<std::string> names;
    for (const FormatRow& row : OutputFormats()) {
        const std::string name = std::string_view(row.Extension) == "/"
                                     ? std::string("a folder ending in /")
                                     : std::string(row.Extension);
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return text;
}

namespace {

// One task's tiles as one image, with the files beside it that place it.
// An output never takes the place of a file the combiner reads or the task keeps, nor goes into
// its tile folder: refused before anything is written.
void RefuseOutputInTask(const std::string& projectFile, const std::string& output) {
    const std::filesystem::path target = ReachedPath(output);
    const TaskFiles files = TaskFilesOf(projectFile);
    for (const std::string* file : {&files.Project, &files.List, &files.Log, &files.Failed,
                                    &files.Area, &files.Records, &files.Lock})
        if (target == ReachedPath(*file))
            throw Exception("The output " + output + " is the task's own file " + *file +
                            ": choose another name.");
    const std::filesystem::path tiles = ReachedPath(files.TileFolder);
    const auto [tileEnd, targetAt] =
        std::mismatch(tiles.begin(), tiles.end(), target.begin(), target.end());
    // Every part of the tile folder's path (a trailing empty one aside) begins the output's.
    if (tileEnd == tiles.end() || (std::next(tileEnd) == tiles.end() && tileEnd->empty()))
        throw Exception("The output " + output + " lies in the task's tile folder " +
                        files.TileFolder + ": choose a place outside it.");
}

CombineResult CombineImage(const std::string& projectFile, const std::string& output,
                           const FormatRow& row, const CombineOptions& options,
                           const ProgressFunction& progress, std::stop_token stop) {
    const DownloadTask task(std::make_shared<TaskParams>(ReadTaskParams(projectFile)),
                            DownloadTask::ReadOnly{});
    CombineResult result;
    result.Tiles = task.TileCount;
    result.Width = (static_cast<long long>(task.MaxX) - task.MinX + 1) * task.TileSide();
    result.Height = (static_cast<long long>(task.MaxY) - task.MinY + 1) * task.TileSide();
    if (const auto refusal =
            SizeRefusal(row.Format, result.Width, result.Height, options, task.TileSide()))
        throw Exception(*refusal);
    if (row.Format == OutputFormat::Kmz) {
        result.Halvings = KmzHalvings(result.Width, result.Height, options).value_or(0);
        for (int halving = 1; halving <= result.Halvings; ++halving)
            result.Notes.push_back(
                "At 1/" + Count(1LL << halving) + " scale the map needs " +
                Pieces(KmzPieces(result.Width >> halving, result.Height >> halving)) + " (at 1/" +
                Count(1LL << (halving - 1)) + ": " +
                Count(KmzPieces(result.Width >> (halving - 1), result.Height >> (halving - 1))) +
                "; the device takes " + Count(options.MaxPieces) + ").");
    }

    const std::string image =
        row.ImageExtension
            ? std::filesystem::path(output).replace_extension(row.ImageExtension).string()
            : output;
    Loop loop(&task, progress, std::move(stop), result.Tiles);
    PartFile part(image + ".part");
    const std::unique_ptr<StripWriter> writer = row.Image(
        {part.Path(), static_cast<std::uint32_t>(result.Width),
         static_cast<std::uint32_t>(result.Height), &task, options.Quality, result.Halvings});
    const bool complete = WriteStrips(loop, *writer);
    result.Missing = loop.Missing;
    result.NotTiles = loop.NotTiles;
    if (!complete) {
        result.Cancelled = true;
        return result;
    }
    // The files beside it first: a failure leaves the old image with them whole.
    const std::vector<std::string> beside =
        row.Beside ? row.Beside(image, task, result.Width, result.Height)
                   : std::vector<std::string>();
    part.MoveTo(image);
    result.Files.push_back(image);
    result.Files.insert(result.Files.end(), beside.begin(), beside.end());
    // The output first, also where it is a file beside the image (OziExplorer's .map).
    std::stable_partition(result.Files.begin(), result.Files.end(),
                          [&output](const std::string& file) { return file == output; });
    return result;
}

// The tasks' tiles as they are, every zoom level of them, into one archive.
CombineResult CombineArchive(const std::vector<std::string>& projectFiles,
                             const std::string& output, const FormatRow& row,
                             const ProgressFunction& progress, std::stop_token stop) {
    namespace fs = std::filesystem;
    const bool folder = std::string_view(row.Extension) == "/";
    std::string target = output;
    while (folder && target.size() > 1 && target.back() == '/')
        target.pop_back();
    std::error_code ec;
    if (folder && fs::exists(target, ec) &&
        !(fs::is_directory(target, ec) && fs::is_empty(target, ec)))
        throw Exception("The folder " + target +
                        " exists and is not empty: a tile tree goes into a new folder.");
    const Tasks tasks = ReadTasks(projectFiles);
    CombineResult result;
    result.Tiles = TileTotal(tasks);
    const ArchiveInfo info = ArchiveInfoOf(tasks);

    // Built beside its place and moved there whole, so a failed or cancelled run leaves nothing.
    PartFile part(target + ".part");
    const std::unique_ptr<TileArchive> archive = row.Archive(part.Path(), info);
    Loop loop(nullptr, progress, std::move(stop), result.Tiles);
    const auto add = [&](const DownloadTask& task, int x, int y) {
        archive->AddTile(task.Params->Zoom, x, y, loop.Bytes, task.TilePath(x, y));
    };
    const bool complete = archive->Order() == TileOrder::Hilbert
                              ? EachTaskTileAlongTheCurve(tasks, loop, add)
                              : EachTaskTile(tasks, loop, add);
    result.Missing = loop.Missing;
    result.NotTiles = loop.NotTiles;
    if (!complete) {
        result.Cancelled = true;
        return result;
    }
    archive->Finish();
    if (folder)
        fs::remove(target, ec); // an empty folder of the name
    part.MoveTo(target);
    result.Notes = archive->Notes();
    if (folder) {
        result.Files.push_back(target + "/");
        result.Files.push_back(target + "/tilejson.json");
        if (result.Notes.empty())
            result.Files.push_back(target + "/index.html");
    } else {
        result.Files.push_back(target);
    }
    return result;
}

} // namespace

CombineResult Combine(const std::vector<std::string>& projectFiles, const std::string& output,
                      const CombineOptions& options, const ProgressFunction& progress,
                      std::stop_token stop) {
    if (projectFiles.empty())
        throw Exception("No task to combine.");
    for (const std::string& project : projectFiles)
        RefuseOutputInTask(project, output);
    const std::optional<OutputFormat> format =
        options.Format ? options.Format : FormatOfOutput(output);
    if (!format)
        throw Exception("The output " + output + " must end in " + ExtensionsText() +
                        ": its extension names the format.");
    const FormatRow& row = RowOf(*format);
    if (row.Archive)
        return CombineArchive(projectFiles, output, row, progress, std::move(stop));
    if (projectFiles.size() > 1)
        throw Exception("The output " + output +
                        " is one picture of one task; several tasks go "
                        "into a file that keeps tiles (MBTiles, OsmAnd, Locus, PMTiles) or a "
                        "tile tree.");
    return CombineImage(projectFiles.front(), output, row, options, progress, std::move(stop));
}

CombineResult CombineTask(const std::string& projectFile, const std::string& output,
                          const ProgressFunction& progress, std::stop_token stop) {
    return Combine({projectFile}, output, {}, progress, std::move(stop));
}

CombineResult CombineTasks(const std::vector<std::string>& projectFiles, const std::string& output,
                           const ProgressFunction& progress, std::stop_token stop) {
    return Combine(projectFiles, output, {}, progress, std::move(stop));
}

CombineResult CombineXyz(const std::vector<std::string>& projectFiles, const std::string& folder,
                         const ProgressFunction& progress, std::stop_token stop) {
    CombineOptions options;
    options.Format = OutputFormat::Xyz;
    return Combine(projectFiles, folder, options, progress, std::move(stop));
}

} // namespace quarrow::combiner
