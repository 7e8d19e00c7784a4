// The program: the application object, the five windows in their order, the event loop. Its
// options (help and version) are read before any window exists, so they need no display.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>

#include "Convert.h"
#include "widgets/Dialogs.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unitoptions.h"
#include "app/Unitftl.h"
#include "engine/Locations.h"
#include "engine/Version.h"

namespace {

const char* const UsageText = "Usage: quarrow\n"
                              "       quarrow --help | --version\n"
                              "\n"
                              "Opens Quarrow's main window, which downloads the map tiles of an "
                              "area.\n"
                              "  --help     show this text\n"
                              "  --version  show the version\n";

// The exit status when an argument ends the program before its window, else -1. Qt's own
// options (one dash: -platform, -style ...) are Qt's.
int ReadArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help") {
            std::fputs(UsageText, stdout);
            std::printf("\nSettings: %s\n",
                        quarrow::SettingsFilePath(quarrow::RunningProgramFolder()).c_str());
            return 0;
        }
        if (argument == "--version") {
            std::printf("quarrow %s\n", std::string(quarrow::QuarrowVersion).c_str());
            return 0;
        }
        if (argument.starts_with("--")) {
            std::fprintf(stderr, "quarrow: unknown option %s\n%s", argument.c_str(), UsageText);
            return 2;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (const int status = ReadArguments(argc, argv); status >= 0)
        return status;
    QApplication application(argc, argv);
    // What Qt did not take as its own is no argument of Quarrow's.
    if (QCoreApplication::arguments().size() > 1) {
        std::fprintf(stderr, "quarrow: unknown argument %s\n%s",
                     qPrintable(QCoreApplication::arguments().at(1)), UsageText);
        return 2;
    }
    QApplication::setApplicationName(QStringLiteral("Quarrow"));
    DesktopDialogs dialogs;
    try {
        QString folder = QCoreApplication::applicationDirPath();
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        // Destroyed in the reverse order: the main window, which ends the workers, goes last.
        TForm1 form1(dialogs, folder);
        TfrmAbout frmAbout(dialogs, form1);
        TfrmConvert frmConvert(dialogs);
        TfrmOptions frmOptions(dialogs, folder);
        TfrmFlt frmFlt(dialogs);
        form1.SetWindows(&frmAbout, &frmConvert, &frmOptions, &frmFlt);
        form1.show();
        return QApplication::exec();
    } catch (const std::exception& error) {
        dialogs.Error(QString::fromStdString(error.what()));
    } catch (...) {
        dialogs.Error(QString());
    }
    return 1;
}
