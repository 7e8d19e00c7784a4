// The degrees-minutes-seconds converter. Until its content lands it is a plain window with its
// caption.
#pragma once

#include <QDialog>

class Dialogs;

class TfrmConvert : public QDialog {
    Q_OBJECT
public:
    // The dialogs are not owned.
    explicit TfrmConvert(Dialogs& dialogs, QWidget* parent = nullptr);

private:
    Dialogs& m_dialogs;
};
