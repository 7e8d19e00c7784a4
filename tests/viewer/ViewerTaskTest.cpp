// The viewer's task: read through the engine without touching the disk, tiles told apart by their
// files, counted, and kept decoded within a bound.
#include "viewer/ViewerTask.h"

#include <filesystem>
#include <stop_token>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "SampleTask.h"
#include "tests/support/TempDir.h"
#include "viewer/TaskScanner.h"
#include "mapview/TileCache.h"
#include "viewer/TileLoader.h"
#include "viewer/TileAge.h"
#include "store/TileFile.h"
#include "store/TileRecords.h"

namespace quarrow::viewer {
namespace {

using test::FolderEntries;
using test::TempDir;

const std::string BlankBytes = "\x89PNG not really, but the blank image's bytes";

TEST(ViewerTask, CountsPresentBlankAndMissingTilesOfATaskWrittenByTheEngine) {
    TempDir dir;
    const test::SampleTask sample = test::WriteSampleTask(dir.Path(), BlankBytes);
    const ViewerTask task(sample.ProjectFile);
    EXPECT_EQ((TileBox{6742, 3101, 6747, 3107}), task.Range());
    EXPECT_EQ(13, task.Zoom());
    EXPECT_EQ(dir.Path() + "sample/zavm_6742_3101_13.png", task.TilePath(6742, 3101));

    int reports = 0;
    const TileCounts counts =
        CountTiles(task, BlankBytes, {}, [&reports](const TileCounts&) { ++reports; });
    EXPECT_EQ((TileCounts{38, 1, 3}), counts);
    EXPECT_GE(reports, 1);
    // Without a blank image nothing is blank.
    EXPECT_EQ((TileCounts{39, 0, 3}), CountTiles(task, "", {}));
    // A stop before the first tile leaves the counts empty.
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(TileCounts{}, CountTiles(task, BlankBytes, stop.get_token()));

    std::string bytes;
    EXPECT_EQ(TileState::Missing, ReadTile(task.TilePath(6745, 3104), BlankBytes, &bytes));
    EXPECT_EQ(TileState::Blank, ReadTile(task.TilePath(6746, 3102), BlankBytes, &bytes));
    EXPECT_EQ(TileState::Present, ReadTile(task.TilePath(6743, 3102), BlankBytes, &bytes));
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
    // A FIFO at a tile's name is not waited on, a link to a device not read without end.
    const std::string odd = task.TilePath(6745, 3104);
    ASSERT_EQ(0, ::mkfifo(odd.c_str(), 0600));
    EXPECT_EQ(TileState::Missing, ReadTile(odd, BlankBytes, &bytes));
    std::filesystem::remove(odd);
    std::filesystem::create_symlink("/dev/zero", odd);
    EXPECT_EQ(TileState::Missing, ReadTile(odd, BlankBytes, &bytes));
    std::filesystem::remove(odd);

    // Loaded at a smaller size, a tile is decoded and scaled; a blank one carries the blank image
    // (which here does not decode).
    const CachedTile small = LoadTile(task, BlankBytes, {6743, 3102, 64});
    EXPECT_EQ(TileState::Present, small.State);
    EXPECT_EQ(QSize(64, 64), small.Image.size());
    EXPECT_EQ(TileState::Blank, LoadTile(task, BlankBytes, {6746, 3102, 256}).State);
    EXPECT_EQ(TileState::Missing, LoadTile(task, BlankBytes, {6742, 3101, 256}).State);

    // The overview: a missing tile's cells in the missing colour, a present one's drawn.
    const OverviewGrid grid = OverviewGridFor(task.Range());
    QImage overview(grid.Width, grid.Height, QImage::Format_RGB32);
    overview.fill(MissingColour);
    ASSERT_TRUE(BuildOverview(task, BlankBytes, grid, overview, {}));
    EXPECT_EQ(MissingColour, overview.pixel(3, 3));
    EXPECT_EQ(LoadTile(task, BlankBytes, {6743, 3102, 16}).Image.pixel(8, 8),
              overview.pixel(16 + 8, 16 + 8));
}

TEST(ViewerTask, OpeningCreatesNothingAndAMissingTileFolderMeansEveryTileMissing) {
    TempDir dir;
    auto params = std::make_shared<TaskParams>();
    params->LeftLongitude = -180;
    params->RightLongitude = -179.9;
    params->TopLatitude = 10;
    params->BottomLatitude = 9.9;
    params->Zoom = 12;
    params->SavePath = dir.Path();
    params->ProjectName = "far.zav";
    {
        const DownloadTask writer(params);
        writer.WriteProjectFile();
    }
    std::filesystem::remove(dir.Path() + "far");
    const auto before = FolderEntries(dir.Path());

    const ViewerTask task(dir.Path() + "far.zav");
    const TileCounts counts = CountTiles(task, BlankBytes, {});
    EXPECT_EQ(0, counts.Present + counts.Blank);
    EXPECT_EQ(task.Range().Columns() * task.Range().Rows(), counts.Missing);
    EXPECT_EQ(before, FolderEntries(dir.Path()));

    EXPECT_THROW(ViewerTask(dir.Path() + "absent.zav"), std::exception);
}

TEST(TileCache, KeepsTheMostRecentlyUsedWithinItsBytes) {
    const auto tile = [](int side) {
        CachedTile t;
        t.State = TileState::Present;
        t.Image = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
        return t;
    };
    const std::size_t one = 256 * 256 * 4 + 96;
    TileCache cache(3 * one);
    cache.Put({1, 1, 256}, tile(256));
    cache.Put({2, 1, 256}, tile(256));
    cache.Put({3, 1, 256}, tile(256));
    EXPECT_EQ(3 * one, cache.Bytes());
    ASSERT_NE(nullptr, cache.Find({1, 1, 256})); // now the most recent
    cache.Put({4, 1, 256}, tile(256));
    EXPECT_EQ(nullptr, cache.Find({2, 1, 256}));
    EXPECT_NE(nullptr, cache.Find({1, 1, 256}));
    EXPECT_NE(nullptr, cache.Find({4, 1, 256}));
    EXPECT_EQ(nullptr, cache.Find({1, 1, 64})); // another size is another entry
    // Replacing an entry does not count it twice; missing tiles cost little.
    cache.Put({4, 1, 256}, tile(256));
    EXPECT_EQ(3 * one, cache.Bytes());
    for (int i = 0; i < 1000; ++i)
        cache.Put({i, 9, 16}, CachedTile{});
    EXPECT_LE(cache.Bytes(), cache.MaxBytes());
    // One entry larger than the bound is still kept, alone.
    TileCache tiny(10);
    tiny.Put({0, 0, 256}, tile(256));
    EXPECT_EQ(1u, tiny.Count());
}


TEST(TileAge, BandsWordsAndTheTimeOfATile) {
    constexpr std::int64_t Hour = 3600, Day = 24 * Hour;
    const std::pair<std::int64_t, std::size_t> bands[] = {
        {-50, 0},          {Day - 1, 0},       {Day, 1},         {7 * Day, 2},
        {30 * Day - 1, 2}, {30 * Day, 3},      {200 * Day, 4},   {365 * Day, 5},
        {INT64_MAX, 5},
    };
    for (const auto& [age, band] : bands)
        EXPECT_EQ(band, AgeBandOf(age)) << age;
    EXPECT_EQ(6u, AgeBands().size());
    EXPECT_EQ("fetched just now", AgeText(59));
    EXPECT_EQ("fetched 1 minute ago", AgeText(60));
    EXPECT_EQ("fetched 5 hours ago", AgeText(5 * Hour + 59));
    EXPECT_EQ("fetched 20 days ago", AgeText(20 * Day));
    EXPECT_EQ("fetched 3 months ago", AgeText(95 * Day));
    EXPECT_EQ("fetched 2 years ago", AgeText(800 * Day));

    // The record's time when the task keeps one, else the file's.
    test::TempDir folder;
    const std::string tile = folder.Path() + "t.png";
    test::WriteFileBytes(tile, "png");
    ASSERT_TRUE(SetTileFileTime(tile, 1'700'000'000));
    TileRecords records(folder.Path() + "t_tiles.db", TileRecords::Access::Write);
    records.Put({5, 6, 1'750'000'000, 0, "", "", 0});
    EXPECT_EQ(1'750'000'000, FetchTime(&records, tile, 5, 6));
    EXPECT_EQ(1'700'000'000, FetchTime(&records, tile, 6, 5));
    EXPECT_EQ(1'700'000'000, FetchTime(nullptr, tile, 5, 6));
    EXPECT_EQ(std::nullopt, FetchTime(nullptr, tile + ".gone", 5, 6));
}

} // namespace
} // namespace quarrow::viewer
