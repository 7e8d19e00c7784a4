// The failed-tile list: entry lines, their split at the first bar, and the file's bytes.
#include "download/FailedTileList.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/Exception.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

TEST(FailedTileList, EntryLineIsPathBarUrl) {
    EXPECT_EQ("/maps/t/zavs_6742_3101_13.png|http://127.0.0.1:8642/a/13/6742/3101/256/png8",
              FailureEntryLine("/maps/t/zavs_6742_3101_13.png",
                               "http://127.0.0.1:8642/a/13/6742/3101/256/png8"));
    EXPECT_EQ("|", FailureEntryLine("", ""));
}

struct SplitCase {
    std::string Line;
    std::string Path;
    std::string Url;
};

TEST(FailedTileList, SplitsAtTheFirstBar) {
    const SplitCase cases[] = {
        {"/t/a.png|http://h/x", "/t/a.png", "http://h/x"},
        {"/t/a.png|http://h/x|y", "/t/a.png", "http://h/x|y"},
        {"no bar at all", "", "no bar at all"},
        {"", "", ""},
        {"|http://h/x", "", "http://h/x"},
        {"/t/a.png|", "/t/a.png", ""},
        {"||", "", "|"},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.Line);
        const FailureEntry entry = SplitFailureEntry(c.Line);
        EXPECT_EQ(c.Path, entry.Path);
        EXPECT_EQ(c.Url, entry.Url);
    }
}

TEST(FailedTileList, WritesEveryLineWithCrLf) {
    TempDir dir;
    const std::string path = dir.Path() + "t_failed.ftl";
    WriteFailedList(path, {"/t/a.png|http://h/a", "/t/b.png|http://h/b"});
    EXPECT_EQ("/t/a.png|http://h/a\r\n/t/b.png|http://h/b\r\n", ReadFileBytes(path));

    WriteFailedList(path, {});
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ("", ReadFileBytes(path));
}

TEST(FailedTileList, ReadsCrLfLoneCrAndLoneLfAsLineEnds) {
    struct Case {
        std::string Bytes;
        std::vector<std::string> Lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a|1\r\n", {"a|1"}},
        {"a|1", {"a|1"}},
        {"a|1\r\nb|2\rc|3\nd|4", {"a|1", "b|2", "c|3", "d|4"}},
        {"a|1\r\n\r\n", {"a|1", ""}},
        {"\n\r", {"", ""}},
        {"a|1\n\rb|2", {"a|1", "", "b|2"}},
    };
    TempDir dir;
    const std::string path = dir.Path() + "t_failed.ftl";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bytes);
        WriteFileBytes(path, c.Bytes);
        EXPECT_EQ(c.Lines, ReadFailedList(path));
    }
}

TEST(FailedTileList, MissingFileCannotBeRead) {
    TempDir dir;
    const std::string path = dir.Path() + "none_failed.ftl";
    try {
        ReadFailedList(path);
        FAIL() << "no error";
    } catch (const Exception& error) {
        EXPECT_EQ("Unable to read " + path, error.Message());
    }
}

TEST(FailedTileList, EntriesSurviveTheFileUnchanged) {
    TempDir dir;
    const std::string path = dir.Path() + "t_failed.ftl";
    const std::string tile = dir.Path() + "t/zavm_1_2_3.png";
    const std::string url =
        "http://127.0.0.1:8642/maptiler/v2/maptile/newest/normal.day/3/1/2/256/png8";
    WriteFailedList(path, {FailureEntryLine(tile, url), FailureEntryLine(tile, url)});
    const std::vector<std::string> lines = ReadFailedList(path);
    ASSERT_EQ(2u, lines.size());
    for (const std::string& line : lines) {
        const FailureEntry entry = SplitFailureEntry(line);
        EXPECT_EQ(tile, entry.Path);
        EXPECT_EQ(url, entry.Url);
    }
}

} // namespace
} // namespace quarrow
