// Text files as lines: splitting, loading, and saving that never leaves a half-written file.
#include "store/TextFile.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "tests/support/TempDir.h"

namespace {

using quarrow::test::FolderEntries;
using quarrow::test::ReadFileBytes;
using quarrow::test::TempDir;
using quarrow::test::WriteFileBytes;
using Lines = std::vector<std::string>;

struct SplitCase {
    const char* Text;
    Lines Expected;
};

TEST(SplitLines, EveryKindOfLineEnd) {
    const SplitCase cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"a\nb\rc\r\n", {"a", "b", "c"}},
        {"\r\n", {""}},
        {"\r\n\r\n", {"", ""}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\r\r\nb\n", {"a", "", "b"}},
        {"  x \t\r\n", {"  x \t"}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(quarrow::SplitLines(c.Text), c.Expected) << '"' << c.Text << '"';
}

TEST(TextFile, SaveWritesCrLfAfterEveryLine) {
    TempDir dir;
    const std::string path = dir.Path() + "a.txt";
    quarrow::SaveLines(path, {"one", "", "three"});
    EXPECT_EQ(ReadFileBytes(path), "one\r\n\r\nthree\r\n");
    EXPECT_EQ(quarrow::LoadLines(path), (Lines{"one", "", "three"}));
}

// Lines shorter than, as long as and longer than the write buffer, after a filled buffer and after
// a part-filled one: the file holds them all in order.
TEST(TextFile, SaveOfLinesAroundTheBufferSize) {
    constexpr std::size_t Block = quarrow::FileReplacer::BufferSize;
    const std::size_t sizes[] = {0, 1, Block - 3, Block - 2, Block, 7, Block + 1, 3 * Block + 5, 2};
    Lines lines;
    std::string expected;
    char fill = 'a';
    for (const std::size_t size : sizes) {
        lines.emplace_back(size, fill++);
        expected += lines.back() + "\r\n";
    }
    TempDir dir;
    const std::string path = dir.Path() + "a.txt";
    quarrow::SaveLines(path, lines);
    EXPECT_TRUE(ReadFileBytes(path) == expected); // not printed: megabytes
    EXPECT_EQ(FolderEntries(dir.Path()), (Lines{"a.txt"}));
}

TEST(TextFile, EmptyListReplacesTheFileWithZeroBytes) {
    TempDir dir;
    const std::string path = dir.Path() + "a.txt";
    WriteFileBytes(path, "old content\r\n");
    quarrow::SaveLines(path, {});
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(FolderEntries(dir.Path()), (Lines{"a.txt"}));
}

TEST(TextFile, LoadReadsForeignLineEnds) {
    TempDir dir;
    const std::string path = dir.Path() + "a.txt";
    WriteFileBytes(path, "x\ny\rz");
    EXPECT_EQ(quarrow::LoadLines(path), (Lines{"x", "y", "z"}));
}

TEST(TextFile, LoadOfAMissingFileFails) {
    TempDir dir;
    const std::string path = dir.Path() + "missing.txt";
    try {
        quarrow::LoadLines(path);
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), ("Unable to read " + path).c_str());
    }
}

TEST(TextFile, SaveIntoAMissingFolderFailsWithoutCreatingIt) {
    TempDir dir;
    const std::string path = dir.Path() + "missing/a.txt";
    try {
        quarrow::SaveLines(path, {"x"});
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), ("Unable to write to " + path).c_str());
    }
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "missing"));
}

TEST(TextFile, SaveOverAFolderFailsAndLeavesIt) {
    TempDir dir;
    const std::string path = dir.Path() + "sub";
    std::filesystem::create_directory(path);
    EXPECT_THROW(quarrow::SaveLines(path, {"x"}), Exception);
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(FolderEntries(dir.Path()), (Lines{"sub"}));
}

TEST(TextFile, SaveOverAReadOnlyFileIsRefused) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    TempDir dir;
    const std::string path = dir.Path() + "a.txt";
    WriteFileBytes(path, "keep\r\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read);
    EXPECT_THROW(quarrow::SaveLines(path, {"x"}), Exception);
    EXPECT_EQ(ReadFileBytes(path), "keep\r\n");
}

// A write that fails half-way (here: the file size limit) leaves the earlier file whole and no
// temporary file behind.
TEST(TextFile, FailedSaveKeepsTheEarlierFile) {
    TempDir dir;
    const std::string path = dir.Path() + "a.txt";
    WriteFileBytes(path, "earlier\r\n");

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Lines big(20000, std::string(40, 'x'));
    bool threw = false;
    try {
        quarrow::SaveLines(path, big);
    } catch (const Exception& error) {
        threw = true;
        EXPECT_STREQ(error.what(), ("Unable to write to " + path).c_str());
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    EXPECT_TRUE(threw);
    EXPECT_EQ(ReadFileBytes(path), "earlier\r\n");
    EXPECT_EQ(FolderEntries(dir.Path()), (Lines{"a.txt"}));
}

TEST(TextFile, ASaveReplacesASymbolicLinkAndLeavesItsTargetAlone) {
    TempDir dir;
    const std::string target = dir.Path() + "real.txt";
    const std::string link = dir.Path() + "link.txt";
    WriteFileBytes(target, "old\r\n");
    std::filesystem::create_symlink(target, link);
    quarrow::SaveLines(link, {"new"});
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFileBytes(link), "new\r\n");
    EXPECT_EQ(ReadFileBytes(target), "old\r\n");
}

} // namespace

namespace {

// Bytes this process has handed to write() so far.
long long BytesWritten() {
    const std::string io = ReadFileBytes("/proc/self/io");
    const auto at = io.find("wchar: ");
    return at == std::string::npos ? -1 : std::stoll(io.substr(at + 7));
}

} // namespace

TEST(TextFile, AReplacedTileIsWrittenOnceAndKeepsItsPermissions) {
    TempDir dir;
    const std::string path = dir.Path() + "tile.png";
    const std::string body(4 << 20, 'n');
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "replaced" : "new");
        if (existing) {
            WriteFileBytes(path, "old");
            std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                                   std::filesystem::perms::owner_write |
                                                   std::filesystem::perms::group_read);
        }
        const long long before = BytesWritten();
        ASSERT_GE(before, 0);
        quarrow::ReplaceFile(path, body);
        const long long written = BytesWritten() - before;
        EXPECT_GE(written, static_cast<long long>(body.size()));
        EXPECT_LT(written, static_cast<long long>(body.size()) * 3 / 2);
        EXPECT_EQ(body, ReadFileBytes(path));
        if (existing) {
            EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                          std::filesystem::perms::group_read,
                      std::filesystem::status(path).permissions());
        }
        EXPECT_EQ(1u, FolderEntries(dir.Path()).size()); // no temporary name left behind
        std::filesystem::remove(path);
    }
}
