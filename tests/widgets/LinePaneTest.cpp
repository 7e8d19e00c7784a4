// The line pane: its store, what it shows, its files, and the view following new lines.
#include "widgets/LinePane.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <gtest/gtest.h>

#include "base/Exception.h"
#include "tests/support/TempDir.h"

namespace {

using quarrow::test::ReadFileBytes;
using quarrow::test::TempDir;
using quarrow::test::WriteFileBytes;
using Lines = std::vector<std::string>;

// The store holds these lines, and the pane shows them as UTF-8 with "\n" between them, nothing
// selected.
void ExpectHolds(const TLinePane& pane, const Lines& lines) {
    QString shown;
    for (std::size_t i = 0; i < lines.size(); ++i)
        shown += (i > 0 ? QStringLiteral("\n") : QString()) + QString::fromStdString(lines[i]);
    EXPECT_EQ(pane.Lines(), lines);
    EXPECT_EQ(pane.toPlainText(), shown);
    EXPECT_FALSE(pane.textCursor().hasSelection());
}

TEST(LinePane, LineBreaksInsideALineMakeSeveralLines) {
    const std::pair<std::string, Lines> cases[] = {
        {"T3:seq=1,gs_1_2_3.jpg OK", {"T3:seq=1,gs_1_2_3.jpg OK"}},
        {"", {""}},
        {"Error: may be your IP is banned.\nPlease try again later.",
         {"Error: may be your IP is banned.", "Please try again later."}},
        {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        {"a\r\n", {"a", ""}},
        {"\r\r\n", {"", "", ""}},
        {" \t\xE9\xFF", {" \t\xE9\xFF"}},
    };
    for (const auto& [line, added] : cases) {
        TLinePane pane;
        pane.AppendLine("[log window]");
        pane.AppendLine(line);
        Lines expected{"[log window]"};
        expected.insert(expected.end(), added.begin(), added.end());
        ExpectHolds(pane, expected);
    }
    // Leading empty lines of an empty pane are shown too.
    TLinePane pane;
    pane.AppendLine("");
    pane.AppendLine("");
    pane.AppendLine("x");
    ExpectHolds(pane, {"", "", "x"});
    pane.SetLines({"one", "\xE9t\xE9"});
    pane.AppendLine("two");
    ExpectHolds(pane, {"one", "\xE9t\xE9", "two"});
    pane.Clear();
    ExpectHolds(pane, {});
}

TEST(LinePane, SavesAndLoadsByteForByte) {
    TempDir dir;
    const std::string path = dir.Path() + "task_log.txt";
    TLinePane pane;
    pane.AppendLine("T3:6743-3108 got a blank image!");
    pane.AppendLine("Error: may be your IP is banned.\nPlease try again later.");
    pane.AppendLine("");
    pane.AppendLine("caf\xE9 \x01\x7F");
    pane.SaveToFile(path);
    const std::string bytes = "T3:6743-3108 got a blank image!\r\nError: may be your IP is banned."
                              "\r\nPlease try again later.\r\n\r\ncaf\xE9 \x01\x7F\r\n";
    EXPECT_EQ(ReadFileBytes(path), bytes);
    TLinePane loaded;
    loaded.AppendLine("replaced");
    loaded.LoadFromFile(path);
    ExpectHolds(loaded, pane.Lines());

    // Any line end reads as one, and is saved as CR LF; an empty file is an empty pane.
    WriteFileBytes(path, "a\nb\rc\r\n\r\nd");
    loaded.LoadFromFile(path);
    ExpectHolds(loaded, {"a", "b", "c", "", "d"});
    loaded.SaveToFile(path);
    EXPECT_EQ(ReadFileBytes(path), "a\r\nb\r\nc\r\n\r\nd\r\n");
    WriteFileBytes(path, "");
    loaded.LoadFromFile(path);
    ExpectHolds(loaded, {});
}

TEST(LinePane, ReportsFilesItCannotReadOrWrite) {
    TempDir dir;
    const std::string missing = dir.Path() + "missing/log.txt";
    TLinePane pane;
    pane.AppendLine("kept");
    const auto message = [](auto&& action) {
        try {
            action();
        } catch (const Exception& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { pane.SaveToFile(missing); }), "Unable to write to " + missing);
    EXPECT_EQ(message([&] { pane.LoadFromFile(missing); }), "Unable to read " + missing);
    ExpectHolds(pane, {"kept"});
}

TEST(LinePane, FollowsNewLinesOnlyFromTheEnd) {
    TLinePane pane;
    pane.resize(300, 120);
    pane.show();
    const QScrollBar* bar = pane.verticalScrollBar();
    const auto append = [&](const std::string& line) {
        pane.AppendLine(line);
        QCoreApplication::processEvents();
    };
    for (int i = 0; i < 200; ++i)
        pane.AppendLine("line " + std::to_string(i));
    append("last");
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    pane.verticalScrollBar()->setValue(10);
    append("while reading");
    EXPECT_EQ(bar->value(), 10);

    pane.SetLines(Lines(500, "loaded"));
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    append("after load");
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(pane.blockCount(), 501);
}

// Lines that come one at a time for a while, as from the workers: the view catches up only a few
// times a second, and what it shows then is what a full painting of the pane shows.
TEST(LinePane, StreamedLinesRepaintAboutOnceASecondAndShowAsAFullPainting) {
    TLinePane pane;
    pane.resize(300, 120);
    pane.show();
    struct PaintCounter : QObject {
        int Paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            Paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    QCoreApplication::processEvents();
    pane.viewport()->installEventFilter(&counter);
    const auto pump = [](std::chrono::milliseconds time) {
        const auto end = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    // Into an empty pane, then past its height: new lines appear in place, then by scrolling.
    for (int i = 0; i < 24; ++i) {
        pane.AppendLine("streamed line " + std::to_string(i));
        pump(std::chrono::milliseconds(50));
    }
    pump(std::chrono::milliseconds(1100));
    EXPECT_GE(counter.Paints, 2);
    EXPECT_LE(counter.Paints, 6);
    const QScrollBar* bar = pane.verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    QScreen* screen = QGuiApplication::primaryScreen();
    const QImage streamed = screen->grabWindow(pane.winId()).toImage();
    pane.viewport()->repaint();
    pane.verticalScrollBar()->repaint();
    EXPECT_EQ(streamed, screen->grabWindow(pane.winId()).toImage());
}

} // namespace

TEST(LinePane, ALongLogShowsItsEndAtOnceAndTheRestWhileTheWindowGoesOn) {
    TempDir dir;
    const std::size_t count = TLinePane::ImmediateLines + 50'000;
    Lines lines;
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) {
        lines.push_back("T" + std::to_string(i % 8 + 1) + ":seq=" + std::to_string(i + 1) + " OK");
        bytes += lines.back() + "\r\n";
    }
    WriteFileBytes(dir.Path() + "log.txt", bytes);
    TLinePane pane;
    pane.resize(400, 300);
    pane.show();
    pane.LoadFromFile(dir.Path() + "log.txt");
    QCoreApplication::processEvents();
    // The end at once, scrolled to; every line in the store, and so in a save.
    EXPECT_EQ(QString::fromStdString(lines.back()), pane.document()->lastBlock().text());
    EXPECT_EQ(pane.verticalScrollBar()->value(), pane.verticalScrollBar()->maximum());
    EXPECT_EQ(lines, pane.Lines());
    // A line that comes meanwhile goes after them all.
    pane.AppendLine("T1 Finished.");
    lines.push_back("T1 Finished.");
    for (int i = 0; i < 1000 && !pane.Filled(); ++i)
        QCoreApplication::processEvents();
    ASSERT_TRUE(pane.Filled());
    ExpectHolds(pane, lines);
    EXPECT_EQ(pane.verticalScrollBar()->value(), pane.verticalScrollBar()->maximum());
    // Selecting and copying take the whole text, as before.
    pane.selectAll();
    pane.copy();
    EXPECT_EQ(pane.toPlainText(), QGuiApplication::clipboard()->text());
}
