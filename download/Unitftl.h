// The window that fetches the tiles of a failed-tile list again. Until its content lands it is a
// plain window with its caption. A Qt window: part of the application, not of the download core.
#pragma once

#include <QDialog>

class Dialogs;

class TfrmFlt : public QDialog {
    Q_OBJECT
public:
    // The dialogs are not owned.
    explicit TfrmFlt(Dialogs& dialogs, QWidget* parent = nullptr);

private:
    Dialogs& m_dialogs;
};
