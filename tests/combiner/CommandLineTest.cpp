// stavik's command line: help and version need no display; mistakes get the usage and exit 2.
#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>

#include "geo/Commonfunc.h"
#include "engine/Unitclasstask.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

TEST(StavikCommandLine, HelpVersionAndMistakesWithoutADisplay) {
    const std::vector<std::string> noDisplay{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const test::ProgramRun help = test::RunProgram(STAVIK_PATH, {"--help"}, noDisplay);
    EXPECT_EQ(0, help.ExitCode);
    EXPECT_TRUE(help.Out.starts_with("Usage: stavik [TASK.zav]\n")) << help.Out;
    EXPECT_NE(std::string::npos, help.Out.find("\nExit status: 0 written;")) << help.Out;
    const test::ProgramRun version = test::RunProgram(STAVIK_PATH, {"--version"}, noDisplay);
    EXPECT_EQ(0, version.ExitCode);
    EXPECT_TRUE(version.Out.starts_with("stavik (Quarrow) ")) << version.Out;
    // No hidden mode behind a count of arguments.
    for (const std::vector<std::string>& wrong :
         std::vector<std::vector<std::string>>{{"extra", "pic.png", "TASK.zav"},
                                               {"--bogus"},
                                               {"--screenshot"},
                                               {"--screenshot", "pic.png", "a.zav", "b.png"},
                                               {"a.zav", "out.jpg"}}) {
        const test::ProgramRun run = test::RunProgram(STAVIK_PATH, wrong, noDisplay);
        EXPECT_EQ(2, run.ExitCode) << wrong.front();
        EXPECT_NE(std::string::npos, run.Err.find("Usage: stavik")) << wrong.front();
        EXPECT_EQ("", run.Out);
    }
}

TEST(StavikCommandLine, AnInterruptKeepsTheOldOutputAndLeavesNoTemporaryFile) {
    test::TempDir dir;
    // 150 x 150 tiles, none downloaded: a PNG of 38400 pixels a side takes a while to write.
    auto params = std::make_shared<TaskParams>();
    params->LeftLongitude = TileXToLon(6742.5, 13);
    params->RightLongitude = TileXToLon(6742 + 149.5, 13);
    params->TopLatitude = TileYToLat(3101.5, 13);
    params->BottomLatitude = TileYToLat(3101 + 149.5, 13);
    params->Zoom = 13;
    params->MapsType = 17;
    params->SavePath = dir.Path();
    params->ProjectName = "big.zav";
    const DownloadTask task(params);
    task.WriteProjectFile();
    const std::string output = dir.Path() + "big.png";
    test::WriteFileBytes(output, "the old map");
    const test::ProgramRun run = test::RunProgram(
        STAVIK_PATH, {task.ProjectFile(), output}, {}, std::chrono::seconds(60),
        [&] { return std::filesystem::exists(output + ".part"); });
    EXPECT_EQ(128 + SIGINT, run.ExitCode) << run.Err;
    EXPECT_EQ("stavik: cancelled: nothing was written.\n", run.Err);
    EXPECT_EQ("the old map", test::ReadFileBytes(output));
    EXPECT_EQ((std::vector<std::string>{"big", "big.png", "big.zav"}), test::FolderEntries(dir.Path()));
}

} // namespace
} // namespace quarrow
