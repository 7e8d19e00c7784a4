// A task folder is outside input too: what was planted in it, or a records file's times, must not
// make Quarrow write elsewhere, empty a file, hang or overflow.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "engine/HttpDate.h"
#include "engine/ProfileFile.h"
#include "store/TaskFiles.h"
#include "store/TaskLock.h"
#include "engine/TaskUpdate.h"
#include "store/TextFile.h"
#include "base/TextRules.h"
#include "store/TileFile.h"
#include "store/TileRecords.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
namespace fs = std::filesystem;

// Each writer of a task's files meets a link planted at its file's name: the link is replaced,
// its target outside the folder untouched. A tile's writer also meets its temporary name taken
// (a killed run's leftover, or a link): it takes the name over and leaves nothing behind.
TEST(HostileTaskFiles, NoWriterWritesThroughAPlantedLink) {
    struct TaskFileWriter {
        const char* Name;
        std::function<void(const std::string& path)> Write;
    };
    const TaskFileWriter writers[] = {
        {"a tile",
         [](const std::string& p) { ReplaceFile(p, "tile", Flush::Later, Writer::LockHolder); }},
        {"a task file", [](const std::string& p) { ReplaceFile(p, "file"); }},
        {"lines", [](const std::string& p) { SaveLines(p, {"line"}); }},
        {"a profile key", [](const std::string& p) { ProfileFile(p).WriteString("S", "K", "v"); }},
    };
    for (const TaskFileWriter& writer : writers) {
        SCOPED_TRACE(writer.Name);
        TempDir task, elsewhere;
        const std::string victim = elsewhere.Path() + "victim", link = task.Path() + "t.png";
        const bool tile = std::string(writer.Name) == "a tile";
        WriteFileBytes(victim, "precious");
        fs::create_symlink(victim, link);
        // Once with the tile's name a link (the long way), once a tile (the unnamed file's way).
        for (const bool tileThere : {false, true}) {
            fs::create_symlink(victim, link + ".tmp");
            if (tileThere) {
                fs::remove(link);
                WriteFileBytes(link, "old");
            }
            try {
                writer.Write(link);
            } catch (const Exception& error) {
                ADD_FAILURE() << error.what();
            }
            EXPECT_EQ("precious", ReadFileBytes(victim));
            EXPECT_FALSE(fs::is_symlink(link));
            EXPECT_TRUE(fs::is_regular_file(link));
            EXPECT_EQ(!tile, fs::is_symlink(link + ".tmp"));
            if (tile) {
                EXPECT_EQ("tile", ReadFileBytes(link));
            }
            fs::remove(link + ".tmp");
        }
        // And a FIFO at the name does not hold the writer: it is replaced, or (a profile file,
        // whose other lines cannot be read) the write is refused.
        fs::remove(link);
        ASSERT_EQ(0, ::mkfifo(link.c_str(), 0600));
        try {
            writer.Write(link);
            EXPECT_TRUE(fs::is_regular_file(link));
        } catch (const Exception& error) {
            EXPECT_EQ("Unable to write to " + link, error.Message());
        }
    }
}

// The lock empties nothing that is not a lock: a file of other content, one with a second name,
// a FIFO; a lock left by a killed process is taken over.
TEST(HostileTaskFiles, TheLockDestroysNothing) {
    TempDir dir;
    const std::string project = dir.Path() + "t.zav", lock = TaskFilesOf(project).Lock;
    WriteFileBytes(lock, "my notes\n");
    EXPECT_THROW(TaskLock{project}, Exception);
    EXPECT_EQ("my notes\n", ReadFileBytes(lock));
    fs::remove(lock);
    WriteFileBytes(dir.Path() + "other", "12\n");
    fs::create_hard_link(dir.Path() + "other", lock);
    EXPECT_THROW(TaskLock{project}, Exception);
    EXPECT_EQ("12\n", ReadFileBytes(dir.Path() + "other"));
    fs::remove(lock);
    ASSERT_EQ(0, ::mkfifo(lock.c_str(), 0600));
    EXPECT_THROW(TaskLock{project}, Exception);
    fs::remove(lock);
    WriteFileBytes(lock, "4242\n");
    // A killed run's half-written task files go; a living writer's, another task's and what
    // only looks like one stay; a planted link goes without its target.
    const std::string gone = "4194305"; // above any process number the kernel hands out
    const std::string own = std::to_string(::getpid());
    WriteFileBytes(dir.Path() + "other", "12\n");
    for (const std::string& name : {"t.zav.tmp-" + gone + "-3", "t_log.txt.tmp-" + gone + "-0"})
        WriteFileBytes(dir.Path() + name, "");
    fs::create_symlink(dir.Path() + "other", dir.Path() + "t_failed.ftl.tmp-" + gone + "-1");
    const std::string kept[] = {"t.zav.tmp-" + own + "-3", "u.zav.tmp-" + gone + "-3",
                                "t.zav.tmp-" + gone, "t.zav.tmp-" + gone + "-x", "t.zav.tmp"};
    for (const std::string& name : kept)
        WriteFileBytes(dir.Path() + name, "");
    EXPECT_NO_THROW(TaskLock{project});
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.Path()))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected(std::begin(kept), std::end(kept));
    expected.push_back("other");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, left);
    EXPECT_EQ("12\n", ReadFileBytes(dir.Path() + "other"));
}

// Times from a service or a records file at the ends of their range.
TEST(HostileTaskFiles, ExtremeTimesNeitherOverflowNorDateATileWrongly) {
    EXPECT_EQ(253402300799, ParseHttpDate("Fri, 31 Dec 9999 23:59:59 GMT"));
    TempDir dir;
    WriteFileBytes(dir.Path() + "t.png", "x");
    EXPECT_FALSE(SetTileFileTime(dir.Path() + "t.png", 253402300799));
    EXPECT_EQ(INT64_MAX, SecondsBetween(INT64_MAX, INT64_MIN));
    EXPECT_EQ(INT64_MIN, SecondsBetween(INT64_MIN, 1));
    UpdateRules rules;
    rules.OlderThanDays = 1;
    rules.MinAgeDays = 1;
    rules.Force = true;
    const std::int64_t now = 1'700'000'000;
    for (const std::int64_t checked : {INT64_MIN, INT64_MAX, std::int64_t{0}}) {
        const TileRecord record{0, 0, checked, INT64_MAX, "", "", INT64_MIN};
        // A time in the future is no check at all; one long past is old enough.
        EXPECT_EQ(checked != INT64_MAX ? std::nullopt : std::optional(UpdateSkip::Recent),
                  UpdateSkips(rules, record, now, now));
    }
}

// A records file is read within its limits: a FIFO at its name is refused at once, a row of
// 200 MB is skipped without being loaded, a validator over the limit is no validator.
TEST(HostileTaskFiles, TheRecordsFileIsReadWithinItsLimits) {
    TempDir dir;
    const std::string path = dir.Path() + "t_tiles.db";
    ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
    EXPECT_THROW(TileRecords(path, TileRecords::Access::Read), Exception);
    EXPECT_THROW(TileRecords(path, TileRecords::Access::Write), Exception);
    fs::remove(path);
    {
        TileRecords records(path, TileRecords::Access::Write);
        records.Put({1, 1, 5, 0, "\"a\"", "", 0});
        records.Put({2, 2, 5, 0, std::string(MaxValidatorSize + 1, 'e'), "", 0});
        records.Commit();
    }
    // The tampering program has no ceiling.
    const sqlite3_int64 ceiling = sqlite3_hard_heap_limit64(0);
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "INSERT INTO tiles VALUES (3, 3, 5, 0, zeroblob(200000000), "
                                      "'', 0)",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
    sqlite3_hard_heap_limit64(ceiling);
    TileRecords records(path, TileRecords::Access::Read);
    sqlite3_memory_highwater(1);
    EXPECT_EQ("\"a\"", records.Find(1, 1).value().ETag);
    EXPECT_FALSE(records.Find(2, 2));
    EXPECT_FALSE(records.Find(3, 3));
    EXPECT_LE(sqlite3_memory_highwater(0), MaxRecordsHeapBytes);
    EXPECT_EQ("\"a\"", records.Find(1, 1).value().ETag); // and the file reads on
}

TEST(HostileTaskFiles, TaskNamesHoldNoControlCharacterAndAreUtf8) {
    EXPECT_TRUE(IsUtf8("Zürich 東京 😀"));
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"})
        EXPECT_FALSE(IsUtf8(bad)) << bad;
}

} // namespace
} // namespace quarrow
