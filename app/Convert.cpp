#include "Convert.h"

TfrmConvert::TfrmConvert(Dialogs& dialogs, QWidget* parent) : QDialog(parent), m_dialogs(dialogs) {
    setObjectName(QStringLiteral("frmConvert"));
    setWindowTitle(QStringLiteral("Convert \"Degrees,Minutes,Seconds\" to \"Degrees\""));
}
