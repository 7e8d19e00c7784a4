// Eight workers fetch a task from the local tile service: every tile file holds exactly the bytes
// that the service serves for it.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/Unit3.h"
#include "engine/Commonfunc.h"
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

INSTANTIATE_TEST_SUITE_P(MapTypes, EndToEnd,
                         ::testing::Values(MapCase{17, MapKind::Normal, "zavm"},
                                           MapCase{18, MapKind::Satellite, "zavs"},
                                           MapCase{19, MapKind::Terrain, "zavt"}),
                         [](const auto& testInfo) { return std::string(testInfo.param.Prefix); });

} // namespace
} // namespace quarrow
