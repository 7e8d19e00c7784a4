// The re-download of a custom source's task: only images are saved, only into the task's tile
// folder, and the list keeps just what still fails, so a second run asks for nothing twice.
#include "download/Rerun.h"

#include <filesystem>
#include <mutex>
#include <string_view>

#include <gtest/gtest.h>

#include "download/FailedTileList.h"
#include "geo/Commonfunc.h"
#include "engine/SourcesFile.h"
#include "engine/Unitclasstask.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::LoopbackServer;
using test::ReadFileBytes;
using test::ServerConnection;
using test::TempDir;
using test::TilePng;
using test::WriteFileBytes;

TEST(Rerun, ACustomSourcesListSavesOnlyImagesIntoItsTaskAndKeepsWhatStillFails) {
    std::mutex mutex;
    std::vector<std::string> asked;
    LoopbackServer server([&](ServerConnection& c) {
        for (std::string head; !(head = c.ReadRequest()).empty();) {
            const std::string target = head.substr(4, head.find(' ', 4) - 4);
            {
                std::lock_guard lock(mutex);
                asked.push_back(target);
            }
            const std::string body = target == "/t/5/1/1.png" ? TilePng(target) : "<html>busy</html>";
            c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
        }
    });
    TempDir save;
    auto params = std::make_shared<TaskParams>();
    params->LeftLongitude = TileXToLon(1.5, 5);
    params->RightLongitude = TileXToLon(1.5, 5);
    params->TopLatitude = TileYToLat(0.5, 5);
    params->BottomLatitude = TileYToLat(1.5, 5);
    params->Zoom = 5;
    params->MapsType = 17;
    params->SavePath = save.Path();
    params->ProjectName = "t.zav";
    TileSource source;
    source.Name = "Custom";
    source.Templates[0] = "http://127.0.0.1:" + std::to_string(server.Port()) + "/t/{z}/{x}/{y}.png";
    source.Headers = {{"X-Key", "secret"}};
    params->Source = source;
    const DownloadTask task(params);
    task.WriteProjectFile();

    const std::string list = save.Path() + "t_failed.ftl";
    const auto url = [&](int y) { return task.TileUrl(1, y); };
    const std::vector<std::string> entries = {
        FailureEntryLine(task.TilePath(1, 0), url(0)),           // answered with a page
        FailureEntryLine(task.TilePath(1, 1), url(1)),           // answered with a tile
        FailureEntryLine(save.Path() + "zavm_1_1_5.png", url(1)), // outside the tile folder
        FailureEntryLine(task.TileFolder + "notes.txt", url(1)),  // no tile name
        // Not the source's URL for the tile: its header would go to another host.
        FailureEntryLine(task.TilePath(1, 0), "http://127.0.0.2:" + std::to_string(server.Port()) +
                                                  "/t/5/1/0.png"),
    };
    WriteFailedList(list, entries);
    std::vector<std::string> shown;
    const auto show = [&](std::string_view line) { shown.emplace_back(line); };
    // Named from the working folder, the list still finds its task's absolute entries.
    const RerunOutcome first =
        RetryFailedList(std::filesystem::relative(list).string(), "", show, [] { return false; });

    EXPECT_EQ(4, first.Failed);
    const std::vector<std::string> expected = {
        "Start...",
        "not an image->" + url(0),
        task.TilePath(1, 1) + ":" + url(1) + " ->OK",
        "Refused: " + save.Path() + "zavm_1_1_5.png is no tile file of the task " +
            task.ProjectFile() + ".",
        "Refused: " + task.TileFolder + "notes.txt is no tile file of the task " +
            task.ProjectFile() + ".",
        "Refused: the URL of " + entries[4] + " is not the source's URL for that tile",
        "Download End.",
    };
    EXPECT_EQ(expected, shown);
    EXPECT_EQ(TilePng("/t/5/1/1.png"), ReadFileBytes(task.TilePath(1, 1)));
    EXPECT_EQ("", ReadFileBytes(task.TilePath(1, 0))); // the page was not saved
    EXPECT_FALSE(std::filesystem::exists(save.Path() + "zavm_1_1_5.png"));
    const std::vector<std::string> still = {entries[0], entries[2], entries[3], entries[4]};
    EXPECT_EQ(still, ReadFailedList(list));

    // The second run asks only for what still fails.
    shown.clear();
    RetryFailedList(list, "", show, [] { return false; });
    std::lock_guard lock(mutex);
    EXPECT_EQ((std::vector<std::string>{"/t/5/1/0.png", "/t/5/1/1.png", "/t/5/1/0.png"}), asked);

    // A project whose source fails the checks is refused whole, not fetched by other rules.
    std::string project = ReadFileBytes(task.ProjectFile());
    project.replace(project.find("X-Key: secret"), 13, "Host: 127.0.0.2");
    test::WriteFileBytes(task.ProjectFile(), project);
    EXPECT_THROW(RetryFailedList(list, "", show, [] { return false; }), SourceFault);
}

} // namespace
} // namespace quarrow
