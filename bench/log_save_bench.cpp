// Log pane benchmark: a pane of a million typical worker lines is built line by line (widget
// shown, pending events handled after every thousand lines), saved to its file, and the same
// bytes are written to a file beside it in one write through the same file replacer; then the
// file is loaded back into a pane. Both writes are flushed to the disk, as a run's saves are; the
// window's thread spends only the copy of the pane's lines on a save (copy_ms), the writing runs
// on a thread of its own.
//
// Last line: lines=<n> bytes=<n> save_ms=<median> write_ms=<median> ratio=<save/write>
// append_us=<median per line, widget included> copy_ms=<median>. Goals: ratio <= 1.5,
// append_us <= 5, copy_ms <= 50. The line before: load_ms=<until the loaded pane shows its last
// line> fill_ms=<until every line is in its text, the window answering meanwhile>. Goal:
// load_ms <= 300.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include <QApplication>
#include <QTextBlock>
#include <QTextDocument>

#include "widgets/LinePane.h"
#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "store/LineStore.h"

namespace {

constexpr int LineCount = 1'000'000;
constexpr int Batch = 1000;
constexpr int Repeats = 7;
constexpr int LoadRepeats = 3;

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// What eight workers write: mostly saved tiles, now and then a blank one.
std::string WorkerLine(int i) {
    const int worker = i % 8 + 1;
    const int x = 6743 + i / 4096;
    const int y = 3108 + i % 4096;
    if (i % 50 == 49)
        return "T" + std::to_string(worker) + ":" + std::to_string(x) + "-" + std::to_string(y) +
               " got a blank image!";
    return "T" + std::to_string(worker) + ":seq=" + std::to_string(i + 1) + ",gs_" +
           std::to_string(x) + "_" + std::to_string(y) + "_13.jpg OK";
}

// The main window's log pane has both scroll bars at all times.
void ShowLikeTheLogPane(TLinePane& pane) {
    pane.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane.resize(600, 400);
    pane.show();
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);

    namespace fs = std::filesystem;
    std::string folder = (fs::temp_directory_path() / "quarrow-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    folder += "/";
    const std::string logPath = folder + "task_log.txt";
    const std::string plainPath = folder + "plain.txt";

    int status = 0;
    try {
        std::vector<std::string> lines;
        lines.reserve(LineCount);
        for (int i = 0; i < LineCount; ++i)
            lines.push_back(WorkerLine(i));
        std::string bytes;
        for (const std::string& line : lines)
            bytes.append(line).append("\r\n");

        TLinePane pane;
        ShowLikeTheLogPane(pane);
        application.processEvents();
        std::vector<double> appendTimes;
        for (int first = 0; first < LineCount; first += Batch) {
            const auto start = Clock::now();
            for (int i = first; i < first + Batch; ++i)
                pane.AppendLine(lines[static_cast<std::size_t>(i)]);
            application.processEvents();
            appendTimes.push_back(Milliseconds(Clock::now() - start).count() * 1000.0 / Batch);
        }
        std::printf("appended lines=%zu first_batch_us=%.3f last_batch_us=%.3f\n",
                    pane.Lines().size(), appendTimes.front(), appendTimes.back());

        std::vector<double> saveTimes;
        std::vector<double> writeTimes;
        std::vector<double> copyTimes;
        for (int r = 0; r < Repeats; ++r) {
            auto start = Clock::now();
            const quarrow::LineStore copy = pane.Store();
            copyTimes.push_back(Milliseconds(Clock::now() - start).count());
            if (copy.Count() != lines.size())
                throw Exception("the copy has another line count");
            start = Clock::now();
            pane.SaveToFile(logPath);
            saveTimes.push_back(Milliseconds(Clock::now() - start).count());
            start = Clock::now();
            quarrow::ReplaceFile(plainPath, bytes);
            writeTimes.push_back(Milliseconds(Clock::now() - start).count());
        }
        if (fs::file_size(logPath) != bytes.size())
            throw Exception("the saved log differs in size from the plain write");

        std::vector<double> loadTimes, fillTimes;
        for (int r = 0; r < LoadRepeats; ++r) {
            TLinePane loaded;
            ShowLikeTheLogPane(loaded);
            application.processEvents();
            const auto start = Clock::now();
            loaded.LoadFromFile(logPath);
            application.processEvents();
            loadTimes.push_back(Milliseconds(Clock::now() - start).count());
            if (loaded.Lines().size() != lines.size())
                throw Exception("the loaded log has another line count");
            if (loaded.document()->lastBlock().text().toStdString() != lines.back())
                throw Exception("the loaded log does not show its last line");
            // The lines before the shown end come in chunks while the window goes on.
            while (!loaded.Filled())
                application.processEvents();
            fillTimes.push_back(Milliseconds(Clock::now() - start).count());
            if (loaded.blockCount() != static_cast<int>(lines.size()))
                throw Exception("the filled pane has another line count");
        }
        std::printf("load_ms=%.1f fill_ms=%.1f\n", Median(loadTimes), Median(fillTimes));

        const double save = Median(saveTimes);
        const double write = Median(writeTimes);
        std::printf("lines=%d bytes=%zu save_ms=%.1f write_ms=%.1f ratio=%.2f append_us=%.3f "
                    "copy_ms=%.1f\n",
                    LineCount, bytes.size(), save, write, save / write, Median(appendTimes),
                    Median(copyTimes));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}
