#include "Unit2.h"

TfrmAbout::TfrmAbout(Dialogs& dialogs, TForm1& mainWindow, QWidget* parent)
    : QDialog(parent), m_dialogs(dialogs), m_mainWindow(mainWindow) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About"));
}
