// The main window as a whole process against services that fail: one that dies in the middle of
// a task, one that never answers and one that resets every connection.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include "download/FailedTileList.h"
#include "app/Unitftl.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/drills/DrillSupport.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/ServiceProcess.h"

namespace quarrow::drill {
namespace {

using test::ReadFileBytes;
using test::TempDir;

std::set<std::string> ListedPaths(const std::string& failedList) {
    std::set<std::string> paths;
    for (const std::string& line : ReadFailedList(failedList))
        paths.insert(SplitFailureEntry(line).Path);
    return paths;
}

class ServiceDrill : public ::testing::Test {
protected:
    std::unique_ptr<DriverProcess> StartDriver(int columns, int rows, const std::string& name) {
        return std::make_unique<DriverProcess>(
            DriverArguments(m_program.Path(), columns, rows, m_save.Path(), name),
            m_program.Path() + name + ".out");
    }

    TempDir m_program;
    TempDir m_save;
};

TEST_F(ServiceDrill, ServiceKilledMidTaskListsEveryUnfetchedTileAndARerunFetchesThem) {
    auto service = StartService();
    const int port = service->Port();
    InstallProgram(m_program.Path(), port);
    const std::vector<Tile> tiles = TaskTiles(4, 4);
    const std::string folder = m_save.Path() + "killed/";
    auto saved = [&] {
        return std::count_if(tiles.begin(), tiles.end(), [&](const Tile& tile) {
            return std::filesystem::exists(folder + tile.Name);
        });
    };
    auto driver = StartDriver(4, 4, "killed.zav");

    // The first round saved, every worker in its wait after it: the service dies.
    ASSERT_TRUE(WaitUntil([&] { return saved() >= 8; }, 20s)) << driver->Output();
    kill(service->Pid(), SIGKILL);
    service->Stop();
    const auto status = driver->WaitForExit(30s);
    ASSERT_EQ(0, ExitCode(status)) << driver->Output();
    EXPECT_EQ(1, CountContaining(driver->Lines("message"), "Task stoped!"));
    EXPECT_GE(CountContaining(driver->Lines("log"), "Error: Your network has problem"), 1);

    std::set<std::string> unfetched;
    for (const Tile& tile : tiles) {
        if (!std::filesystem::exists(folder + tile.Name))
            unfetched.insert(folder + tile.Name);
    }
    ASSERT_FALSE(unfetched.empty()) << "the service died after the task";
    const std::string failedList = m_save.Path() + "killed_failed.ftl";
    EXPECT_EQ(unfetched, ListedPaths(failedList));

    // The service back on its port: the re-download window fetches every listed tile.
    service = StartService({"--port", std::to_string(port)});
    test::RecordingDialogs dialogs;
    dialogs.FileAnswers.push_back(QString::fromStdString(failedList));
    TfrmFlt rerun(dialogs);
    rerun.Button1Click();
    EXPECT_TRUE(dialogs.TextsOf(test::RecordingDialogs::Kind::Error).isEmpty());
    const QStringList pane =
        rerun.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->toPlainText().split('\n');
    EXPECT_EQ("Download End.", pane.back());
    for (const Tile& tile : tiles)
        EXPECT_EQ(ServedBytes(tile), ReadFileBytes(folder + tile.Name)) << tile.Name;
}

TEST_F(ServiceDrill, SilentServerTaskEndsSoonAfterStopAndLeavingEndsTheProcess) {
    auto silent = [] {
        return std::make_unique<test::LoopbackServer>([](test::ServerConnection& connection) {
            connection.ReadRequest();
            connection.WaitForPeerClose(20s);
        });
    };
    auto server = silent();
    InstallProgram(m_program.Path(), server->Port());
    auto driver = StartDriver(1, 8, "silent.zav");
    // Every worker waits in its read.
    ASSERT_TRUE(WaitUntil([&] { return server->ConnectionCount() == 8; }, 20s)) << driver->Output();
    auto stoppedAt = std::chrono::steady_clock::now();
    driver->Signal(SIGUSR1);
    ASSERT_EQ(0, ExitCode(driver->WaitForExit(15s))) << driver->Output();
    // The stop's grace of 2 s, then the monitor's next tick (slack for sanitizer builds).
    const auto stopTook = std::chrono::steady_clock::now() - stoppedAt;
    RecordProperty("stop_to_end_ms", static_cast<int>(stopTook / 1ms));
    EXPECT_LT(stopTook, 4s);
    const std::vector<std::string> log = driver->Lines("log");
    EXPECT_EQ(8, CountContaining(log, "will be terminated by user"));
    EXPECT_EQ(8, CountContaining(log, "Socket Error # 10053"));
    // The cut tiles are left for the resume: none listed.
    EXPECT_EQ(0, static_cast<int>(ListedPaths(m_save.Path() + "silent_failed.ftl").size()));

    // Leaving while every worker waits in a read ends the process within the grace.
    server = silent();
    InstallProgram(m_program.Path(), server->Port());
    driver = StartDriver(1, 8, "leave.zav");
    ASSERT_TRUE(WaitUntil([&] { return server->ConnectionCount() == 8; }, 20s)) << driver->Output();
    const auto leftAt = std::chrono::steady_clock::now();
    driver->Signal(SIGTERM);
    ASSERT_EQ(0, ExitCode(driver->WaitForExit(15s))) << driver->Output();
    // The stop's grace of 2 s, then the process's own end (slower in sanitizer builds).
    const auto leaveTook = std::chrono::steady_clock::now() - leftAt;
    RecordProperty("leave_to_exit_ms", static_cast<int>(leaveTook / 1ms));
    EXPECT_LT(leaveTook, 3500ms);
    EXPECT_EQ(1, CountContaining(driver->Lines("leaving"), ""));
}

TEST_F(ServiceDrill, ServerThatResetsEveryConnectionEndsTheTask) {
    test::LoopbackServer resetting([](test::ServerConnection& connection) {
        if (!connection.ReadRequest().empty())
            connection.Reset();
    });
    InstallProgram(m_program.Path(), resetting.Port());
    auto driver = StartDriver(2, 4, "reset.zav");
    ASSERT_EQ(0, ExitCode(driver->WaitForExit(30s))) << driver->Output();
    EXPECT_EQ(1, CountContaining(driver->Lines("message"), "Task stoped!"));
    // Ten attempts a tile, then it is given up: listed, and the blank image in its place.
    EXPECT_EQ(80, resetting.ConnectionCount());
    EXPECT_EQ(8, CountContaining(driver->Lines("log"), "Socket Error # 10054"));
    EXPECT_EQ(8, static_cast<int>(ListedPaths(m_save.Path() + "reset_failed.ftl").size()));
    for (const Tile& tile : TaskTiles(2, 4))
        EXPECT_EQ(BlankImage, ReadFileBytes(m_save.Path() + "reset/" + tile.Name)) << tile.Name;
}

} // namespace
} // namespace quarrow::drill
