// Viewer benchmark: writes the project file of a task of a million tiles (1000 x 1000, an empty
// tile folder), then measures, offscreen, the time from creating the viewer's window to its first
// painted picture of the whole task, and the frames of wheel zooms and drags while the background
// still counts the tiles.
//
// Last line: tiles=<n> open_paint_ms= frame_median_ms= frame_max_ms= count_ms= rss_mb=
// Goals: open_paint_ms < 1000 and frames well under 50 ms.
//
// With "--sample FOLDER" it writes instead the small real task of the viewer's tests (tiles drawn
// by the local tile service, three missing, one blank) for pictures of the window.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <sys/resource.h>

#include "widgets/Dialogs.h"
#include "geo/Commonfunc.h"
#include "engine/Unitclasstask.h"
#include "tests/viewer/SampleTask.h"
#include "viewer/MapView.h"
#include "viewer/ViewerWindow.h"

namespace {

using Milliseconds = std::chrono::duration<double, std::milli>;
using quarrow::viewer::MapView;

double Since(std::chrono::steady_clock::time_point start) {
    return Milliseconds(std::chrono::steady_clock::now() - start).count();
}

std::string MillionTileTask(const std::string& folder) {
    auto params = std::make_shared<TaskParams>();
    params->LeftLongitude = TileXToLon(8000.5, 14);
    params->RightLongitude = TileXToLon(8999.5, 14);
    params->TopLatitude = TileYToLat(5000.5, 14);
    params->BottomLatitude = TileYToLat(5999.5, 14);
    params->Zoom = 14;
    params->SavePath = folder;
    params->ProjectName = "million.zav";
    const DownloadTask task(params);
    task.WriteProjectFile();
    std::printf("project %s: %d tiles\n", task.ProjectFile().c_str(), task.TileCount);
    return task.ProjectFile();
}

void Mouse(QWidget& widget, QEvent::Type type, QPointF at, Qt::MouseButtons held) {
    QMouseEvent event(type, at, widget.mapToGlobal(at),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

// One step of a person looking around: a wheel notch in or out, or a drag.
void Interact(MapView& view, int step) {
    const QPointF at(200 + (step * 37) % 600, 150 + (step * 53) % 400);
    if (step % 3 == 2) {
        Mouse(view, QEvent::MouseButtonPress, at, Qt::LeftButton);
        Mouse(view, QEvent::MouseMove, at + QPointF(-120, -80), Qt::LeftButton);
        Mouse(view, QEvent::MouseButtonRelease, at + QPointF(-120, -80), Qt::NoButton);
        return;
    }
    const int notches = step < 40 ? 2 : -2;
    QWheelEvent wheel(at, view.mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&view, &wheel);
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--sample") {
        QFile blank(QCoreApplication::applicationDirPath() + "/../app/blankimg/blank.png");
        std::string blankBytes;
        if (blank.open(QIODevice::ReadOnly))
            blankBytes = blank.readAll().toStdString();
        std::string folder = argv[2];
        if (!folder.ends_with('/'))
            folder += '/';
        std::printf("%s\n", quarrow::test::WriteSampleTask(folder, blankBytes).ProjectFile.c_str());
        return 0;
    }

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const std::string project = MillionTileTask(dir.path().toStdString() + "/");

    const auto start = std::chrono::steady_clock::now();
    Dialogs dialogs;
    quarrow::viewer::ViewerWindow window(dialogs, QCoreApplication::applicationDirPath() + "/");
    window.resize(1024, 720);
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.show();
    if (!window.OpenTask(QString::fromStdString(project)))
        return 1;
    window.grab();
    const double openPaint = Since(start);

    MapView& view = *window.View();
    std::vector<double> frames;
    for (int step = 0; step < 80; ++step) {
        const auto frameStart = std::chrono::steady_clock::now();
        Interact(view, step);
        view.grab();
        QCoreApplication::processEvents();
        frames.push_back(Since(frameStart));
    }
    QElapsedTimer waited;
    waited.start();
    while (!view.CountsFinished() && waited.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const double counted = Since(start);

    std::sort(frames.begin(), frames.end());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto& counts = view.Counts();
    std::printf("counts: present=%lld blank=%lld missing=%lld%s\n", counts.Present, counts.Blank,
                counts.Missing, view.CountsFinished() ? "" : " (unfinished)");
    std::printf("tiles=1000000 open_paint_ms=%.1f frame_median_ms=%.1f frame_max_ms=%.1f "
                "count_ms=%.0f rss_mb=%.0f\n",
                openPaint, frames[frames.size() / 2], frames.back(), counted,
                static_cast<double>(usage.ru_maxrss) / 1024);
    return 0;
}
