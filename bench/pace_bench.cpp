// Download pace: the main window, shown offscreen, runs a task of 400 tiles (20 columns by 20
// rows, eight workers) against the local tile service program, with the workers' real waits and
// the monitor's real ticks. Each worker waits 1 s after every saved tile, so eight workers fetch
// at most 8 tiles a second.
//
// The pace is the tiles over the time from Start to the last tile saved; the task itself ends up
// to two seconds later (the worker's wait after its last tile, then the monitor's next tick).
// CPU is that of this whole process (window, monitor, workers) from Start to the task's end, as a
// share of one core over the same time.
//
// Last line: tiles=<saved> seconds=<to last tile> tiles_per_s=<n> cpu_pct=<n>
// Goals: tiles_per_s >= 7.9, cpu_pct <= 1.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "widgets/Dialogs.h"
#include "app/Unit1.h"
#include "geo/Commonfunc.h"
#include "store/FileReplacer.h"
#include "tools/tileservice/ServiceProcess.h"

namespace {

constexpr int Zoom = 12;
constexpr int FirstColumn = 2100;
constexpr int FirstRow = 1400;
constexpr int Side = 20;
constexpr int Tiles = Side * Side;

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The UI thread's share shows what the window costs apart from the workers.
double UiCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// No box ever blocks; the end of the task ends the event loop.
class QuietDialogs : public Dialogs {
public:
    void Message(const QString& text) override {
        if (text.startsWith(QStringLiteral("Task stoped!")))
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        else
            std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
    }
    void Error(const QString& text) override {
        std::fprintf(stderr, "error: %s\n", text.toLocal8Bit().constData());
    }
    QString BrowseFolder(const QString&) override { return {}; }
    QString OpenFile(const QString&, const QString&, const QString&) override { return {}; }
    void ShellOpen(const QString&) override {}
    void StartProgram(const QString&) override {}
};

// The program's window and host as it is; it only notes when each tile is saved.
class TimedForm : public TForm1 {
public:
    using TForm1::TForm1;
    ~TimedForm() override { EndWorkers(); }

    void AppendLogLine(const std::string& line) override {
        if (line.ends_with(" OK")) {
            ++Saved;
            LastSaved = Clock::now();
        }
        TForm1::AppendLogLine(line);
    }

    int Saved = 0; // both on the UI thread only
    Clock::time_point LastSaved;
};

std::string Text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.8f", value);
    return text;
}

void SetEntry(QWidget& form, const char* name, const std::string& text) {
    form.findChild<QLineEdit*>(QString::fromLatin1(name))->setText(QString::fromStdString(text));
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    try {
        std::string folderTemplate =
            (std::filesystem::temp_directory_path() / "pace_bench_XXXXXX").string();
        if (!mkdtemp(folderTemplate.data()))
            throw std::runtime_error("cannot make a temporary folder");
        const std::string root = folderTemplate + "/";
        const std::string program = root + "program/";
        const std::string save = root + "save/";
        std::filesystem::create_directories(program + "ini");
        std::filesystem::create_directories(program + "blankimg");
        std::filesystem::create_directories(save);

        quarrow::tileservice::ServiceProcess service(TILESERVICE_PATH, {"--port", "0"});
        quarrow::ReplaceFile(program + "ini/config.ini",
                             "[Service]\r\nHost=127.0.0.1:" + std::to_string(service.Port()) +
                                 "\r\n");
        quarrow::ReplaceFile(program + "blankimg/blank.png", "blank");

        QuietDialogs dialogs;
        auto form = std::make_unique<TimedForm>(dialogs, QString::fromStdString(program));
        form->show();
        SetEntry(*form, "Edit1", Text(TileXToLon(FirstColumn + 0.5, Zoom)));
        SetEntry(*form, "Edit3", Text(TileXToLon(FirstColumn + Side - 0.5, Zoom)));
        SetEntry(*form, "Edit2", Text(TileYToLat(FirstRow + 0.5, Zoom)));
        SetEntry(*form, "Edit4", Text(TileYToLat(FirstRow + Side - 0.5, Zoom)));
        SetEntry(*form, "Edit5", std::to_string(Zoom));
        SetEntry(*form, "Edit6", save);
        SetEntry(*form, "EditTaskName", "pace.zav");

        const double cpuBefore = CpuSeconds();
        const double uiCpuBefore = UiCpuSeconds();
        const Clock::time_point start = Clock::now();
        // As a user's click: the button takes the focus, so no text cursor blinks meanwhile.
        auto* button = form->findChild<QPushButton*>(QStringLiteral("BitBtn1"));
        button->setFocus(Qt::MouseFocusReason);
        button->click();
        if (!form->CurrentTask || form->CurrentTask->TileCount != Tiles)
            throw std::runtime_error("the task did not start with 400 tiles");
        application.exec();
        const Clock::time_point end = Clock::now();
        const double cpu = CpuSeconds() - cpuBefore;
        const double uiCpu = UiCpuSeconds() - uiCpuBefore;

        const double toLastTile = std::chrono::duration<double>(form->LastSaved - start).count();
        const double toEnd = std::chrono::duration<double>(end - start).count();
        const int saved = form->Saved;
        form.reset();
        std::filesystem::remove_all(root);

        std::printf("task_end_seconds=%.2f cpu_seconds=%.3f ui_cpu_seconds=%.3f\n", toEnd, cpu,
                    uiCpu);
        std::printf("tiles=%d seconds=%.2f tiles_per_s=%.3f cpu_pct=%.2f\n", saved, toLastTile,
                    saved / toLastTile, 100.0 * cpu / toEnd);
        return saved == Tiles ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pace_bench: %s\n", error.what());
        return 1;
    }
}
