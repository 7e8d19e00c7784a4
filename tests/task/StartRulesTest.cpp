// The Start action's text rules, the resume test, the estimate's texts and the workers of a
// resumed task.
#include <cstdint>

#include <gtest/gtest.h>

#include "task/StartRules.h"
#include "engine/ProfileFile.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

TEST(StartRules, BoundsAreIncludedAndEqualEdgesAccepted) {
    EXPECT_EQ(std::nullopt, CheckArea(-180, 180, 85, -85));
    EXPECT_EQ(std::nullopt, CheckArea(116.3, 116.3, 39.9, 39.9));
    EXPECT_EQ("Left Longitude should be between -180 and 180.", CheckArea(180.0001, 181, 0, 0));
    EXPECT_EQ("Top Latitude should be between -85 and 85.", CheckArea(0, 0, 85.0001, 0));
}

TEST(StartRules, ProjectNameGetsZavUnlessItEndsSo) {
    EXPECT_EQ("abc.zav", ProjectNameFor("abc"));
    EXPECT_EQ("abc.zav", ProjectNameFor("abc.zav"));
    EXPECT_EQ("abc.ZAV.zav", ProjectNameFor("abc.ZAV"));
    EXPECT_EQ("a.zav/b.zav", ProjectNameFor("a.zav/b"));
    EXPECT_EQ(".zav", ProjectNameFor(".zav"));
}

// A task name goes into file names and the lines of outputs: one that would break a line, that
// is no text, or whose tile folder would take another task's file is refused.
TEST(StartRules, TaskNamesThatWouldBreakALineOrAnotherTaskAreRefused) {
    const std::pair<std::string, std::string> names[] = {
        {"Zürich 2", ""},
        {"lock", ""},
        {"a\r\nMMPXY,1,0,0", "The task name must not hold a line break or another control character."},
        {"tab\there", "The task name must not hold a line break or another control character."},
        {"\xFF\xFE", "The task name must be UTF-8 text."},
        {"t.lock", "The task name must not end in \".lock\": the task \"t\" keeps a file of that name."},
        {"t.lock.zav", "The task name must not end in \".lock\": the task \"t\" keeps a file of that name."},
        {"bj_list.txt", "The task name must not end in \"_list.txt\": the task \"bj\" keeps a file of that name."},
        {"bj_tiles.db", "The task name must not end in \"_tiles.db\": the task \"bj\" keeps a file of that name."},
    };
    for (const auto& [name, fault] : names)
        EXPECT_EQ(fault, CheckTaskName(name).value_or("")) << name;
}

TEST(StartRules, ResumeNeedsTheSameTextsFolderAndName) {
    test::TempDir save;
    test::WriteFileBytes(save.Path() + "t.zav",
                         "[AREA]\r\nLeftLongitude=116.3\r\nRightLongitude=116.5\r\n"
                         "TopLatitude=39.9\r\nBottomLatitude=39.8\r\n[Zoom]\r\nZoom=12\r\n"
                         "[MapsType]\r\nMapsType=18\r\n");
    const ResumeEntries same{18, "116.3",     "116.5", "39.9", "39.8",
                             12, save.Path(), "t.zav", {},     {}};
    EXPECT_TRUE(IsResume(same, save.Path(), "t.zav"));
    std::string typedWithoutSlash = save.Path();
    typedWithoutSlash.pop_back();
    ResumeEntries e = same;
    e.SavePathTyped = typedWithoutSlash;
    EXPECT_TRUE(IsResume(e, save.Path(), "t.zav"));

    const auto differs = [&](auto change) {
        ResumeEntries changed = same;
        change(changed);
        return !IsResume(changed, save.Path(), ProjectNameFor(changed.TaskNameTyped));
    };
    EXPECT_TRUE(differs([](ResumeEntries& c) { c.Left = "116.30"; }));
    EXPECT_TRUE(differs([](ResumeEntries& c) { c.Bottom = "39,8"; }));
    EXPECT_TRUE(differs([](ResumeEntries& c) { c.Zoom = 13; }));
    EXPECT_TRUE(differs([](ResumeEntries& c) { c.MapsType = 17; }));
    EXPECT_TRUE(differs([](ResumeEntries& c) { c.TaskNameTyped = "t"; }));
    EXPECT_FALSE(IsResume(same, save.Path(), "other.zav"));

    // A shape's task, its shape in a file named in a later section "Area": the same shape only.
    test::WriteFileBytes(save.Path() + "t.zav",
                         test::ReadFileBytes(save.Path() + "t.zav") +
                             "[THREADS]\r\n[Area]\r\nFile=t_area.geojson\r\n");
    test::WriteFileBytes(save.Path() + "t_area.geojson", "{shape}");
    EXPECT_TRUE(differs([](ResumeEntries&) {}));
    EXPECT_TRUE(differs([](ResumeEntries& c) { c.ShapeText = "{other}"; }));
    EXPECT_FALSE(differs([](ResumeEntries& c) { c.ShapeText = "{shape}"; }));
}

TEST(StartRules, DurationsReadShort) {
    EXPECT_EQ("42 s", DurationText(42));
    EXPECT_EQ("1 tile", TilesText(1));
    EXPECT_EQ("0 tiles", TilesText(0));
    EXPECT_EQ("3 min 05 s", DurationText(185));
    EXPECT_EQ("2 h 01 min", DurationText(7260));
    EXPECT_EQ("1 d 03 h", DurationText(97200));
    EXPECT_EQ("729 d 23 h", DurationText(729 * 86400.0 + 23 * 3600));
    EXPECT_EQ("298 years", DurationText(298 * 365.25 * 86400));
    EXPECT_EQ("1,000 tiles", TilesText(1000));
    EXPECT_EQ("68,494,818,470 tiles", TilesText(68494818470ULL));
    EXPECT_EQ("This task would take about 298 years at the service's pace; choose a smaller area "
              "or a lower zoom level.",
              LongTaskWarning(298 * 365.25 * 86400));
    EXPECT_EQ("-", DurationText(-1));
    // 9 tiles on 8 workers: the slowest worker has two at 1.1 s.
    EXPECT_DOUBLE_EQ(2.2, EstimatedSeconds(9, 8, 0.1));
}

TEST(StartRules, TheListsSizeIsCountedAndComparedWithTheRoom) {
    // Columns 100000..100009, rows 99990..100009 at zoom 18: the heading (106 + CR LF), 200 lines
    // of 100 fixed characters, column digits 6 each, row digits 5 for ten rows and 6 for ten.
    TileRange range;
    range.MinX = 100000;
    range.MaxX = 100009;
    range.MinY = 99990;
    range.MaxY = 100009;
    EXPECT_EQ(108u + 200 * 100 + 200 * 6 + 10 * (10 * 5 + 10 * 6),
              TileListBytes(range, 18, 17, "png"));
    EXPECT_EQ("The tile list needs 951 MB; the disk has 120 MB free.",
              CheckListRoom(951362496, 120000000).value_or(""));
    EXPECT_EQ("The tile list needs 240 GB; the disk has 1 KB free.",
              CheckListRoom(240318168576ULL, 10).value_or(""));
    EXPECT_FALSE(CheckListRoom(540, 540));
}

} // namespace
} // namespace quarrow

namespace quarrow {
namespace {

// The workers share the tiles by their count, so a resume must count as its task began.
TEST(StartRules, AResumeKeepsItsCustomSourcesWorkerCountButTheBuiltInsIsTheParts) {
    test::TempDir folder;
    StartEntries entries;
    entries.ZoomText = "13";
    entries.SavePathTyped = folder.Path();
    entries.TaskName = "t.zav";
    entries.Left = "116.3";
    entries.Right = "116.5";
    entries.Top = "40";
    entries.Bottom = "39.8";
    TileSource source;
    source.Name = "Tiles";
    source.Templates[0] = "https://tiles.example/{z}/{x}/{y}.png";
    source.Workers = 3;
    entries.Source = source;
    const auto room = [](const std::string&) { return UINTMAX_MAX; };
    const PreparedStart first = PrepareStart({}, entries, room);
    ASSERT_TRUE(first.Task);
    EXPECT_FALSE(first.Resume);
    EXPECT_EQ(3, first.Task->Params->ThreadCount);
    WriteTaskFiles(*first.Task);

    entries.Source->Workers = 5; // the sources file changed since
    const PreparedStart again = PrepareStart({}, entries, room);
    ASSERT_TRUE(again.Task);
    EXPECT_TRUE(again.Resume);
    EXPECT_EQ(3, again.Task->Params->ThreadCount);

    // The built-in source: 8 workers, whatever the file says.
    entries.Source.reset();
    entries.TaskName = "b.zav";
    WriteTaskFiles(*PrepareStart({}, entries, room).Task);
    ProfileFile(folder.Path() + "b.zav").WriteIntegers("THREADS", {{"ThreadCount", 3}});
    const PreparedStart builtIn = PrepareStart({}, entries, room);
    EXPECT_TRUE(builtIn.Resume);
    EXPECT_EQ(8, builtIn.Task->Params->ThreadCount);
}

} // namespace
} // namespace quarrow
