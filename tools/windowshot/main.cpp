// Takes pictures of Quarrow's windows for the README and the manual: the main window during a
// task against the local tile service and at the end of a task that a service refuses, the
// Options dialog, the converter, the About window and the help window. Runs offscreen; no message
// box blocks it.
//
//   windowshot PROGRAM_FOLDER SAVE_FOLDER OUTPUT_FOLDER [CERT KEY]
//
// PROGRAM_FOLDER holds ini/config.ini (naming the tile service), blankimg/blank.png and the HTML
// manual in help/. With a certificate and its key that Quarrow does not trust (a self-signed
// one), also the main window after a task whose https source presents it. Last, the update of a
// task after the service changed some of its tiles.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QSpinBox>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "app/AreaWindow.h"
#include "app/Convert.h"
#include "widgets/Dialogs.h"
#include "widgets/HelpWindow.h"
#include "app/SourcesDialog.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "app/Unitftl.h"
#include "app/Unitoptions.h"
#include "download/FailedTileList.h"
#include "engine/ProfileFile.h"
#include "engine/SourcesFile.h"
#include "engine/Unitclasstask.h"
#include "tools/tileservice/TileService.h"

namespace {

// Message boxes go to the terminal instead of waiting for a click.
class PrintingDialogs : public Dialogs {
public:
    void Message(const QString& text) override { std::printf("message: %s\n", qPrintable(text)); }
    void Error(const QString& text) override { std::printf("error: %s\n", qPrintable(text)); }
    // The file dialog picks this file at once.
    QString OpenFile(const QString&, const QString&, const QString&) override { return FileAnswer; }
    QString FileAnswer;
};

void RunFor(int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

bool Save(QWidget& window, const QString& path) {
    const bool saved = window.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

// Types into the window's edit of that name.
void Type(QWidget& window, const char* name, const QString& text) {
    window.findChild<QLineEdit*>(QString::fromLatin1(name))->setText(text);
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: windowshot PROGRAM_FOLDER SAVE_FOLDER OUTPUT_FOLDER [CERT KEY]\n");
        return 2;
    }
    const QString program = QDir(QString::fromLocal8Bit(argv[1])).absolutePath() + "/";
    // As given: a relative folder keeps the pictures free of this machine's folders.
    const QString save = QString::fromLocal8Bit(argv[2]);
    const QString output = QDir(QString::fromLocal8Bit(argv[3])).absolutePath() + "/";
    PrintingDialogs dialogs;
    bool ok = true;
    {
        TForm1 form(dialogs, program);
        form.show();
        Type(form, "EditTaskName", QStringLiteral("beijing.zav"));
        Type(form, "Edit1", QStringLiteral("116.1"));
        Type(form, "Edit3", QStringLiteral("116.7"));
        Type(form, "Edit2", QStringLiteral("40.1"));
        Type(form, "Edit4", QStringLiteral("39.7"));
        Type(form, "Edit6", save);
        RunFor(300);
        ok = Save(form, output + "main-window-idle.png") && ok;
        form.BitBtn1Click();
        RunFor(6500);
        ok = Save(form, output + "main-window.png") && ok;
        // The Tools menu with a task at hand: its items for that task are not greyed.
        if (QMenu* tools = form.menuBar()->findChild<QMenu*>(QStringLiteral("Tools1"))) {
            tools->popup(form.mapToGlobal(QPoint(150, 20)));
            RunFor(200);
            ok = Save(*tools, output + "main-window-tools.png") && ok;
            tools->hide();
        }

        // A zoom range, its first level running: one task a level, the status bar says which.
        {
            TForm1 range(dialogs, program);
            range.show();
            Type(range, "EditTaskName", QStringLiteral("city"));
            Type(range, "Edit1", QStringLiteral("116.3"));
            Type(range, "Edit3", QStringLiteral("116.5"));
            Type(range, "Edit2", QStringLiteral("40"));
            Type(range, "Edit4", QStringLiteral("39.85"));
            Type(range, "Edit6", save);
            Type(range, "Edit5", QStringLiteral("12"));
            if (auto* to = range.findChild<QSpinBox*>(QStringLiteral("ZoomTo")))
                to->setValue(14);
            RunFor(300);
            range.BitBtn1Click();
            RunFor(3500);
            ok = Save(range, output + "main-window-zoom-range.png") && ok;
        }

        // A service that refuses every tile, and the window at the end of that task.
        const QString refusingProgram = program + "refusing/";
        QDir().mkpath(refusingProgram + "ini");
        QDir().mkpath(refusingProgram + "blankimg");
        quarrow::tileservice::ServiceOptions refusing;
        refusing.Port = 0;
        refusing.Share403 = 1;
        quarrow::tileservice::TileService refusingService(refusing);
        quarrow::ProfileFile((refusingProgram + "ini/config.ini").toStdString())
            .WriteString("Service", "Host", "127.0.0.1:" + std::to_string(refusingService.Port()));
        TForm1 refused(dialogs, refusingProgram);
        refused.show();
        Type(refused, "EditTaskName", QStringLiteral("refused.zav"));
        Type(refused, "Edit1", QStringLiteral("116.3"));
        Type(refused, "Edit3", QStringLiteral("116.5"));
        Type(refused, "Edit2", QStringLiteral("40"));
        Type(refused, "Edit4", QStringLiteral("39.8"));
        Type(refused, "Edit6", save);
        refused.BitBtn1Click();
        for (int waited = 0; waited < 20000 && refused.RunningWorkers > 0; waited += 100)
            RunFor(100);
        RunFor(1500); // the monitor's tick ends the task
        ok = Save(refused, output + "main-window-refused.png") && ok;

        TfrmAbout about(dialogs, form);
        about.show();
        RunFor(300);
        ok = Save(about, output + "about.png") && ok;
    }
    if (argc == 6) {
        // An https source whose certificate Quarrow does not trust: the task stops at once and
        // the status bar says why.
        quarrow::tileservice::ServiceOptions secure;
        secure.Port = 0;
        secure.TlsCert = argv[4];
        secure.TlsKey = argv[5];
        quarrow::tileservice::TileService secureService(secure);
        const QString secureProgram = program + "secure/";
        QDir().mkpath(secureProgram + "ini");
        QDir().mkpath(secureProgram + "blankimg");
        quarrow::TileSource source;
        source.Name = "Own server (https)";
        source.Templates[0] = "https://localhost:" + std::to_string(secureService.Port()) +
                              "/xyz/normal/{z}/{x}/{y}.png";
        quarrow::WriteSources(quarrow::SourcesFilePath(secureProgram.toStdString()), {source});
        TForm1 refused(dialogs, secureProgram);
        refused.show();
        RunFor(200);
        Type(refused, "EditTaskName", QStringLiteral("own.zav"));
        Type(refused, "Edit1", QStringLiteral("116.3"));
        Type(refused, "Edit3", QStringLiteral("116.5"));
        Type(refused, "Edit2", QStringLiteral("40"));
        Type(refused, "Edit4", QStringLiteral("39.8"));
        Type(refused, "Edit6", save);
        refused.findChild<QComboBox*>(QStringLiteral("ComboSource"))->setCurrentIndex(1);
        refused.BitBtn1Click();
        for (int waited = 0; waited < 20000 && refused.RunningWorkers > 0; waited += 100)
            RunFor(100);
        RunFor(1500); // the monitor's tick ends the task
        ok = Save(refused, output + "main-window-certificate.png") && ok;
    }
    {
        // Two custom sources, one of them the local service's XYZ paths, tried out.
        const std::string host = quarrow::ProfileFile((program + "ini/config.ini").toStdString())
                                     .ReadString("Service", "Host", "127.0.0.1:8642");
        quarrow::TileSource local;
        local.Name = "Local terrain (XYZ)";
        local.Templates[2] = "http://" + host + "/xyz/terrain/{z}/{x}/{y}.png";
        local.Bounds = quarrow::GeoBounds{116.1, 39.7, 116.7, 40.1};
        local.MinZoom = 10;
        quarrow::TileSource topo;
        topo.Name = "Topo Example";
        topo.Templates[0] = "https://{s}.tiles.example.com/topo/{z}/{x}/{y}.png?key=YOUR-KEY";
        topo.Subdomains = {"a", "b", "c"};
        quarrow::WriteSources(quarrow::SourcesFilePath(program.toStdString()), {local, topo});
        TfrmSources sources(dialogs, program);
        sources.show();
        sources.ButtonTestClick();
        for (int waited = 0; waited < 10000 && sources.Testing(); waited += 50)
            RunFor(50);
        RunFor(200);
        ok = Save(sources, output + "sources.png") && ok;
        TfrmSourceEdit editor(dialogs, {});
        editor.SetSource(topo);
        editor.show();
        RunFor(300);
        ok = Save(editor, output + "source-edit.png") && ok;
    }
    {
        // The map window on the local service, with a track along a river and its corridor.
        const std::string host = quarrow::ProfileFile((program + "ini/config.ini").toStdString())
                                     .ReadString("Service", "Host", "127.0.0.1:8642");
        const QString track = program + "track.gpx";
        QFile gpx(track);
        gpx.open(QIODevice::WriteOnly);
        gpx.write("<?xml version=\"1.0\"?><gpx version=\"1.1\"><trk><name>Walk</name><trkseg>"
                  "<trkpt lat=\"39.905\" lon=\"116.21\"/><trkpt lat=\"39.93\" lon=\"116.28\"/>"
                  "<trkpt lat=\"39.915\" lon=\"116.35\"/><trkpt lat=\"39.95\" lon=\"116.42\"/>"
                  "<trkpt lat=\"39.99\" lon=\"116.47\"/></trkseg></trk></gpx>");
        gpx.close();
        TfrmArea area(dialogs, program);
        area.resize(900, 640);
        area.show();
        area.Begin(std::nullopt, 18, host, 13, quarrow::GeoBounds{116.1, 39.7, 116.7, 40.1},
                   nullptr);
        area.OpenArea(track);
        for (int waited = 0; waited < 10000; waited += 100) {
            RunFor(100);
            area.Map()->grab();
            if (area.Map()->TilesSettled())
                break;
        }
        RunFor(300);
        ok = Save(area, output + "area.png") && ok;

        // A small rectangle opens centred, zoomed to fit.
        TfrmArea small(dialogs, program);
        small.resize(900, 640);
        small.Begin(std::nullopt, 18, host, 15, quarrow::GeoBounds{116.39, 39.90, 116.41, 39.91},
                    nullptr);
        small.show();
        for (int waited = 0; waited < 10000; waited += 100) {
            RunFor(100);
            small.Map()->grab();
            if (small.Map()->TilesSettled())
                break;
        }
        RunFor(300);
        ok = Save(small, output + "area-small.png") && ok;
    }
    {
        THelpWindow help;
        help.ShowManual(program + "help/index.html");
        RunFor(300);
        ok = Save(help, output + "help-window.png") && ok;
    }
    {
        TfrmConvert convert(dialogs);
        convert.show();
        Type(convert, "Edit1", QStringLiteral("39"));
        Type(convert, "Edit2", QStringLiteral("54"));
        Type(convert, "Edit3", QStringLiteral("26.4"));
        convert.Button1Click();
        RunFor(300);
        ok = Save(convert, output + "convert.png") && ok;
    }
    {
        TfrmOptions options(dialogs, program);
        options.show();
        RunFor(300);
        ok = Save(options, output + "options.png") && ok;
    }
    {
        // A failed-tile list of the task above, one of its tiles unknown to the service.
        auto params = std::make_shared<TaskParams>();
        params->LeftLongitude = 116.3;
        params->RightLongitude = 116.32;
        params->TopLatitude = 40.0;
        params->BottomLatitude = 39.99;
        params->Zoom = 13;
        params->MapsType = 18;
        params->SavePath = save.toStdString() + "/";
        params->ProjectName = "beijing.zav";
        params->ServiceHost = quarrow::ProfileFile((program + "ini/config.ini").toStdString())
                                  .ReadString("Service", "Host", params->ServiceHost);
        const DownloadTask task(params);
        std::vector<std::string> lines;
        for (const auto& [x, y] :
             {std::pair{6742, 3101}, {6742, 3102}, {99999, 3101}, {6743, 3101}})
            lines.push_back(quarrow::FailureEntryLine(task.TilePath(x, y), task.TileUrl(x, y)));
        quarrow::WriteFailedList(task.FailedFile, lines);
        TfrmFlt flt(dialogs);
        flt.show();
        dialogs.FileAnswer = QString::fromStdString(task.FailedFile);
        flt.Button1Click();
        RunFor(300);
        ok = Save(flt, output + "redownload.png") && ok;
    }
    {
        // A custom source's task, then its update once the service has changed some tiles: the
        // update dialog, and the window at the update's end.
        quarrow::tileservice::ServiceOptions before;
        before.Port = 0;
        auto service = std::make_unique<quarrow::tileservice::TileService>(before);
        const int port = service->Port();
        const QString updateProgram = program + "update/";
        QDir().mkpath(updateProgram + "ini");
        QDir().mkpath(updateProgram + "blankimg");
        QFile::copy(program + "blankimg/blank.png", updateProgram + "blankimg/blank.png");
        quarrow::TileSource source;
        source.Name = "Local (XYZ)";
        source.Templates[0] =
            "http://127.0.0.1:" + std::to_string(port) + "/xyz/normal/{z}/{x}/{y}.png";
        source.Workers = 8;
        source.TileDelayMs = 0;
        quarrow::WriteSources(quarrow::SourcesFilePath(updateProgram.toStdString()), {source});
        TForm1 form(dialogs, updateProgram);
        form.show();
        RunFor(200);
        Type(form, "EditTaskName", QStringLiteral("fresh.zav"));
        Type(form, "Edit1", QStringLiteral("116.3"));
        Type(form, "Edit3", QStringLiteral("116.5"));
        Type(form, "Edit2", QStringLiteral("40"));
        Type(form, "Edit4", QStringLiteral("39.8"));
        Type(form, "Edit5", QStringLiteral("14"));
        Type(form, "Edit6", save);
        form.findChild<QComboBox*>(QStringLiteral("ComboSource"))->setCurrentIndex(1);
        form.BitBtn1Click();
        for (int waited = 0; waited < 20000 && form.RunningWorkers > 0; waited += 100)
            RunFor(100);
        RunFor(1500); // the monitor's tick ends the task
        service.reset();
        quarrow::tileservice::ServiceOptions after = before;
        after.Port = port;
        after.ChangedEvery = 20;
        service = std::make_unique<quarrow::tileservice::TileService>(after);
        // The dialog is modal: it is filled, pictured and accepted from the event loop.
        QTimer::singleShot(300, [&] {
            auto* dialog = form.findChild<QDialog*>(QStringLiteral("frmUpdate"));
            if (!dialog)
                return;
            ok = Save(*dialog, output + "update-dialog.png") && ok;
            dialog->findChild<QPushButton*>(QStringLiteral("ButtonOk"))->click();
        });
        form.UpdateTask1Click();
        for (int waited = 0; waited < 20000 && form.RunningWorkers > 0; waited += 100)
            RunFor(100);
        RunFor(1500);
        ok = Save(form, output + "main-window-update.png") && ok;
    }
    return ok ? 0 : 1;
}
