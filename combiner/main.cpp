// stavik: the window, started empty (an Open dialog) or with a project file; or, given a project
// file and an output, the same work without a window, its progress printed.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include <QApplication>
#include <QCoreApplication>
#include <QPixmap>
#include <QTimer>

#include "CombineTask.h"
#include "TfrmCombiner.h"
#include "app/Dialogs.h"

namespace {

int Usage() {
    std::fprintf(stderr, "Usage: stavik [TASK.zav [OUTPUT.bmp|.png|.mbtiles]]\n"
                         "       stavik --screenshot PICTURE.png TASK.zav\n");
    return 2;
}

// Without a window: one line per percent reached, the files written at the end.
int CombineWithoutWindow(const char* project, const char* output) {
    try {
        int shown = -1;
        const auto result = quarrow::combiner::CombineTask(
            project, output, [&shown](long long done, long long total) {
                const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
                if (percent != shown) {
                    shown = percent;
                    std::printf("%3d%%  %lld of %lld tiles\n", percent, done, total);
                    std::fflush(stdout);
                }
            });
        std::printf("%lld tiles, %lld missing, %lld x %lld pixels\n", result.Tiles, result.Missing,
                    result.Width, result.Height);
        for (const std::string& file : result.Files)
            std::printf("wrote %s\n", file.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "stavik: %s\n", error.what());
        return 1;
    }
}

QString ExecutableFolder() {
    QString folder = QCoreApplication::applicationDirPath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--screenshot") != 0)
        return CombineWithoutWindow(argv[1], argv[2]);
    if (argc > 4 || (argc >= 2 && std::strcmp(argv[1], "--screenshot") == 0 && argc != 4))
        return Usage();

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Map Combiner"));
    Dialogs dialogs;
    TfrmCombiner window(dialogs, ExecutableFolder());
    window.show();

    if (argc == 4) {
        // The window after combining the task to its default output, as a picture.
        const QString picture = QString::fromLocal8Bit(argv[2]);
        int status = 1;
        QObject::connect(&window, &TfrmCombiner::Done, &window, [&] {
            status = window.grab().save(picture) ? 0 : 1;
            QApplication::quit();
        });
        window.OpenTask(QString::fromLocal8Bit(argv[3]));
        window.ButtonCombineClick();
        if (!window.Running())
            return 1;
        QApplication::exec();
        return status;
    }
    if (argc == 2)
        window.OpenTask(QString::fromLocal8Bit(argv[1]));
    else
        // Once the window is up, so the dialog has it as its owner.
        QTimer::singleShot(0, &window, &TfrmCombiner::ButtonOpenClick);
    return QApplication::exec();
}
