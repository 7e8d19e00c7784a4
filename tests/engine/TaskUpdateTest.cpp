// Which tiles an update asks for, how long an answer stays fresh, and the records file, also one
// that is not Quarrow's.
#include <gtest/gtest.h>

#include "base/Exception.h"
#include "engine/TaskUpdate.h"
#include "store/TaskFiles.h"
#include "store/TileRecords.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

constexpr std::int64_t Now = 1'800'000'000;
constexpr std::int64_t Day = 86400;

TEST(TaskUpdate, AnAnswerStaysFreshAsItsCacheControlOrItsExpiresSays) {
    struct Case {
        HeaderList Headers;
        std::int64_t Until;
    } cases[] = {
        {{}, 0},
        {{{"cache-control", "public, max-age=3600"}}, Now + 3600},
        {{{"Cache-Control", "max-age=60, no-cache"}}, 0},
        {{{"Cache-Control", "no-store"}, {"Expires", "Thu, 01 Jan 2099 00:00:00 GMT"}}, 0},
        {{{"Cache-Control", "max-age=-5"}}, 0},
        {{{"Cache-Control", "max-age=99999999999"}}, Now + 3650 * Day},
        // Cache-Control wins over Expires.
        {{{"Expires", "Thu, 01 Jan 2099 00:00:00 GMT"}, {"Cache-Control", "max-age=10"}}, Now + 10},
        // Expires counts from the answer's Date, whatever this machine's clock says.
        {{{"Date", "Sun, 06 Nov 1994 08:49:37 GMT"}, {"Expires", "Sun, 06 Nov 1994 09:49:37 GMT"}},
         Now + 3600},
        {{{"Expires", "0"}}, 0},
        {{{"Date", "Sun, 06 Nov 1994 08:49:37 GMT"}, {"Expires", "Sun, 06 Nov 1994 08:00:00 GMT"}},
         0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Until, FreshUntil(c.Headers, Now)) << testing::PrintToString(c.Headers);
}

TEST(TaskUpdate, WhichTilesAnUpdateAsksFor) {
    const auto record = [](std::int64_t checked, std::int64_t freshUntil = 0, std::int64_t pass = 0) {
        return std::optional<TileRecord>(TileRecord{1, 2, checked, freshUntil, "\"e\"", "", pass});
    };
    const std::int64_t old = Now - 40 * Day;
    struct Case {
        const char* What;
        UpdateRules Rules;
        std::optional<TileRecord> Record;
        std::optional<std::int64_t> FileTime;
        bool Asks;
    } cases[] = {
        {"a tile without a file", {30, false, 0, 7}, record(Now), std::nullopt, true},
        {"every tile by default", {}, record(Now - 60), Now, true},
        {"older than the days", {30, false, 0, 7}, record(old), Now, true},
        {"checked within the days", {50, false, 0, 7}, record(old), Now, false},
        {"no record: the file's time", {30, false, 0, 7}, std::nullopt, old, true},
        {"no record, a recent file", {30, false, 0, 7}, std::nullopt, Now - Day, false},
        {"fresh by its service", {}, record(old, Now + 60), Now, false},
        {"fresh, but forced", {0, true, 0, 7}, record(old, Now + 60), Now, true},
        {"within the source's MinAge", {0, true, 60, 7}, record(old), Now, false},
        {"past the source's MinAge", {0, false, 30, 7}, record(old), Now, true},
        {"done in this pass", {0, true, 0, 7}, record(Now - 5, 0, 7), Now, false},
        {"done in an earlier pass", {0, false, 0, 8}, record(Now - 5, 0, 7), Now, true},
        // A record from the future (a clock, or a file from elsewhere) holds no tile back.
        {"checked in the future", {0, false, 30, 7}, record(Now + 9 * Day, Now + 20 * Day), Now,
         true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Asks, UpdateAsks(c.Rules, c.Record, c.FileTime, Now)) << c.What;
}

TEST(TaskUpdate, OnlyValidatorsThatFitARequestLineAreKeptOrSent) {
    EXPECT_EQ(std::make_pair(std::string("\"v1\""), std::string("Mon, 01 Jan 2024 00:00:00 GMT")),
              ValidatorsOf({{"etag", " \"v1\" "}, {"Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT"}}));
    EXPECT_EQ(std::make_pair(std::string(), std::string()),
              ValidatorsOf({{"ETag", "\"a\"\r\nX: 1"}, {"Last-Modified", std::string(2000, 'x')}}));
    const TileRecord hostile{0, 0, 0, 0, "\"a\"\nX-Evil: 1", "Mon, 01 Jan 2024 00:00:00 GMT", 0};
    EXPECT_EQ((HeaderList{{"If-Modified-Since", "Mon, 01 Jan 2024 00:00:00 GMT"}}),
              ConditionalHeaders(hostile));
    EXPECT_TRUE(ConditionalHeaders(std::nullopt).empty());
}

TEST(TileRecords, KeepTheRecordsAndThePassOfAnUnfinishedUpdate) {
    test::TempDir folder;
    const std::string path = TaskFilesOf(folder.Path() + "bj.zav").Records;
    EXPECT_EQ(folder.Path() + "bj_tiles.db", path);
    {
        TileRecords none(path, TileRecords::Access::Read); // no file: no records
        EXPECT_FALSE(none.Find(1, 2));
        EXPECT_EQ(Now, none.UpdatePass(Now));
    }
    const TileRecord first{1, 2, Now, Now + 60, "\"e\"", "Mon, 01 Jan 2024 00:00:00 GMT", 0};
    {
        TileRecords records(path, TileRecords::Access::Write);
        records.Put(first);
        records.Put({1, 2, Now + 1, 0, "\"f\"", "", Now}); // replaces
        records.Put({3, 4, Now, 0, "", "", 0});
        records.BeginUpdate(Now);
        records.Commit();
    }
    {
        TileRecords records(path, TileRecords::Access::Read);
        EXPECT_EQ((TileRecord{1, 2, Now + 1, 0, "\"f\"", "", Now}), records.Find(1, 2));
        EXPECT_EQ((TileRecord{3, 4, Now, 0, "", "", 0}), records.Find(3, 4));
        EXPECT_FALSE(records.Find(2, 1));
        // Stopped: the same pass goes on, whatever the time.
        EXPECT_EQ(Now, records.UpdatePass(Now + 500));
    }
    {
        TileRecords records(path, TileRecords::Access::Write);
        records.EndUpdate();
        records.Commit();
        // Ended whole: a new pass, later than the last even within the same second.
        EXPECT_EQ(Now + 1, records.UpdatePass(Now));
        EXPECT_EQ(Now + 99, records.UpdatePass(Now + 99));
    }
}

TEST(TileRecords, AFileThatIsNotRecordsHoldsNoneAndCannotBeWrittenInto) {
    test::TempDir folder;
    const std::string path = folder.Path() + "x_tiles.db";
    test::WriteFileBytes(path, std::string(5000, 'z'));
    TileRecords read(path, TileRecords::Access::Read);
    EXPECT_FALSE(read.Find(0, 0));
    EXPECT_EQ(Now, read.UpdatePass(Now));
    try {
        TileRecords write(path, TileRecords::Access::Write);
        ADD_FAILURE() << "a file that is no database was opened for records";
    } catch (const Exception& error) {
        EXPECT_NE(std::string::npos, error.Message().find(path)) << error.Message();
    }
}

} // namespace
} // namespace quarrow
