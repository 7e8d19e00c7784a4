// The line pane: its store, what it shows, its files, and the view following new lines.
#include "app/LinePane.h"

#include <string>
#include <vector>

#include <QCoreApplication>
#include <QScrollBar>
#include <gtest/gtest.h>

#include "engine/Exception.h"
#include "tests/support/TempDir.h"

namespace {

using quarrow::test::ReadFileBytes;
using quarrow::test::TempDir;
using quarrow::test::WriteFileBytes;
using Lines = std::vector<std::string>;

// What the pane must show for these lines: Latin-1 characters, "\n" between lines.
QString Shown(const Lines& lines) {
    QString text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += QLatin1Char('\n');
        text += QString::fromLatin1(lines[i].data(), static_cast<qsizetype>(lines[i].size()));
    }
    return text;
}

struct AppendCase {
    std::string Line;
    Lines Added;
};

TEST(LinePane, AppendedLineBreaksMakeSeveralLines) {
    const AppendCase cases[] = {
        {"T3:seq=1,gs_1_2_3.jpg OK", {"T3:seq=1,gs_1_2_3.jpg OK"}},
        {"", {""}},
        {"Error: may be your IP is banned.\nPlease try again later.",
         {"Error: may be your IP is banned.", "Please try again later."}},
        {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        {"a\r\n", {"a", ""}},
        {"\r\r\n", {"", "", ""}},
        {"  \t \xE9\xFF", {"  \t \xE9\xFF"}},
    };
    for (const AppendCase& c : cases) {
        TLinePane pane;
        pane.AppendLine("[log window]");
        pane.AppendLine(c.Line);
        Lines expected{"[log window]"};
        expected.insert(expected.end(), c.Added.begin(), c.Added.end());
        EXPECT_EQ(pane.Lines(), expected) << c.Line;
        EXPECT_EQ(pane.toPlainText(), Shown(expected)) << c.Line;
    }
}

TEST(LinePane, ShowsLeadingEmptyLinesOfAnEmptyPane) {
    TLinePane pane;
    pane.AppendLine("");
    pane.AppendLine("");
    EXPECT_EQ(pane.toPlainText(), QStringLiteral("\n"));
    pane.AppendLine("x");
    EXPECT_EQ(pane.Lines(), (Lines{"", "", "x"}));
    EXPECT_EQ(pane.toPlainText(), QStringLiteral("\n\nx"));
    EXPECT_EQ(pane.document()->blockCount(), 3);

    pane.Clear();
    EXPECT_TRUE(pane.Lines().empty());
    EXPECT_EQ(pane.toPlainText(), QString());
    pane.SetLines({"one", "", "\xE9t\xE9"});
    EXPECT_EQ(pane.toPlainText(), Shown({"one", "", "\xE9t\xE9"}));
    pane.AppendLine("two");
    EXPECT_EQ(pane.toPlainText(), Shown({"one", "", "\xE9t\xE9", "two"}));
}

TEST(LinePane, SavesAndLoadsByteForByte) {
    TempDir dir;
    TLinePane pane;
    pane.AppendLine("[log window]");
    pane.AppendLine("T3:6743-3108 got a blank image!");
    pane.AppendLine("Error: may be your IP is banned.\nPlease try again later.");
    pane.AppendLine("");
    pane.AppendLine("caf\xE9 \x01\x7F\x80");
    const std::string path = dir.Path() + "task_log.txt";
    pane.SaveToFile(path);
    const std::string bytes = "[log window]\r\nT3:6743-3108 got a blank image!\r\n"
                              "Error: may be your IP is banned.\r\nPlease try again later.\r\n"
                              "\r\ncaf\xE9 \x01\x7F\x80\r\n";
    EXPECT_EQ(ReadFileBytes(path), bytes);

    TLinePane loaded;
    loaded.AppendLine("replaced");
    loaded.LoadFromFile(path);
    EXPECT_EQ(loaded.Lines(), pane.Lines());
    EXPECT_EQ(loaded.toPlainText(), pane.toPlainText());
    loaded.SaveToFile(path);
    EXPECT_EQ(ReadFileBytes(path), bytes);

    // Any line end reads as one; an empty file is an empty pane.
    WriteFileBytes(path, "a\nb\rc\r\n\r\nd");
    loaded.LoadFromFile(path);
    EXPECT_EQ(loaded.Lines(), (Lines{"a", "b", "c", "", "d"}));
    EXPECT_EQ(loaded.toPlainText(), QStringLiteral("a\nb\nc\n\nd"));
    loaded.SaveToFile(path);
    EXPECT_EQ(ReadFileBytes(path), "a\r\nb\r\nc\r\n\r\nd\r\n");
    WriteFileBytes(path, "");
    loaded.LoadFromFile(path);
    EXPECT_TRUE(loaded.Lines().empty());
    EXPECT_EQ(loaded.toPlainText(), QString());
    loaded.SaveToFile(path);
    EXPECT_EQ(ReadFileBytes(path), "");
}

TEST(LinePane, ReportsFilesItCannotReadOrWrite) {
    TempDir dir;
    TLinePane pane;
    pane.AppendLine("kept");
    const std::string missing = dir.Path() + "missing/log.txt";
    try {
        pane.SaveToFile(missing);
        ADD_FAILURE() << "saved into a missing folder";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), ("Unable to write to " + missing).c_str());
    }
    try {
        pane.LoadFromFile(missing);
        ADD_FAILURE() << "loaded a missing file";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), ("Unable to read " + missing).c_str());
    }
    EXPECT_EQ(pane.Lines(), Lines{"kept"});
    EXPECT_EQ(pane.toPlainText(), QStringLiteral("kept"));
}

TEST(LinePane, FollowsNewLinesOnlyFromTheEnd) {
    TLinePane pane;
    pane.resize(300, 120);
    pane.show();
    QScrollBar* bar = pane.verticalScrollBar();
    for (int i = 0; i < 200; ++i)
        pane.AppendLine("line " + std::to_string(i));
    QCoreApplication::processEvents();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(10);
    pane.AppendLine("while reading");
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), 10);

    pane.SetLines(Lines(500, "loaded"));
    EXPECT_EQ(bar->value(), bar->maximum());
    pane.AppendLine("after load");
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(pane.document()->blockCount(), 501);
}

} // namespace
