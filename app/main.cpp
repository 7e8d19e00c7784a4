// The program: the application object, the five windows in their order, the event loop.
#include <exception>
#include <memory>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>

#include "Convert.h"
#include "Dialogs.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unitoptions.h"
#include "app/Unitftl.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarrow"));
    Dialogs dialogs;
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
