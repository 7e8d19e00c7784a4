// The viewer's main window: the mosaic, File > Open, View > Tile age, the cursor's longitude and
// latitude (and its tile's age) and the counts of present, blank and missing tiles in the status
// bar.
#pragma once

#include <QMainWindow>
#include <QString>

class Dialogs;
class QAction;
class QLabel;

namespace quarrow::viewer {

class MapView;

class ViewerWindow : public QMainWindow {
    Q_OBJECT

public:
    // dialogs is not owned and outlives the window; executableFolder ends in "/".
    ViewerWindow(Dialogs& dialogs, const QString& executableFolder, QWidget* parent = nullptr);

    // Shows the task of the project file; an error is shown through the dialogs.
    bool OpenTask(const QString& projectFile);
    MapView* View() const noexcept { return m_view; }

public slots:
    void OpenClick();
    // View > Tile age.
    void TileAgeClick(bool shown);

private:
    void ShowCounts();
    void ShowCursor(double lon, double lat);

    Dialogs& m_dialogs;
    QString m_executableFolder;
    QString m_lastFolder;
    MapView* m_view;
    QLabel* m_cursorLabel;
    QLabel* m_countsLabel;
    QAction* m_tileAge;
};

// The status bar's texts, kept apart from the widgets so that tests read them directly.
QString CountsText(long long present, long long blank, long long missing, bool finished);
// The place under the cursor: the map library's CursorText.

} // namespace quarrow::viewer
