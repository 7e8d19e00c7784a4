// The download task: the user's entries, the tile range that covers them, tile addressing and the
// task's project, list, log and failed-tile files.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "geo/AreaShape.h"
#include "DateTimeText.h"
#include "ServicePause.h"
#include "store/TaskFiles.h"
#include "TaskUpdate.h"
#include "geo/TileCoverage.h"
#include "geo/TileRange.h"
#include "TileSource.h"

namespace quarrow {

inline constexpr int MinZoomLevel = 1;
inline constexpr int MaxZoomLevel = 18;

// Throws an Exception "Zoom level must be between 1 and 18." for any zoom outside that range.
void CheckZoomLevel(int zoom);

// What a tile file's name says: its map type, column, row and zoom level.
struct TileName {
    int MapsType = 0;
    int X = 0;
    int Y = 0;
    int Zoom = 0;
};

// The tile a file name (without its folder) names when it is one that TileFileName gives for some
// map type, tile, zoom level 1..18 and tile format (png, jpg); anything else is no tile of
// Quarrow's.
std::optional<TileName> ParseTileFileName(std::string_view name);
bool IsTileFileName(std::string_view name);

// The URL of a tile of the built-in source: the service host, the map type's path, the zoom
// level, column and row, the fixed tail.
std::string BuiltInTileUrl(const std::string& serviceHost, int mapsType, int zoom, int x, int y);

// The size in bytes of the tile list that a new task of this range, zoom, map type and tile file
// extension writes; of a shape's task, of the covered tiles only.
unsigned long long TileListBytes(const TileRange& range, int zoom, int mapsType,
                                 std::string_view extension,
                                 const TileCoverage* coverage = nullptr);

// The entries of one task, filled by the Start action and read-only once the task exists.
struct TaskParams {
    double LeftLongitude = 0;
    double RightLongitude = 0;
    double TopLatitude = 0;
    double BottomLatitude = 0;
    int Zoom = 1;
    int ThreadCount = 8;
    int WorkerSlots = 8;
    int MapsType = 17;
    std::string SavePath;    // ends in "/"
    std::string ProjectName; // ends in ".zav"
    bool UseProxy = false;
    std::string ProxyServer;
    std::string ProxyPort; // text as read from the settings; the worker converts it
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool Resume = false;
    std::string ServiceHost = "127.0.0.1:8642"; // host[:port] of the tile service
    // A custom tile source; none for the built-in one, whose URLs and files never change.
    std::optional<TileSource> Source;
    // A CA file trusted beside the system's certificates for https sources; empty for none.
    std::string CaFile;
    // The area of a shape's task, whose rectangle the coordinates are; none for a rectangle task.
    std::shared_ptr<const AreaShape> Shape;
    // The shape's tiles when they are worked out already; the task works them out otherwise.
    std::shared_ptr<const TileCoverage> Coverage;
    // A run that brings the task's tiles up to date instead of downloading them.
    std::optional<UpdateRules> Update;
};

// The entries of an existing task read back from its project file, for the programs that use its
// tiles: folder and name from the path, map type, area, zoom and source from the file (a
// coordinate's decimal separator may be "." or ","). Throws "Unable to read " + path when the file
// cannot be read, and an Exception naming the file when its area or zoom is not a number.
TaskParams ReadTaskParams(const std::string& projectFile);

// The path of the shape's file that a project file's section "Area" names, beside the project
// file; empty for a rectangle task.
std::string ProjectAreaFile(const std::string& projectFile);

// The shape of a project file's section "Area" (its file beside the project file); none for a
// rectangle task. Throws an Exception naming the shape's file when it cannot be read.
std::shared_ptr<const AreaShape> ReadProjectShape(const std::string& projectFile);

class DownloadTask {
public:
    // Keeps the pointer, not a copy: the Start action lowers ThreadCount after construction.
    // Throws an Exception for a zoom outside 1..18 (CheckZoomLevel), for a range that holds no
    // tile or more tiles than an int counts, and "Create directory " + TileFolder + " Failed."
    // when the tile folder cannot be made.
    explicit DownloadTask(std::shared_ptr<TaskParams> params);

    // A task whose tiles are only looked at, never fetched: the same record, but construction
    // creates no folder (a missing tile folder means every tile is missing).
    struct ReadOnly {};
    DownloadTask(std::shared_ptr<TaskParams> params, ReadOnly);

    std::array<int, 16> ResumeX{};
    std::array<int, 16> ResumeY{};
    std::shared_ptr<TaskParams> Params;
    int MinX = 0;
    int MinY = 0;
    int MaxX = 0;
    int MaxY = 0;
    double LeftLongitudeDownload = 0;
    double RightLongitudeDownload = 0;
    double TopLatitudeDownload = 0;
    double BottomLatitudeDownload = 0;
    int TileCount = 0;
    std::string LogFile;
    std::string FailedFile;
    std::string ListFile;
    std::string TileFolder;
    // A shape's task: its shape's file and the tiles it covers; TileCount counts only those.
    std::string AreaFile;
    std::shared_ptr<const TileCoverage> Coverage;

    // Source of the date and time written into the log; tests replace it.
    Clock Now = SystemNow;

    // When a custom source's service has asked the task's workers to wait; shared by them.
    mutable ServicePause Pause;
    // Set by the first worker that tells of a refused certificate: the task tells it once.
    mutable std::atomic<bool> CertificateRefusalTold{false};

    std::string ProjectFile() const; // SavePath + ProjectName

    // Each write replaces its file whole, or leaves it as it was and throws
    // "Unable to write to " + path.
    void WriteProjectFile() const;
    // Streams the list through buffers of fixed size, written on a second thread while the next
    // is composed: memory does not grow with TileCount.
    void WriteListFile() const;
    void WriteLogHeader() const;
    void CreateFailedFile() const;

    std::string TileUrl(int x, int y) const;
    std::string TileFileName(int x, int y) const;
    std::string TilePath(int x, int y) const;
    std::string TileExtension() const;
    // Pixels a side of the task's tiles: its source's, 256 for the built-in one.
    int TileSide() const;
    // The one tile check: why the bytes are no whole image of the task's format (and of its side,
    // for a custom source; the built-in service's tiles are taken at any size), or none.
    std::optional<std::string> TileFault(std::string_view bytes) const;

    // Whether the tile is one of the task's: every tile of a rectangle task, the covered ones of
    // a shape's task.
    bool Covers(int x, int y) const noexcept { return !Coverage || Coverage->Contains(x, y); }
    // How many of the task's tiles numbered 1 .. sequenceNumber belong to the worker in the slot.
    long long SlotTilesUpTo(int sequenceNumber, int slot) const;

    // Position of tile (x, y) in column order, counting from 1; TileAt is its inverse.
    int TileSequenceNumber(int x, int y) const;
    std::pair<int, int> TileAt(int sequenceNumber) const;
    // Sequence number of the slot's resume tile, 0 when the slot has none (either coordinate 0).
    int ResumePoint(int slot) const;
    // Whether the tile with this sequence number belongs to the worker in the slot.
    static bool IsWorkersTile(int sequenceNumber, int threadCount, int slot) {
        return quarrow::IsWorkersTile(sequenceNumber, threadCount, slot);
    }
    // How many of the tiles numbered 1 .. sequenceNumber belong to the worker in the slot.
    static int WorkersTilesUpTo(int sequenceNumber, int threadCount, int slot) {
        return static_cast<int>(quarrow::WorkersTilesUpTo(sequenceNumber, threadCount, slot));
    }

private:
    DownloadTask(std::shared_ptr<TaskParams> params, bool createTileFolder);

    // The file name is head(x) + tail(y): the list composes it from parts kept per column and
    // per row.
    void AppendTileNameHead(std::string& out, int x) const;
    void AppendTileNameTail(std::string& out, int y) const;
    void AppendTileFileName(std::string& out, int x, int y) const;
    int MapIndex() const; // the map type as an index 0..2

    std::string m_extension; // of every tile file: the map type's, or the source's format
};

} // namespace quarrow

using quarrow::DownloadTask;
using quarrow::TaskParams;
