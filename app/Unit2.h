// The About window. Until its content lands it is a plain window with its caption.
#pragma once

#include <QDialog>

class Dialogs;
class TForm1;

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    // Neither the dialogs nor the main window are owned.
    TfrmAbout(Dialogs& dialogs, TForm1& mainWindow, QWidget* parent = nullptr);

private:
    Dialogs& m_dialogs;
    TForm1& m_mainWindow;
};
