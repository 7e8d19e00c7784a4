// stavik's command line: help and version need no display; mistakes get the usage and exit 2.
#include <gtest/gtest.h>

#include "tests/support/ProgramRun.h"

namespace quarrow {
namespace {

TEST(StavikCommandLine, HelpVersionAndMistakesWithoutADisplay) {
    const std::vector<std::string> noDisplay{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const test::ProgramRun help = test::RunProgram(STAVIK_PATH, {"--help"}, noDisplay);
    EXPECT_EQ(0, help.ExitCode);
    EXPECT_TRUE(help.Out.starts_with("Usage: stavik [TASK.zav]\n")) << help.Out;
    const test::ProgramRun version = test::RunProgram(STAVIK_PATH, {"--version"}, noDisplay);
    EXPECT_EQ(0, version.ExitCode);
    EXPECT_TRUE(version.Out.starts_with("stavik (Quarrow) ")) << version.Out;
    // No hidden mode behind a count of arguments.
    for (const std::vector<std::string>& wrong :
         std::vector<std::vector<std::string>>{{"extra", "pic.png", "TASK.zav"},
                                               {"--bogus"},
                                               {"--screenshot"},
                                               {"--screenshot", "pic.png", "a.zav", "b.png"}}) {
        const test::ProgramRun run = test::RunProgram(STAVIK_PATH, wrong, noDisplay);
        EXPECT_EQ(2, run.ExitCode) << wrong.front();
        EXPECT_NE(std::string::npos, run.Err.find("Usage: stavik")) << wrong.front();
        EXPECT_EQ("", run.Out);
    }
}

} // namespace
} // namespace quarrow
