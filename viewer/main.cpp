// pelorin, the map viewer: started without arguments it asks for a task's project file; given
// one, it shows it at once. The options are in UsageText below.
#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPixmap>
#include <QStringList>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "MapView.h"
#include "ViewerWindow.h"
#include "widgets/Dialogs.h"
#include "engine/Locations.h"
#include "engine/Version.h"

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
    // A cursor over the map, so the status bar shows its place (and, once its tile is read, the
    // tile's age).
    const QPointF cursor(view.width() * 0.4, view.height() * 0.4);
    const auto moveCursor = [&] {
        QMouseEvent move(QEvent::MouseMove, cursor, view.mapToGlobal(cursor), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &move);
    };
    moveCursor();
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
    moveCursor();
    if (!window.grab().save(file)) {
        std::fprintf(stderr, "Cannot save %s\n", qPrintable(file));
        return 1;
    }
    return 0;
}

const char* const UsageText =
    "Usage: pelorin [TASK.zav]\n"
    "       pelorin --tile-age [TASK.zav]\n"
    "       pelorin --screenshot PICTURE.png [--scale PIXELS] [--size WIDTHxHEIGHT] TASK.zav\n"
    "       pelorin --help | --version\n"
    "\n"
    "Shows the tiles of a Quarrow task as one map; without a task it asks for one.\n"
    "  --screenshot PICTURE.png  save a picture of the window once every tile in sight is\n"
    "                            drawn, then quit (no display needed)\n"
    "  --scale PIXELS            the size of a tile on screen in the picture\n"
    "  --size WIDTHxHEIGHT       the size of the window in the picture\n"
    "  --tile-age                each tile shaded by the time since it was fetched\n"
    "                            (View > Tile age), also in the picture\n"
    "  --help                    show this text\n"
    "  --version                 show the version\n";

struct Arguments {
    QString Screenshot;
    double Scale = 0;
    QSize Size;
    QString Project;
    bool TileAge = false;
};

// The arguments, or the exit status when the program ends without a window (help, version, a
// mistake). Read before any window exists, so that no display is needed for them.
std::variant<Arguments, int> ReadArguments(int argc, char** argv) {
    Arguments read;
    const auto wrong = [](const char* why) {
        std::fprintf(stderr, "pelorin: %s\n%s", why, UsageText);
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--help") {
            std::fputs(UsageText, stdout);
            std::printf("\nSettings: %s\n",
                        quarrow::SettingsFilePath(quarrow::RunningProgramFolder()).c_str());
            return 0;
        } else if (argument == "--version") {
            std::printf("pelorin (Quarrow) %s\n", std::string(quarrow::QuarrowVersion).c_str());
            return 0;
        } else if (argument == "--screenshot" || argument == "--scale" || argument == "--size") {
            if (!hasValue)
                return wrong((argument + " needs a value").c_str());
            const QString value = QString::fromLocal8Bit(argv[++i]);
            if (argument == "--screenshot") {
                read.Screenshot = value;
            } else if (argument == "--scale") {
                bool number = false;
                read.Scale = value.toDouble(&number);
                if (!number || read.Scale <= 0)
                    return wrong("--scale needs a number of pixels above 0");
            } else {
                const QStringList parts = value.split('x');
                read.Size = parts.size() == 2 ? QSize(parts[0].toInt(), parts[1].toInt()) : QSize();
                if (!read.Size.isValid() || read.Size.isEmpty())
                    return wrong("--size needs WIDTHxHEIGHT");
            }
        } else if (argument == "--tile-age") {
            read.TileAge = true;
        } else if (argument.starts_with("-")) {
            return wrong(("unknown option " + argument).c_str());
        } else if (!read.Project.isEmpty()) {
            return wrong("one task at most");
        } else {
            read.Project = QString::fromLocal8Bit(argv[i]);
        }
    }
    if (!read.Screenshot.isEmpty() && read.Project.isEmpty())
        return wrong("--screenshot needs a task");
    if (read.Screenshot.isEmpty() && (read.Scale > 0 || read.Size.isValid()))
        return wrong("--scale and --size go with --screenshot");
    return read;
}

} // namespace

int main(int argc, char** argv) {
    const std::variant<Arguments, int> arguments = ReadArguments(argc, argv);
    if (const int* status = std::get_if<int>(&arguments))
        return *status;
    const Arguments& read = std::get<Arguments>(arguments);
    if (!read.Screenshot.isEmpty())
        setenv("QT_QPA_PLATFORM", "offscreen", 0);

    QApplication application(argc, argv);
    QApplication::setApplicationName("pelorin");
    Dialogs dialogs;
    ViewerWindow window(dialogs, QApplication::applicationDirPath() + "/");
    if (read.Size.isValid())
        window.resize(read.Size);
    if (read.TileAge)
        window.TileAgeClick(true);
    if (!read.Screenshot.isEmpty()) {
        window.setAttribute(Qt::WA_DontShowOnScreen);
        window.show();
        if (!window.OpenTask(read.Project))
            return 1;
        return TakeScreenshot(application, window, read.Screenshot, read.Scale);
    }
    window.show();
    if (read.Project.isEmpty())
        window.OpenClick();
    else
        window.OpenTask(read.Project);
    return QApplication::exec();
}
