// pelorin's command line: help and version need no display; mistakes get the usage and exit 2.
#include <gtest/gtest.h>

#include "tests/support/ProgramRun.h"

namespace quarrow {
namespace {

TEST(PelorinCommandLine, HelpVersionAndMistakesWithoutADisplay) {
    const std::vector<std::string> noDisplay{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const test::ProgramRun help = test::RunProgram(PELORIN_PATH, {"--help"}, noDisplay);
    EXPECT_EQ(0, help.ExitCode);
    EXPECT_TRUE(help.Out.starts_with("Usage: pelorin [TASK.zav]\n")) << help.Out;
    EXPECT_EQ(0, test::RunProgram(PELORIN_PATH, {"--version"}, noDisplay).ExitCode);
    for (const std::vector<std::string>& wrong :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"a.zav", "b.zav"},
                                               {"--screenshot", "p.png"},
                                               {"--size", "x", "a.zav"}}) {
        const test::ProgramRun run = test::RunProgram(PELORIN_PATH, wrong, noDisplay);
        EXPECT_EQ(2, run.ExitCode) << wrong.front();
        EXPECT_NE(std::string::npos, run.Err.find("Usage: pelorin")) << wrong.front();
    }
}

} // namespace
} // namespace quarrow
