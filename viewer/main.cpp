// pelorin, the map viewer: started without arguments it asks for a task's project file; given
// one, it shows it at once. "--screenshot FILE" saves a picture of the window once every tile
// in sight is drawn, and quits ("--scale PIXELS" per tile sets the zoom, "--size WxH" the size).
#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPixmap>
#include <QStringList>
#include <QThread>

#include <cstdio>

#include "MapView.h"
#include "ViewerWindow.h"
#include "app/Dialogs.h"

namespace {

using quarrow::viewer::MapView;
using quarrow::viewer::ViewerWindow;

bool Settled(const MapView& view) {
    return view.CountsFinished() && view.OverviewFinished() && view.TilesSettled();
}

int TakeScreenshot(QApplication& application, ViewerWindow& window, const QString& file,
                   double scale) {
    MapView& view = *window.View();
    if (scale > 0)
        view.ZoomAt(scale / view.View().Scale, QPointF(view.width() / 2.0, view.height() / 2.0));
    // A cursor over the middle of the map, so the status bar shows its place.
    const QPointF middle(view.width() / 2.0, view.height() / 2.0);
    QMouseEvent move(QEvent::MouseMove, middle, view.mapToGlobal(middle), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &move);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 120000) {
        application.processEvents(QEventLoop::AllEvents, 50);
        view.grab(); // paints, which asks for the tiles in sight
        application.processEvents(QEventLoop::AllEvents, 50);
        if (Settled(view))
            break;
        QThread::msleep(20);
    }
    if (!window.grab().save(file)) {
        std::fprintf(stderr, "Cannot save %s\n", qPrintable(file));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("pelorin");
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    QString screenshot;
    double scale = 0;
    QSize size;
    QString project;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--screenshot" && hasValue) {
            screenshot = arguments[++i];
        } else if (argument == "--scale" && hasValue) {
            scale = arguments[++i].toDouble();
        } else if (argument == "--size" && hasValue) {
            const QStringList parts = arguments[++i].split('x');
            if (parts.size() == 2)
                size = QSize(parts[0].toInt(), parts[1].toInt());
        } else {
            project = argument;
        }
    }

    Dialogs dialogs;
    ViewerWindow window(dialogs, QApplication::applicationDirPath() + "/");
    if (size.isValid())
        window.resize(size);
    if (!screenshot.isEmpty()) {
        window.setAttribute(Qt::WA_DontShowOnScreen);
        window.show();
        if (project.isEmpty() || !window.OpenTask(project))
            return 1;
        return TakeScreenshot(application, window, screenshot, scale);
    }
    window.show();
    if (project.isEmpty())
        window.OpenClick();
    else
        window.OpenTask(project);
    return QApplication::exec();
}
