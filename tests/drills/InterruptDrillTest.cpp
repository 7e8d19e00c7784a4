// Every tile accounted for, however a task is interrupted: quarrow-batch against a slow service
// that resets connections is stopped, terminated and killed at random moments and resumed each
// time, and in the end every tile is the service's own bytes; a service that answers 500 leaves
// blanks that are all listed, and the exit status says so.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/FailedTileList.h"
#include "store/LineStore.h"
#include "engine/Unitclasstask.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/TileRenderer.h"
#include "tools/tileservice/TileService.h"

namespace quarrow {
namespace {

using namespace std::chrono_literals;
using test::ReadFileBytes;
using test::WriteFileBytes;

class InterruptDrill : public ::testing::Test {
protected:
    void Install(const tileservice::ServiceOptions& options) {
        m_service = std::make_unique<tileservice::TileService>(options);
        std::filesystem::create_directory(m_exe.Path() + "ini");
        std::filesystem::create_directory(m_exe.Path() + "blankimg");
        WriteFileBytes(m_exe.Path() + "ini/config.ini",
                       "[Service]\r\nHost=127.0.0.1:" + std::to_string(m_service->Port()) + "\r\n");
        WriteFileBytes(m_exe.Path() + "blankimg/blank.png", ReadFileBytes(BLANK_PNG_PATH));
        std::filesystem::copy_file(QUARROW_BATCH_PATH, m_exe.Path() + "quarrow-batch");
    }

    test::ProgramRun Run(const std::vector<std::string>& arguments, int signal = 0,
                         std::chrono::milliseconds after = 0ms) {
        const auto start = std::chrono::steady_clock::now();
        return test::RunProgram(
            m_exe.Path() + "quarrow-batch", arguments, {}, 90s,
            [&] { return signal != 0 && std::chrono::steady_clock::now() - start >= after; },
            signal == 0 ? SIGINT : signal);
    }

    std::vector<std::string> Task() const {
        return {"--area", "116.30,39.88,116.36,39.92", "--zoom", "15", "--name", "drill",
                "--folder", m_save.Path()};
    }

    // Each tile of the task: the service's bytes, the blank image, or anything else.
    struct Tally {
        int Served = 0, Blank = 0, Other = 0;
        std::set<std::string> BlankPaths;
    };
    Tally Count() const {
        const auto params =
            std::make_shared<TaskParams>(ReadTaskParams(m_save.Path() + "drill.zav"));
        const DownloadTask task(params, DownloadTask::ReadOnly{});
        const std::string blank = ReadFileBytes(BLANK_PNG_PATH);
        Tally tally;
        for (int x = task.MinX; x <= task.MaxX; ++x)
            for (int y = task.MinY; y <= task.MaxY; ++y) {
                const std::string bytes = ReadFileBytes(task.TilePath(x, y));
                if (bytes == tileservice::RenderTilePng({tileservice::MapKind::Normal, 15, x, y})) {
                    ++tally.Served;
                } else if (bytes == blank) {
                    ++tally.Blank;
                    tally.BlankPaths.insert(task.TilePath(x, y));
                } else {
                    ++tally.Other;
                }
            }
        return tally;
    }

    std::unique_ptr<tileservice::TileService> m_service;
    test::TempDir m_exe;
    test::TempDir m_save;
};

TEST_F(InterruptDrill, StoppedTerminatedAndKilledAtRandomEveryTileEndsAsTheServiceHasIt) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    // Longer than the stop's grace: a stop cuts requests in flight.
    options.DelayMs = 2300;
    options.ShareReset = 0.1;
    Install(options);
    const unsigned seed = std::random_device{}();
    std::printf("[ drill ] seed %u\n", seed);
    std::mt19937 random(seed);
    const int signals[] = {SIGINT, SIGTERM, SIGKILL};
    int interruptions = 0;
    bool done = false;
    for (int round = 0; round < 9 && !done; ++round) {
        const std::vector<std::string> arguments =
            round == 0 ? Task()
                       : std::vector<std::string>{"--resume", m_save.Path() + "drill.zav"};
        const int signal = signals[round % 3];
        const auto after = std::chrono::milliseconds(500 + random() % 3500);
        const test::ProgramRun run = Run(arguments, signal, after);
        SCOPED_TRACE("round " + std::to_string(round) + ": " + run.Err);
        ASSERT_TRUE(run.ExitCode == 0 || run.ExitCode == 128 + signal) << run.ExitCode;
        done = run.ExitCode == 0;
        interruptions += done ? 0 : 1;
    }
    for (int round = 0; round < 3 && !done; ++round) {
        const test::ProgramRun run = Run({"--resume", m_save.Path() + "drill.zav"});
        ASSERT_TRUE(run.ExitCode == 0 || run.ExitCode == 3) << run.Err;
        done = run.ExitCode == 0;
    }
    const Tally tally = Count();
    std::printf("[ drill ] %d interruptions; %d tiles as served, %d blank, %d other\n",
                interruptions, tally.Served, tally.Blank, tally.Other);
    EXPECT_TRUE(done);
    EXPECT_GT(interruptions, 0);
    EXPECT_EQ(0, tally.Blank);
    EXPECT_EQ(0, tally.Other);
}

TEST_F(InterruptDrill, EveryBlankThatAServiceErrorLeftIsListedAndTheExitSaysSo) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    options.Share500 = 0.5;
    options.Seed = 7;
    Install(options);
    const test::ProgramRun run = Run(Task());
    const Tally tally = Count();
    LineStore listed;
    listed.Load(m_save.Path() + "drill_failed.ftl");
    std::set<std::string> paths;
    for (const std::string& line : listed.Lines())
        paths.insert(SplitFailureEntry(line).Path);
    std::printf("[ drill ] %d tiles as served, %d blank, %zu listed\n", tally.Served, tally.Blank,
                paths.size());
    ASSERT_GT(tally.Blank, 0);
    EXPECT_EQ(0, tally.Other);
    EXPECT_EQ(tally.BlankPaths, paths);
    EXPECT_EQ(3, run.ExitCode) << run.Err;
    EXPECT_NE(std::string::npos, run.Err.find(" " + std::to_string(tally.Blank) +
                                              " failed (listed for re-download"))
        << run.Err;
}

} // namespace
} // namespace quarrow
