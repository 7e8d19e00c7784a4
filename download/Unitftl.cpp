#include "Unitftl.h"

TfrmFlt::TfrmFlt(Dialogs& dialogs, QWidget* parent) : QDialog(parent), m_dialogs(dialogs) {
    setObjectName(QStringLiteral("frmFlt"));
    setWindowTitle(QStringLiteral("Re-Download failed files"));
}
