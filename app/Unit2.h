// The About window: the program's title and version, the developer line and two links, the home
// page and the support mail address, both opened by the desktop shell.
#pragma once

#include <QDialog>

class Dialogs;
class QFrame;
class QLabel;
class QPushButton;
class QShowEvent;
class TForm1;
class TLinkLabel;

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    // Neither the dialogs nor the main window are owned.
    TfrmAbout(Dialogs& dialogs, TForm1& mainWindow, QWidget* parent = nullptr);

public slots:
    // Fills the title line and the links from the main window; runs at every showing.
    void FormShow();
    // Opens the home page.
    void Label4Click();
    // Opens the mail link.
    void Label7Click();
    // Closes the window.
    void bLaterClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();

    Dialogs& m_dialogs;
    TForm1& m_mainWindow;
    bool m_placed = false;

    QFrame* Panel1 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label8 = nullptr;
    QLabel* Label5 = nullptr;
    TLinkLabel* Label4 = nullptr;
    QLabel* Label6 = nullptr;
    TLinkLabel* Label7 = nullptr;
    QPushButton* bLater = nullptr;
};
