// The download task: tile range, tile addressing and the files written when a task starts.
#include "Unitclasstask.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "TileFormat.h"
#include "geo/Commonfunc.h"
#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "ImageHeader.h"
#include "base/NumberText.h"
#include "ProfileFile.h"
#include "SourcesFile.h"
#include "store/TextFile.h"
#include "base/TextRules.h"

namespace quarrow {
namespace {

struct MapType {
    int Code;
    std::string_view UrlPath;
    std::string_view Prefix;
    std::string_view Extension;
};

constexpr MapType MapTypes[] = {
    {17, "/maptiler/v2/maptile/newest/normal.day/", "zavm", "png"},
    {18, "/maptiler/v2/maptile/newest/satellite.day/", "zavs", "png"},
    {19, "/maptiler/v2/maptile/newest/terrain.day/", "zavt", "png"},
};

// The system never produces another code; one that is hand-made gets the first row.
const MapType& MapTypeOf(int code) {
    for (const MapType& type : MapTypes)
        if (type.Code == code)
            return type;
    return MapTypes[0];
}

void AppendInt(std::string& out, long long value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// The one form of a tile file name: prefix, "_", column, "_", row, "_", zoom, ".", extension.
void AppendNameHead(std::string& out, const MapType& type, int x) {
    out += type.Prefix;
    out += '_';
    AppendInt(out, x);
    out += '_';
}

void AppendNameTail(std::string& out, int y, int zoom, std::string_view extension) {
    AppendInt(out, y);
    out += '_';
    AppendInt(out, zoom);
    out += '.';
    out += extension;
}

// Reads a number up to the separator that must follow it and moves past both.
bool TakeNumber(std::string_view& text, char separator, int& value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr == text.data() + text.size() ||
        *result.ptr != separator)
        return false;
    text.remove_prefix(static_cast<std::size_t>(result.ptr - text.data()) + 1);
    return true;
}

std::string IntText(long long value) {
    std::string out;
    AppendInt(out, value);
    return out;
}

constexpr std::string_view ListHeading = "ImageFileName    Left_Edge_Longitude    "
                                         "Right_Edge_Longitude   Top_Edge_Latitude      "
                                         "Bottom_Edge_Latitude";
// Row texts are kept for a range up to this size (2^18 rows at zoom 18, and one more); a larger
// range only comes from latitudes beyond the projection's limit and is composed line by line.
constexpr long long MaxCachedRows = (1LL << 18) + 1;

// The texts of the rows first..last, each composed once by compose(out, y) when the range is
// small enough to keep.
template <typename Compose> class RowTexts {
public:
    RowTexts(long long first, long long last, Compose compose)
        : m_first(first), m_compose(std::move(compose)) {
        if (last - first + 1 > MaxCachedRows)
            return;
        m_offsets.reserve(static_cast<std::size_t>(last - first + 2));
        for (long long y = first; y <= last; ++y) {
            m_offsets.push_back(m_texts.size());
            m_compose(m_texts, y);
        }
        m_offsets.push_back(m_texts.size());
    }

    void Append(std::string& out, long long y) const {
        if (m_offsets.empty()) {
            m_compose(out, y);
            return;
        }
        const auto i = static_cast<std::size_t>(y - m_first);
        out.append(m_texts, m_offsets[i], m_offsets[i + 1] - m_offsets[i]);
    }

private:
    long long m_first;
    Compose m_compose;
    std::string m_texts;
    std::vector<std::size_t> m_offsets;
};

std::string TooLargeMessage(std::string_view tileCount) {
    return "The area holds " + std::string(tileCount) + " tiles: the task is too large (at most " +
           IntText(INT_MAX) + ").";
}

} // namespace

std::string ProjectAreaFile(const std::string& projectFile) {
    const std::string file = ProfileFile(projectFile).ReadStringInAnySection("Area", "File", "");
    if (file.empty())
        return file;
    // Beside the project file, whatever folder the task has moved to.
    return SplitFolder(projectFile).first + SplitFolder(file).second;
}

std::shared_ptr<const AreaShape> ReadProjectShape(const std::string& projectFile) {
    const std::string path = ProjectAreaFile(projectFile);
    if (path.empty())
        return nullptr;
    const ProfileFile project(projectFile);
    std::string text;
    if (!ReadWholeFile(path, text))
        throw ReadError(path);
    try {
        const std::optional<double> corridor =
            ParseCoordinate(project.ReadStringInAnySection("Area", "Corridor", ""));
        AreaShape shape = ShapeFromGeoJson(text, corridor.value_or(DefaultCorridorKm));
        // As stored for its task: a Start at its zoom level compares it unchanged.
        shape.SimplifiedAt = std::max(0, project.ReadInteger("Zoom", "Zoom", 0));
        return std::make_shared<const AreaShape>(std::move(shape));
    } catch (const Exception& error) {
        throw Exception("The area file " + path + " is not usable: " + error.Message() + ".");
    }
}

TaskParams ReadTaskParams(const std::string& projectFile) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(projectFile, ec))
        throw ReadError(projectFile);
    // A power cut before its bytes reached the disk leaves the name with nothing in it.
    if (std::filesystem::file_size(projectFile, ec) == 0 && !ec)
        throw Exception("The project file of " + ProjectBaseName(SplitFolder(projectFile).second) +
                        " is empty: the disk lost it. Start the task anew with the same entries; "
                        "the tiles on disk are kept and checked.");
    const ProfileFile project(projectFile);
    TaskParams params;
    auto [folder, name] = SplitFolder(projectFile);
    params.SavePath = folder.empty() ? "./" : std::move(folder);
    params.ProjectName = std::move(name);
    params.MapsType = project.ReadInteger("MapsType", "MapsType", 0);
    params.Zoom = project.ReadInteger("Zoom", "Zoom", 0);
    double* const fields[] = {&params.LeftLongitude, &params.RightLongitude, &params.TopLatitude,
                              &params.BottomLatitude};
    const char* const keys[] = {"LeftLongitude", "RightLongitude", "TopLatitude", "BottomLatitude"};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<double> value =
            ParseCoordinate(project.ReadString("AREA", keys[i], ""));
        if (!value)
            throw Exception(projectFile + " is not a task's project file: \"" + keys[i] +
                            "\" is not a number.");
        *fields[i] = *value;
    }
    params.Source = ReadProjectSource(projectFile, params.MapsType);
    params.Shape = ReadProjectShape(projectFile);
    return params;
}

void CheckZoomLevel(int zoom) {
    if (zoom < MinZoomLevel || zoom > MaxZoomLevel)
        throw Exception("Zoom level must be between 1 and 18.");
}

namespace {

// The characters of the decimal numbers first..last together.
unsigned long long DigitsFrom(long long first, long long last) {
    unsigned long long total = 0;
    for (long long n = first; n <= last && n < 0; ++n)
        total += IntText(n).size();
    long long from = std::max(first, 0LL);
    for (long long width = 1, limit = 10; from <= last; ++width, limit *= 10) {
        if (from >= limit)
            continue;
        const long long to = std::min(last, limit - 1);
        total +=
            static_cast<unsigned long long>(to - from + 1) * static_cast<unsigned long long>(width);
        from = to + 1;
    }
    return total;
}

} // namespace

unsigned long long TileListBytes(const TileRange& range, int zoom, int mapsType,
                                 std::string_view extension, const TileCoverage* coverage) {
    const MapType& type = MapTypeOf(mapsType);
    const auto columns =
        static_cast<unsigned long long>(static_cast<long long>(range.MaxX) - range.MinX + 1);
    const auto rows =
        static_cast<unsigned long long>(static_cast<long long>(range.MaxY) - range.MinY + 1);
    // A line: the file name ("_" three times, "." once), ": ", four edges of 20 characters with a
    // blank between each, CR LF.
    const unsigned long long fixed =
        type.Prefix.size() + 4 + IntText(zoom).size() + extension.size() + 2 + 4 * 20 + 3 + 2;
    if (coverage) {
        unsigned long long bytes = ListHeading.size() + 2;
        for (long long x = range.MinX; x <= range.MaxX; ++x) {
            for (const auto& [first, last] : coverage->Runs(static_cast<int>(x))) {
                const auto tiles = static_cast<unsigned long long>(last - first + 1);
                bytes += tiles * (fixed + DigitsFrom(x, x)) + DigitsFrom(first, last);
            }
        }
        return bytes;
    }
    return ListHeading.size() + 2 + columns * rows * fixed +
           DigitsFrom(range.MinX, range.MaxX) * rows + DigitsFrom(range.MinY, range.MaxY) * columns;
}


DownloadTask::DownloadTask(std::shared_ptr<TaskParams> params)
    : DownloadTask(std::move(params), true) {}

DownloadTask::DownloadTask(std::shared_ptr<TaskParams> params, ReadOnly)
    : DownloadTask(std::move(params), false) {}

DownloadTask::DownloadTask(std::shared_ptr<TaskParams> params, bool createTileFolder)
    : Params(std::move(params)),
      m_extension(Params->Source ? Params->Source->Format
                                 : std::string(MapTypeOf(Params->MapsType).Extension)) {
    const TaskParams& p = *Params;
    CheckZoomLevel(p.Zoom);

    const TileRange range =
        CoveringTiles(p.LeftLongitude, p.RightLongitude, p.TopLatitude, p.BottomLatitude, p.Zoom);
    MinX = range.MinX;
    MaxX = range.MaxX;
    MinY = range.MinY;
    MaxY = range.MaxY;

    LeftLongitudeDownload = TileXToLon(MinX, p.Zoom);
    RightLongitudeDownload = TileXToLon(static_cast<double>(MaxX) + 1, p.Zoom);
    TopLatitudeDownload = TileYToLat(range.TopRow, p.Zoom);
    BottomLatitudeDownload = TileYToLat(static_cast<double>(range.BottomRow) + 1, p.Zoom);

    if (MaxX < MinX)
        throw Exception("The area holds no tiles: the right longitude lies west of the left.");
    const unsigned long long count = range.Count();
    if (count > static_cast<unsigned long long>(INT_MAX))
        throw Exception(
            TooLargeMessage(count == ULLONG_MAX ? "18446744073709551616" : std::to_string(count)));
    TileCount = static_cast<int>(count);

    const TaskFiles files = TaskFilesOf(p.SavePath, p.ProjectName);
    LogFile = files.Log;
    FailedFile = files.Failed;
    TileFolder = files.TileFolder;
    ListFile = files.List;
    if (p.Shape) {
        AreaFile = files.Area;
        Coverage =
            p.Coverage ? p.Coverage : std::make_shared<TileCoverage>(*p.Shape, p.Zoom, range);
        if (Coverage->Count() == 0)
            throw Exception("The area's shape covers no tile at zoom level " + IntText(p.Zoom) +
                            ".");
        TileCount = static_cast<int>(Coverage->Count());
    }

    // One level only: the save folder exists already.
    std::error_code ec;
    if (createTileFolder && !std::filesystem::is_directory(TileFolder, ec)) {
        std::filesystem::create_directory(TileFolder, ec);
        if (ec || !std::filesystem::is_directory(TileFolder, ec))
            throw Exception("Create directory " + TileFolder + " Failed.");
    }

    // Slots 0..7 are the task's workers (WorkerSlots, at most 8); the record has 16, of which
    // the others stay 0 for ever.
    for (std::size_t slot = 0; slot < 8; ++slot) {
        ResumeX[slot] = 0;
        ResumeY[slot] = 0;
    }
    if (createTileFolder && p.Resume) {
        const ProfileFile project(ProjectFile());
        const int slots = std::min(p.ThreadCount, static_cast<int>(ResumeX.size()));
        for (int i = 0; i < slots; ++i) {
            const std::string n = std::to_string(i + 1);
            const auto slot = static_cast<std::size_t>(i);
            ResumeX[slot] = project.ReadInteger("THREADS", "T" + n + "X", 0);
            ResumeY[slot] = project.ReadInteger("THREADS", "T" + n + "Y", 0);
        }
    }
}

std::string DownloadTask::ProjectFile() const {
    return Params->SavePath + Params->ProjectName;
}

void DownloadTask::WriteProjectFile() const {
    const TaskParams& p = *Params;
    if (p.Resume)
        return;
    std::vector<std::string> lines = {
        "[MapsType]",
        "MapsType=" + IntText(p.MapsType),
        "",
        "[AREA]",
        "LeftLongitude=" + GeneralNumberText(p.LeftLongitude),
        "RightLongitude=" + GeneralNumberText(p.RightLongitude),
        "TopLatitude=" + GeneralNumberText(p.TopLatitude),
        "BottomLatitude=" + GeneralNumberText(p.BottomLatitude),
        "",
        "Left_Longitude_download=" + GeneralNumberText(LeftLongitudeDownload),
        "Right_Longitude_download=" + GeneralNumberText(RightLongitudeDownload),
        "Top_Latitude_download=" + GeneralNumberText(TopLatitudeDownload),
        "Bottom_Latitude_download=" + GeneralNumberText(BottomLatitudeDownload),
        "",
        "[Zoom]",
        "Zoom=" + IntText(p.Zoom),
        "",
        "[XY]",
        "MinX=" + IntText(MinX),
        "MinY=" + IntText(MinY),
        "MaxX=" + IntText(MaxX),
        "MaxY=" + IntText(MaxY),
        "",
        "[THREADS]",
        "ThreadCount=" + IntText(p.ThreadCount),
    };
    for (int n = 1; n <= p.WorkerSlots; ++n) {
        lines.push_back("T" + IntText(n) + "X=");
        lines.push_back("T" + IntText(n) + "Y=");
    }
    lines.emplace_back();
    // A custom source and a shape after the usual lines, so a rectangle task of the built-in
    // source has the file it always had.
    for (std::string& line : ProjectSourceLines(p.Source, p.MapsType))
        lines.push_back(std::move(line));
    if (p.Shape) {
        ReplaceFile(AreaFile, ShapeGeoJson(*p.Shape));
        lines.emplace_back("[Area]");
        lines.push_back("File=" + SplitFolder(AreaFile).second);
        lines.push_back("Corridor=" + GeneralNumberText(p.Shape->CorridorKm, '.'));
        lines.emplace_back();
    }
    SaveLines(ProjectFile(), lines);
}

void DownloadTask::WriteListFile() const {
    if (Params->Resume)
        return;
    const int zoom = Params->Zoom;
    // A line is name head (column), name tail (row), west and east edge (column), north and
    // south edge (row); the parts of the rows are composed once for all columns.
    const RowTexts rowNames(MinY, MaxY, [this](std::string& out, long long y) {
        AppendTileNameTail(out, static_cast<int>(y));
        out += ": ";
    });
    const RowTexts rowEdges(MinY, MaxY, [zoom](std::string& out, long long y) {
        AppendEdgeText(out, TileYToLat(static_cast<double>(y), zoom));
        out += ' ';
        AppendEdgeText(out, TileYToLat(static_cast<double>(y + 1), zoom));
        out += "\r\n";
    });

    // Composing the lines takes about as long as writing them, so the two overlap.
    BackgroundFileReplacer file(ListFile);
    std::string& out = file.Buffer();
    out += ListHeading;
    out += "\r\n";

    std::string head;
    std::string edges;
    double west = TileXToLon(MinX, zoom);
    for (long long x = MinX; x <= MaxX; ++x) {
        head.clear();
        AppendTileNameHead(head, static_cast<int>(x));
        // The east edge of a column is the west edge of the next.
        const double east = TileXToLon(static_cast<double>(x + 1), zoom);
        edges.clear();
        AppendEdgeText(edges, west);
        edges += ' ';
        AppendEdgeText(edges, east);
        edges += ' ';
        west = east;
        const auto writeRows = [&](long long first, long long last) {
            for (long long y = first; y <= last; ++y) {
                out += head;
                rowNames.Append(out, y);
                out += edges;
                rowEdges.Append(out, y);
                file.Written();
            }
        };
        // A shape's task lists the tiles it covers.
        if (Coverage) {
            for (const auto& [first, last] : Coverage->Runs(static_cast<int>(x)))
                writeRows(first, last);
        } else {
            writeRows(MinY, MaxY);
        }
    }
    file.Commit();
}

void DownloadTask::WriteLogHeader() const {
    const TaskParams& p = *Params;
    if (p.Resume) {
        std::vector<std::string> lines = LoadLines(LogFile);
        lines.emplace_back(44, '-');
        lines.emplace_back("Log continue...");
        lines.push_back("Now time is:" + DateTimeText(Now()));
        SaveLines(LogFile, lines);
        return;
    }
    std::vector<std::string> lines;
    lines.push_back("Project: " + ProjectFile());
    lines.push_back("Now time is:" + DateTimeText(Now()));
    lines.emplace_back();
    lines.emplace_back("[MapsType]");
    lines.push_back("MapsType=" + IntText(p.MapsType));
    lines.emplace_back();
    if (p.UseProxy) {
        lines.emplace_back("Using Proxy:");
        lines.push_back("Proxy Server:" + p.ProxyServer);
        lines.push_back("Proxy Port:" + p.ProxyPort);
        lines.push_back("ProxyUsername:" + p.ProxyUsername);
        // The password never goes into a file that is shown and passed around.
        lines.push_back(std::string("ProxyPassword:") +
                        (p.ProxyPassword.empty() ? "" : "********"));
        lines.emplace_back();
    }
    lines.push_back("Left Longitude  input= " + GeneralNumberText(p.LeftLongitude));
    lines.push_back("Right Longitude input= " + GeneralNumberText(p.RightLongitude));
    lines.push_back("Top Latitude    input= " + GeneralNumberText(p.TopLatitude));
    lines.push_back("Bottom Latitude input= " + GeneralNumberText(p.BottomLatitude));
    lines.emplace_back();
    lines.push_back("MinX = " + IntText(MinX));
    lines.push_back("MinY = " + IntText(MinY));
    lines.push_back("MaxX = " + IntText(MaxX));
    lines.push_back("MaxY = " + IntText(MaxY));
    lines.emplace_back();
    lines.push_back("Left Longitude  download=" + GeneralNumberText(LeftLongitudeDownload));
    lines.push_back("Right Longitude download=" + GeneralNumberText(RightLongitudeDownload));
    lines.push_back("Top Latitude    download=" + GeneralNumberText(TopLatitudeDownload));
    lines.push_back("Bottom Latitude download=" + GeneralNumberText(BottomLatitudeDownload));
    lines.emplace_back();
    lines.push_back("All images' scope information are saved to " + ListFile);
    lines.emplace_back();
    lines.push_back("Total count of images would be downloaded: " + IntText(TileCount));
    lines.emplace_back();
    lines.push_back("Download threads count: " + IntText(p.ThreadCount));
    lines.emplace_back();
    lines.push_back("Zoom level: " + IntText(p.Zoom));
    lines.emplace_back();
    lines.push_back("path: " + p.SavePath);
    lines.emplace_back();
    lines.emplace_back("Start downloading...");
    lines.emplace_back(34, '~');
    SaveLines(LogFile, lines);
}

void DownloadTask::CreateFailedFile() const {
    if (Params->Resume)
        return;
    SaveLines(FailedFile, {});
}

std::string BuiltInTileUrl(const std::string& serviceHost, int mapsType, int zoom, int x, int y) {
    std::string url = "http://" + serviceHost;
    url += MapTypeOf(mapsType).UrlPath;
    AppendInt(url, zoom);
    url += '/';
    AppendInt(url, x);
    url += '/';
    AppendInt(url, y);
    url += "/256/png8";
    return url;
}

std::string DownloadTask::TileUrl(int x, int y) const {
    if (const auto& source = Params->Source)
        return ExpandTemplate(source->Templates[static_cast<std::size_t>(MapIndex())], Params->Zoom,
                              x, y, source->Subdomains);
    return BuiltInTileUrl(Params->ServiceHost, Params->MapsType, Params->Zoom, x, y);
}

void DownloadTask::AppendTileNameHead(std::string& out, int x) const {
    AppendNameHead(out, MapTypeOf(Params->MapsType), x);
}

void DownloadTask::AppendTileNameTail(std::string& out, int y) const {
    AppendNameTail(out, y, Params->Zoom, m_extension);
}

void DownloadTask::AppendTileFileName(std::string& out, int x, int y) const {
    AppendTileNameHead(out, x);
    AppendTileNameTail(out, y);
}

std::string DownloadTask::TileFileName(int x, int y) const {
    std::string name;
    AppendTileFileName(name, x, y);
    return name;
}

std::string DownloadTask::TilePath(int x, int y) const {
    std::string path = TileFolder;
    AppendTileFileName(path, x, y);
    return path;
}

std::optional<TileName> ParseTileFileName(std::string_view name) {
    for (const MapType& type : MapTypes) {
        std::string_view rest = name;
        if (!rest.starts_with(type.Prefix) || rest.substr(type.Prefix.size(), 1) != "_")
            continue;
        rest.remove_prefix(type.Prefix.size() + 1);
        TileName tile;
        if (!TakeNumber(rest, '_', tile.X) || !TakeNumber(rest, '_', tile.Y) ||
            !TakeNumber(rest, '.', tile.Zoom))
            continue;
        if (tile.Zoom < MinZoomLevel || tile.Zoom > MaxZoomLevel)
            continue;
        // Composed again, so that only the plain decimal form passes ("07", "+7" and "-0" not).
        for (const TileFormatRow& format : TileFormats()) {
            std::string composed;
            AppendNameHead(composed, type, tile.X);
            AppendNameTail(composed, tile.Y, tile.Zoom, format.Extension);
            if (composed == name) {
                tile.MapsType = type.Code;
                return tile;
            }
        }
    }
    return std::nullopt;
}

bool IsTileFileName(std::string_view name) {
    return ParseTileFileName(name).has_value();
}

std::string DownloadTask::TileExtension() const {
    return m_extension;
}

int DownloadTask::TileSide() const {
    return Params->Source ? Params->Source->TileSize : 256;
}

std::optional<std::string> DownloadTask::TileFault(std::string_view bytes) const {
    return TileImageFault(bytes, TileExtension(), Params->Source ? TileSide() : 0);
}

int DownloadTask::MapIndex() const {
    return std::clamp(Params->MapsType - 17, 0, 2);
}

std::pair<int, int> DownloadTask::TileAt(int sequenceNumber) const {
    const long long rows = static_cast<long long>(MaxY) - MinY + 1;
    return {static_cast<int>(MinX + (sequenceNumber - 1LL) / rows),
            static_cast<int>(MinY + (sequenceNumber - 1LL) % rows)};
}

int DownloadTask::TileSequenceNumber(int x, int y) const {
    // Only a tile outside the range can leave int; it is clamped rather than wrapped.
    long long number = 0;
    if (__builtin_mul_overflow(static_cast<long long>(x) - MinX,
                               static_cast<long long>(MaxY) - MinY + 1, &number))
        return x < MinX ? INT_MIN : INT_MAX;
    if (__builtin_add_overflow(number, static_cast<long long>(y) - MinY + 1, &number))
        return INT_MAX;
    return static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
}

long long DownloadTask::SlotTilesUpTo(int sequenceNumber, int slot) const {
    const int workers = Params->ThreadCount;
    if (Coverage)
        return Coverage->CountUpTo(sequenceNumber, workers, slot);
    return WorkersTilesUpTo(sequenceNumber, workers, slot);
}

int DownloadTask::ResumePoint(int slot) const {
    if (slot < 0 || slot >= static_cast<int>(ResumeX.size()))
        return 0;
    const auto i = static_cast<std::size_t>(slot);
    if (ResumeX[i] == 0 || ResumeY[i] == 0)
        return 0;
    return TileSequenceNumber(ResumeX[i], ResumeY[i]);
}

} // namespace quarrow
