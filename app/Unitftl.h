// The window that fetches the tiles of a failed-tile list again and reports each one in its pane.
// A Qt window: part of the application, not of the download core (whose Rerun.h it drives).
#pragma once

#include <QDialog>

class Dialogs;
class QShowEvent;
class QWidget;
class TLinePane;
class QPushButton;

class TfrmFlt : public QDialog {
    Q_OBJECT
public:
    // The dialogs are not owned.
    explicit TfrmFlt(Dialogs& dialogs, QWidget* parent = nullptr);

public slots:
    // Asks for a list and fetches its tiles; returns when the run is over.
    void Button1Click();
    // Shows the window and asks the service again for the blank tiles of the task, a line each
    // in the pane; returns when the run is over, the window still open.
    void FetchBlanks(const QString& projectFile);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void Run();

    Dialogs& m_dialogs;
    bool m_running = false;

    QWidget* Panel1 = nullptr;
    QPushButton* Button1 = nullptr;
    QWidget* Panel2 = nullptr;
    TLinePane* Memo1 = nullptr;
};
