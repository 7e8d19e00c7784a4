// The main window as a whole process killed outright and resumed, and saving onto a disk that
// fills up or refuses to grow a file.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/ProfileFile.h"
#include "tests/drills/DrillSupport.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/ServiceProcess.h"

namespace quarrow::drill {
namespace {

using test::FolderEntries;
using test::ReadFileBytes;
using test::TempDir;

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Every file in the folder is a tile of the task holding exactly the served bytes: nothing was
// written half, and no temporary file stayed behind. Returns how many tiles there are.
int CheckWholeTiles(const std::string& folder, const std::vector<Tile>& tiles) {
    int whole = 0;
    for (const std::string& name : FolderEntries(folder)) {
        const auto tile =
            std::find_if(tiles.begin(), tiles.end(), [&](const Tile& t) { return t.Name == name; });
        if (tile == tiles.end()) {
            ADD_FAILURE() << "not a tile of the task: " << name;
            continue;
        }
        EXPECT_EQ(ServedBytes(*tile), ReadFileBytes(folder + name)) << name;
        ++whole;
    }
    return whole;
}

TEST(CrashDrill, KilledMidTaskResumesToTheSameTilesAsAnUninterruptedRun) {
    // Slow answers stretch the task past the monitor's first save, 5 s after Start.
    auto service = StartService({"--delay-ms", "1500"});
    TempDir program, killedSave, wholeSave;
    InstallProgram(program.Path(), service->Port());
    const std::vector<std::string> killedArguments =
        DriverArguments(program.Path(), 3, 8, killedSave.Path(), "crash.zav");
    DriverProcess uninterrupted(
        DriverArguments(program.Path(), 3, 8, wholeSave.Path(), "crash.zav"),
        program.Path() + "whole.out");
    auto driver = std::make_unique<DriverProcess>(killedArguments, program.Path() + "first.out");

    // Killed a while after the monitor has saved the resume keys and the log.
    const std::string project = killedSave.Path() + "crash.zav";
    const std::string logFile = killedSave.Path() + "crash_log.txt";
    ASSERT_TRUE(
        WaitUntil([&] { return ProfileFile(project).ReadInteger("THREADS", "T8X", 0) > 0; }, 30s))
        << driver->Output();
    std::this_thread::sleep_for(1500ms);
    driver->Signal(SIGKILL);
    const auto killedAt = std::filesystem::file_time_type::clock::now();
    ASSERT_TRUE(driver->WaitForExit(10s));
    const std::string logAtKill = ReadFileBytes(logFile);
    ASSERT_FALSE(logAtKill.empty());
    EXPECT_LE(killedAt - std::filesystem::last_write_time(logFile), 5500ms)
        << "more than the last 5 s of log lost";

    // Started again with the same entries: it resumes.
    driver = std::make_unique<DriverProcess>(killedArguments, program.Path() + "second.out");
    ASSERT_EQ(0, ExitCode(driver->WaitForExit(60s))) << driver->Output();
    EXPECT_EQ(std::vector<std::string>{"24 tiles, resume 1"}, driver->Lines("started"));
    const std::string log = ReadFileBytes(logFile);
    ASSERT_TRUE(log.starts_with(logAtKill));
    const std::string resumedPart = log.substr(logAtKill.size());
    EXPECT_NE(std::string::npos, resumedPart.find("Log continue..."));
    const int fetchedFirst = Occurrences(logAtKill, " OK\r\n");
    const int fetchedAgain = Occurrences(resumedPart, " OK\r\n");
    EXPECT_GE(fetchedFirst, 8);
    EXPECT_EQ(24, fetchedFirst + fetchedAgain) << "a tile fetched twice or never";
    EXPECT_LT(fetchedAgain, 24);

    ASSERT_EQ(0, ExitCode(uninterrupted.WaitForExit(60s))) << uninterrupted.Output();
    const std::vector<Tile> tiles = TaskTiles(3, 8);
    EXPECT_EQ(24, CheckWholeTiles(killedSave.Path() + "crash/", tiles));
    EXPECT_EQ(FolderEntries(wholeSave.Path() + "crash/"),
              FolderEntries(killedSave.Path() + "crash/"));
    for (const Tile& tile : tiles) {
        EXPECT_EQ(ReadFileBytes(wholeSave.Path() + "crash/" + tile.Name),
                  ReadFileBytes(killedSave.Path() + "crash/" + tile.Name))
            << tile.Name;
    }
}

// Runs a task of 24 tiles into the save folder; every tile on disk is whole, the failures are
// told in lines that name the file, and the process ends by itself.
void RunOntoFailingDisk(const std::string& program, const std::string& save,
                        DriverProcess::Limits limits) {
    DriverProcess driver(DriverArguments(program, 3, 8, save, "full.zav"), program + "full.out",
                         limits);
    ASSERT_EQ(0, ExitCode(driver.WaitForExit(60s))) << driver.Output();
    EXPECT_EQ(1, CountContaining(driver.Lines("message"), "Task stoped!"));
    const std::vector<std::string> log = driver.Lines("log");
    const std::string folder = save + "full/";
    const int whole = CheckWholeTiles(folder, TaskTiles(3, 8));
    EXPECT_LT(whole, 24) << "the disk never refused a tile";
    EXPECT_GE(CountContaining(log, "Unable to write to " + folder), 1) << driver.Output();
}

TEST(DiskDrill, SaveFolderOnAFullFileSystem) {
    TempDir program, save;
    const std::string mountPoint = save.Path() + "small";
    std::filesystem::create_directory(mountPoint);
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
        const int error = errno;
        GTEST_SKIP() << "this machine does not allow a tmpfs mount (" << std::strerror(error)
                     << "); the file size limit drill provokes the same failure";
    }
    struct Unmount {
        std::string Point;
        ~Unmount() { umount2(Point.c_str(), MNT_DETACH); }
    } unmount{mountPoint};
    auto service = StartService();
    InstallProgram(program.Path(), service->Port());
    RunOntoFailingDisk(program.Path(), mountPoint + "/", {});
}

// The same failure without a mount: every file the process writes may grow only so far, so a
// tile past the limit fails in the middle of its write.
TEST(DiskDrill, SaveFolderWhereFilesCannotGrow) {
    TempDir program, save;
    auto service = StartService();
    InstallProgram(program.Path(), service->Port());
    std::vector<std::size_t> sizes;
    for (const Tile& tile : TaskTiles(3, 8))
        sizes.push_back(ServedBytes(tile).size());
    std::sort(sizes.begin(), sizes.end());
    // Room for the task's own small files and the smaller half of the tiles.
    const auto limit = static_cast<long long>(std::max<std::size_t>(sizes[sizes.size() / 2], 4096));
    RunOntoFailingDisk(program.Path(), save.Path(), {limit});
}

} // namespace
} // namespace quarrow::drill
