// The window that fetches the tiles of a failed-tile list again and reports each one in its pane.
// A Qt window: part of the application, not of the download core (whose Rerun.h it drives).
#pragma once

#include <atomic>

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
    // in the pane as it comes, on a thread of its own; its Stop button ends the run after the
    // tile at hand. Returns when the run is over, the window still open.
    void FetchBlanks(const QString& projectFile);
    // Asks the blank tiles' run to stop.
    void ButtonStopClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void Run();

    Dialogs& m_dialogs;
    bool m_running = false;
    std::atomic<bool> m_stop{false};

    QWidget* Panel1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* ButtonStop = nullptr; // shown while the blank tiles are asked again
    QWidget* Panel2 = nullptr;
    TLinePane* Memo1 = nullptr;
};
