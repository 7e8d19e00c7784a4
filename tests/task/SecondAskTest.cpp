// The tiles asked again outside the workers (the re-download of a failed list, the blank tiles'
// second ask) keep the source's rules: its pace, the pause its service asks for, the tile check,
// and the records a run keeps.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/FailedTileList.h"
#include "download/Rerun.h"
#include "store/TileRecords.h"
#include "engine/Unitclasstask.h"
#include "task/BlankRetry.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TaskMaker.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::ServerConnection;

TEST(SecondAsk, ReDownloadAndBlankRetryWaitAsTheServiceAsksAndRecordTheirTiles) {
    // Every tile's first ask is answered "429, come back in 7 s"; the second, with the tile.
    std::mutex mutex;
    std::map<std::string, int> asked;
    test::LoopbackServer server([&](ServerConnection& c) {
        for (std::string head; !(head = c.ReadRequest()).empty();) {
            const std::string target = head.substr(4, head.find(' ', 4) - 4);
            int times = 0;
            {
                const std::lock_guard lock(mutex);
                times = ++asked[target];
            }
            if (times == 1) {
                c.Send("HTTP/1.1 429 Too Many Requests\r\nRetry-After: 7\r\nContent-Length: 0\r\n\r\n");
                continue;
            }
            const std::string body = test::TilePng(target);
            c.Send("HTTP/1.1 200 OK\r\nETag: \"" + target + "\"\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
        }
    });
    TileSource source;
    source.Name = "Paced";
    source.Templates[0] =
        "http://127.0.0.1:" + std::to_string(server.Port()) + "/p/{z}/{x}/{y}.png";
    source.TileDelayMs = 250;
    test::TempDir exe, save;
    const std::string blank = test::TilePng("blank");
    std::filesystem::create_directory(exe.Path() + "blankimg");
    test::WriteFileBytes(exe.Path() + "blankimg/blank.png", blank);

    struct Way {
        const char* Name;
        bool Blanks; // the blank retry, else the re-download
    };
    for (const Way way : {Way{"re-download", false}, Way{"blank retry", true}}) {
        SCOPED_TRACE(way.Name);
        const int x = way.Blanks ? 101 : 100; // tiles of their own, each asked anew
        const std::string project = test::WriteTask(
            save.Path(), way.Blanks ? "b" : "r", 12, x, 200, 1, 2,
            [&](int, int y) { return way.Blanks && y == 200 ? blank : std::string(); }, source);
        auto params = std::make_shared<TaskParams>(ReadTaskParams(project));
        const DownloadTask task(params, DownloadTask::ReadOnly{});
        // A blank whose new picture a power cut took is an empty file: asked again too.
        if (way.Blanks)
            test::WriteFileBytes(task.TilePath(x, 201), "");
        std::vector<int> waits;
        std::vector<std::string> shown;
        const auto show = [&](std::string_view line) { shown.emplace_back(line); };
        const auto sleep = [&](int milliseconds) { waits.push_back(milliseconds); };
        if (way.Blanks) {
            const BlankRetryCounts counts =
                RetryBlankTiles({}, project, exe.Path(), show, [] { return false; }, sleep);
            EXPECT_EQ(2, counts.Saved);
        } else {
            const std::string list = TaskFilesOf(project).Failed;
            WriteFailedList(list, {FailureEntryLine(task.TilePath(x, 200), task.TileUrl(x, 200)),
                                   FailureEntryLine(task.TilePath(x, 201), task.TileUrl(x, 201))});
            const RerunOutcome outcome = RetryFailedList(list, "", show, [] { return false; }, sleep);
            EXPECT_EQ(0, outcome.Failed);
            EXPECT_TRUE(ReadFailedList(list).empty());
        }
        // Each tile's pause as the service said it, the pace between the two tiles; the pause
        // is told once per tile.
        ASSERT_EQ(3u, waits.size());
        EXPECT_EQ(250, waits[1]);
        for (const int pause : {waits[0], waits[2]}) // what is left of 7 s when the wait begins
            EXPECT_TRUE(pause > 6000 && pause <= 7000) << pause;
        EXPECT_EQ(2, std::count(shown.begin(), shown.end(),
                                "T1 The service asks to wait 7 s (429)."));
        TileRecords records(TaskFilesOf(project).Records, TileRecords::Access::Read);
        for (const int y : {200, 201}) {
            const std::string target =
                "/p/12/" + std::to_string(x) + "/" + std::to_string(y) + ".png";
            EXPECT_EQ(test::TilePng(target), test::ReadFileBytes(task.TilePath(x, y)));
            const std::optional<TileRecord> record = records.Find(x, y);
            ASSERT_TRUE(record.has_value());
            EXPECT_EQ("\"" + target + "\"", record->ETag);
        }
    }
}

} // namespace
} // namespace quarrow
