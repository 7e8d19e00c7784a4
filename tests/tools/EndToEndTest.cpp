// Eight workers fetch a task from the local tile service: every tile file holds exactly the bytes
// that the service serves for it.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/Unit3.h"
#include "geo/Commonfunc.h"
#include "engine/ProfileFile.h"
#include "store/TextFile.h"
#include "engine/Unitclasstask.h"
#include "tests/download/RecordingHost.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/TileRenderer.h"
#include "tools/tileservice/TileService.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::RecordingHost;
using test::TempDir;
using tileservice::MapKind;

struct MapCase {
    int MapsType;
    MapKind Kind;
    const char* Prefix;
};

void PrintTo(const MapCase& c, std::ostream* out) {
    *out << c.Prefix;
}

class EndToEnd : public ::testing::TestWithParam<MapCase> {};

constexpr int Zoom = 12;
constexpr int X0 = 2141;
constexpr int Y0 = 1420;

// A tile service on a free port, a save folder and a program folder with its blank image.
struct ServedTasks {
    explicit ServedTasks(const tileservice::ServiceOptions& options)
        : service(OnFreePort(options)) {
        std::filesystem::create_directory(exe.Path() + "blankimg");
        test::WriteFileBytes(exe.Path() + "blankimg/blank.png", "blank");
    }

    // The task of the columns X0.. and rows Y0.. at Zoom.
    std::shared_ptr<DownloadTask> MakeTask(int columns, int rows, int mapsType) const {
        auto params = std::make_shared<TaskParams>();
        params->LeftLongitude = TileXToLon(X0 + 0.5, Zoom);
        params->RightLongitude = TileXToLon(X0 + columns - 0.5, Zoom);
        params->TopLatitude = TileYToLat(Y0 + 0.5, Zoom);
        params->BottomLatitude = TileYToLat(Y0 + rows - 0.5, Zoom);
        params->Zoom = Zoom;
        params->MapsType = mapsType;
        params->SavePath = save.Path();
        params->ProjectName = "e2e.zav";
        params->ServiceHost = "127.0.0.1:" + std::to_string(service.Port());
        return std::make_shared<DownloadTask>(params);
    }

    static tileservice::ServiceOptions OnFreePort(tileservice::ServiceOptions options) {
        options.Port = 0;
        return options;
    }

    tileservice::TileService service;
    TempDir save;
    TempDir exe;
};

TEST_P(EndToEnd, EightWorkersFetchEveryTileByteForByte) {
    const MapCase& map = GetParam();
    ServedTasks served{tileservice::ServiceOptions{}};
    const auto task = served.MakeTask(3, 3, map.MapsType);
    const TempDir& save = served.save;
    ASSERT_EQ(9, task->TileCount);
    ASSERT_EQ(8, task->Params->ThreadCount);

    RecordingHost host(served.exe.Path());
    {
        std::vector<std::unique_ptr<TDownThread>> workers;
        for (int slot = 0; slot < 8; ++slot)
            workers.push_back(std::make_unique<TDownThread>(slot, task, host));
        const bool ended = host.WaitForWorkers(8);
        EXPECT_TRUE(ended);
        if (!ended) {
            for (auto& worker : workers)
                worker->Terminate();
        }
    }

    EXPECT_TRUE(host.Failed().empty());
    const std::vector<std::string> log = host.Log();
    EXPECT_EQ(17u, log.size());
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(1, std::count(log.begin(), log.end(), "T" + std::to_string(n) + " Finished."));

    int seq = 0;
    for (int x = X0; x < X0 + 3; ++x) {
        for (int y = Y0; y < Y0 + 3; ++y) {
            ++seq;
            const std::string name = std::string(map.Prefix) + "_" + std::to_string(x) + "_" +
                                     std::to_string(y) + "_" + std::to_string(Zoom) + ".png";
            SCOPED_TRACE(name);
            const std::string png = tileservice::RenderTilePng({map.Kind, Zoom, x, y});
            ASSERT_FALSE(png.empty());
            EXPECT_EQ(png, ReadFileBytes(save.Path() + "e2e/" + name));
            const std::string saved = "T" + std::to_string(seq % 8 + 1) +
                                      ":seq=" + std::to_string(seq) + "," + name + " OK";
            EXPECT_EQ(1, std::count(log.begin(), log.end(), saved));
        }
    }
}

// A service that has none of the tiles: every tile becomes the blank image and none is listed.
TEST(EndToEndFaults, TilesAllAnswered404EndBlankAndUnlisted) {
    tileservice::ServiceOptions options;
    options.Share404 = 1;
    ServedTasks served(options);
    const auto task = served.MakeTask(2, 1, 17);
    task->Params->ThreadCount = 2;
    const TempDir& save = served.save;

    RecordingHost host(served.exe.Path());
    {
        TDownThread first(0, task, host);
        TDownThread second(1, task, host);
        EXPECT_TRUE(host.WaitForWorkers(2));
    }
    EXPECT_TRUE(host.Failed().empty());
    std::vector<std::string> log = host.Log();
    std::sort(log.begin(), log.end());
    const std::string notFound = "Error: the image is not got.404 Not Found";
    EXPECT_EQ((std::vector<std::string>{notFound, notFound, "T1 Finished.",
                                        "T1:2142-1420 got a blank image!", "T2 Finished.",
                                        "T2:2141-1420 got a blank image!"}),
              log);
    for (const char* name : {"zavm_2141_1420_12.png", "zavm_2142_1420_12.png"})
        EXPECT_EQ("blank", ReadFileBytes(save.Path() + "e2e/" + name));
}

// A shape's task: only the covered tiles are listed and fetched; a stop halfway and a resume
// fetch the rest, each once.
TEST(EndToEndShape, AShapesTaskFetchesItsTilesAcrossAResume) {
    ServedTasks served{tileservice::ServiceOptions{}};
    const auto at = [](double x, double y) {
        return GeoPoint{TileXToLon(X0 + x, Zoom), TileYToLat(Y0 + y, Zoom)};
    };
    auto shape = std::make_shared<AreaShape>();
    shape->Polygons = {{{at(0.4, 0.2), at(4.7, 0.6), at(1.2, 4.6)}}};
    const GeoBounds bounds = ShapeBounds(*shape);
    const auto makeTask = [&](bool resume) {
        auto params = std::make_shared<TaskParams>();
        params->LeftLongitude = bounds.West;
        params->RightLongitude = bounds.East;
        params->TopLatitude = bounds.North;
        params->BottomLatitude = bounds.South;
        params->Zoom = Zoom;
        params->ThreadCount = 2;
        params->MapsType = 17;
        params->SavePath = served.save.Path();
        params->ProjectName = "shape.zav";
        params->ServiceHost = "127.0.0.1:" + std::to_string(served.service.Port());
        params->Resume = resume;
        params->Shape = shape;
        return std::make_shared<DownloadTask>(params);
    };
    const auto task = makeTask(false);
    task->WriteProjectFile();
    task->WriteListFile();
    ASSERT_EQ(5 * 5, (task->MaxX - task->MinX + 1) * (task->MaxY - task->MinY + 1));
    const long long covered = task->Coverage->Count();
    ASSERT_LT(covered, 25);
    EXPECT_EQ(covered, task->TileCount);
    EXPECT_EQ(covered + 1,
              static_cast<long long>(SplitLines(ReadFileBytes(task->ListFile)).size()));
    EXPECT_EQ(ShapeGeoJson(*shape), ReadFileBytes(served.save.Path() + "shape_area.geojson"));

    // The first run stops after three saved tiles; the monitor keeps each worker's place.
    test::WorkerHandle first, second;
    RecordingHost host(served.exe.Path());
    std::atomic<int> saved = 0; // counted by both workers
    host.OnSleep = [&](int milliseconds) {
        if (milliseconds == 1000 && ++saved == 3) {
            first.Terminate();
            second.Terminate();
        }
    };
    {
        TDownThread one(0, task, host), two(1, task, host);
        first.Set(&one);
        second.Set(&two);
        ASSERT_TRUE(host.WaitForWorkers(2));
        std::vector<std::pair<std::string, int>> keys;
        for (const TDownThread* worker : {&one, &two}) {
            const auto [x, y] = worker->LastPosition();
            const std::string n = std::to_string(worker->ThreadIndex + 1);
            if (x > 0)
                keys.insert(keys.end(), {{"T" + n + "X", x}, {"T" + n + "Y", y}});
        }
        ProfileFile(task->ProjectFile()).WriteIntegers("THREADS", keys);
    }
    const std::vector<std::string> before = host.Log();
    const auto savedFirst = std::count_if(before.begin(), before.end(),
                                          [](const auto& line) { return line.ends_with(" OK"); });

    const auto resumed = makeTask(true);
    RecordingHost again(served.exe.Path());
    {
        TDownThread one(0, resumed, again), two(1, resumed, again);
        ASSERT_TRUE(again.WaitForWorkers(2));
    }
    // Every covered tile once, in its place; nothing outside the shape.
    std::vector<std::string> log = host.Log();
    const std::vector<std::string> later = again.Log();
    log.insert(log.end(), later.begin(), later.end());
    EXPECT_GE(savedFirst, 3);
    EXPECT_LT(savedFirst, covered);
    long long files = 0;
    for (int x = task->MinX; x <= task->MaxX; ++x) {
        for (int y = task->MinY; y <= task->MaxY; ++y) {
            const std::string name = "zavm_" + std::to_string(x) + "_" + std::to_string(y) + "_" +
                                     std::to_string(Zoom) + ".png";
            const bool inside = task->Coverage->Contains(x, y);
            EXPECT_EQ(inside ? tileservice::RenderTilePng({MapKind::Normal, Zoom, x, y}) : "",
                      ReadFileBytes(served.save.Path() + "shape/" + name))
                << name;
            EXPECT_EQ(inside ? 1 : 0, std::count_if(log.begin(), log.end(),
                                                    [&](const auto& line) {
                                                        return line.ends_with("," + name + " OK");
                                                    }))
                << name;
            files += inside;
        }
    }
    EXPECT_EQ(covered, files);
}

INSTANTIATE_TEST_SUITE_P(MapTypes, EndToEnd,
                         ::testing::Values(MapCase{17, MapKind::Normal, "zavm"},
                                           MapCase{18, MapKind::Satellite, "zavs"},
                                           MapCase{19, MapKind::Terrain, "zavt"}),
                         [](const auto& testInfo) { return std::string(testInfo.param.Prefix); });

} // namespace
} // namespace quarrow
