// Starting a shape's task against starting a rectangle task of as many tiles: a made-up coastline
// of 10,000 vertices that covers about a million tiles at zoom 15, and a GPX track of 20,000
// points (about 300 km) with a 2 km corridor. A start takes the shape as the map window hands it
// over, works out the tiles, writes the task's four files (the shape's beside them) and syncs the
// list to disk; reading the shape's file, which the map window does when it is opened, is timed
// on its own.
//
// Last line: polygon_ratio=<shape/rectangle> corridor_ratio=<shape/rectangle> rss_mb=<peak RSS>.
// Goals: both ratios <= 2, rss_mb <= 64.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "area/AreaFile.h"
#include "geo/Commonfunc.h"
#include "base/Exception.h"
#include "store/TextFile.h"
#include "engine/Unitclasstask.h"

namespace {

using namespace quarrow;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr int Zoom = 15;
constexpr int Repeats = 5;

struct Start {
    double Ms = 0;
    long long Tiles = 0;
};

void SyncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0)
        throw Exception("Unable to sync " + path);
    ::close(fd);
}

using ShapePointer = std::shared_ptr<const AreaShape>;

// One task's start, of the shape when there is one.
Start StartTask(const std::string& folder, const ShapePointer& shape, double west, double south,
                double east, double north) {
    const auto begin = std::chrono::steady_clock::now();
    auto params = std::make_shared<TaskParams>();
    if (shape) {
        const GeoBounds bounds = ShapeBounds(*shape);
        west = bounds.West;
        south = bounds.South;
        east = bounds.East;
        north = bounds.North;
        params->Shape = shape;
    }
    params->LeftLongitude = west;
    params->RightLongitude = east;
    params->TopLatitude = north;
    params->BottomLatitude = south;
    params->Zoom = Zoom;
    params->MapsType = 18;
    params->SavePath = folder;
    params->ProjectName = "bench.zav";
    const DownloadTask task(params);
    params->ThreadCount = std::min(params->ThreadCount, task.TileCount);
    task.WriteProjectFile();
    task.WriteListFile();
    SyncFile(task.ListFile);
    task.WriteLogHeader();
    task.CreateFailedFile();
    return {Milliseconds(std::chrono::steady_clock::now() - begin).count(), task.TileCount};
}

Start Median(std::vector<Start> starts) {
    std::sort(starts.begin(), starts.end(),
              [](const Start& a, const Start& b) { return a.Ms < b.Ms; });
    return starts[starts.size() / 2];
}

Start Repeated(const std::string& folder, const ShapePointer& shape, double west = 0,
               double south = 0, double east = 0, double north = 0) {
    std::vector<Start> starts;
    for (int i = 0; i < Repeats; ++i)
        starts.push_back(StartTask(folder, shape, west, south, east, north));
    return Median(starts);
}

// The shape in the file, and the time its reading took (the median of the repeats).
ShapePointer Read(const std::string& path, double& ms) {
    std::vector<double> times;
    ShapePointer shape;
    for (int i = 0; i < Repeats; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        shape = std::make_shared<const AreaShape>(ReadAreaFile(path));
        times.push_back(Milliseconds(std::chrono::steady_clock::now() - begin).count());
    }
    std::sort(times.begin(), times.end());
    ms = times[times.size() / 2];
    return shape;
}

// A rectangle of about as many tiles, as nearly square as tiles go, from a tile's corner.
Start RectangleOf(const std::string& folder, long long tiles, double x0, double y0) {
    const auto width = static_cast<long long>(std::llround(std::sqrt(static_cast<double>(tiles))));
    const auto height = (tiles + width / 2) / width;
    // Inside the last tiles by half a tile, so the covering rectangle is exactly width x height.
    return Repeated(folder, nullptr, TileXToLon(x0, Zoom),
                    TileYToLat(y0 + static_cast<double>(height) - 0.5, Zoom),
                    TileXToLon(x0 + static_cast<double>(width) - 0.5, Zoom), TileYToLat(y0, Zoom));
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7f", value);
    return text;
}

// A wobbly island of 10,000 vertices around a tile of zoom 15, about 565 tiles across its radius.
std::string CoastlineGeoJson(double cx, double cy) {
    std::string text = R"({"type":"Polygon","coordinates":[[)";
    constexpr int Vertices = 10000;
    for (int i = 0; i <= Vertices; ++i) {
        const double a = 2 * std::numbers::pi * (i % Vertices) / Vertices;
        const double r = 565 * (1 + 0.12 * std::sin(5 * a) + 0.04 * std::sin(37 * a) +
                                0.015 * std::sin(211 * a + 1));
        const double x = cx + r * std::cos(a), y = cy + r * std::sin(a);
        text += (i > 0 ? ",[" : "[") + Number(TileXToLon(x, Zoom)) + "," +
                Number(TileYToLat(y, Zoom)) + "]";
    }
    return text + "]]}";
}

// A GPS unit's track of 20,000 points 15 m apart, turning gently, in three segments.
std::string TrackGpx(double lon, double lat) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<gpx version=\"1.1\" creator=\"bench\" "
                       "xmlns=\"http://www.topografix.com/GPX/1/1\">\n<trk><name>ride</name>\n";
    std::mt19937 random(7);
    std::normal_distribution<double> turn(0, 0.02);
    double heading = 0.6;
    constexpr int Points = 20000;
    constexpr double Step = 15; // metres
    for (int i = 0; i < Points; ++i) {
        if (i % 7000 == 0)
            text += (i > 0 ? "</trkseg>\n<trkseg>\n" : "<trkseg>\n");
        text += "<trkpt lat=\"" + Number(lat) + "\" lon=\"" + Number(lon) +
                "\"><ele>312.4</ele><time>2026-06-01T08:00:00Z</time></trkpt>\n";
        heading += turn(random);
        lat += Step * std::cos(heading) / 111320;
        lon += Step * std::sin(heading) / (111320 * std::cos(lat * std::numbers::pi / 180));
    }
    return text + "</trkseg>\n</trk>\n</gpx>\n";
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    std::string folder = (fs::temp_directory_path() / "quarrow-area-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    folder += "/";
    int status = 0;
    try {
        const double cx = 16600, cy = 11200; // the North Sea's latitudes
        SaveLines(folder + "coast.geojson", {CoastlineGeoJson(cx, cy)});
        SaveLines(folder + "ride.gpx", {TrackGpx(5.2, 51.3)});

        double coastRead = 0, rideRead = 0;
        const ShapePointer coast = Read(folder + "coast.geojson", coastRead);
        const ShapePointer ride = Read(folder + "ride.gpx", rideRead);
        const Start polygon = Repeated(folder, coast);
        const Start polygonRect = RectangleOf(folder, polygon.Tiles, cx - 600, cy - 600);
        const Start track = Repeated(folder, ride);
        const GeoBounds bounds = ShapeBounds(*ride);
        const long long trackBox =
            CoveringTiles(bounds.West, bounds.East, bounds.North, bounds.South, Zoom).Count();
        const Start trackRect = RectangleOf(folder, track.Tiles, cx - 600, cy - 600);

        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("polygon: tiles=%lld ms=%.1f rectangle tiles=%lld ms=%.1f file read ms=%.1f\n",
                    polygon.Tiles, polygon.Ms, polygonRect.Tiles, polygonRect.Ms, coastRead);
        std::printf("corridor: tiles=%lld (bounding rectangle %lld) ms=%.1f rectangle tiles=%lld "
                    "ms=%.1f file read ms=%.1f\n",
                    track.Tiles, trackBox, track.Ms, trackRect.Tiles, trackRect.Ms, rideRead);
        std::printf("polygon_ratio=%.2f corridor_ratio=%.2f rss_mb=%.1f\n",
                    polygon.Ms / polygonRect.Ms, track.Ms / trackRect.Ms,
                    static_cast<double>(usage.ru_maxrss) / 1024.0);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}
