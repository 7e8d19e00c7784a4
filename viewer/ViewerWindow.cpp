// The viewer's main window.
#include "ViewerWindow.h"

#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>

#include "MapView.h"
#include "TileAge.h"
#include "ViewerTask.h"
#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "engine/Locations.h"
#include "store/TileFile.h"
#include "store/TileRecords.h"

namespace quarrow::viewer {

QString CountsText(long long present, long long blank, long long missing, bool finished) {
    QString text = QStringLiteral("Present: %1   Blank: %2   Missing: %3")
                       .arg(present)
                       .arg(blank)
                       .arg(missing);
    if (!finished)
        text += QStringLiteral("   (counting...)");
    return text;
}

ViewerWindow::ViewerWindow(Dialogs& dialogs, const QString& executableFolder, QWidget* parent)
    : QMainWindow(parent), m_dialogs(dialogs), m_executableFolder(executableFolder),
      m_view(new MapView(this)), m_cursorLabel(new QLabel(this)), m_countsLabel(new QLabel(this)) {
    setObjectName("ViewerWindow");
    setWindowTitle(tr("Map Viewer"));
    setCentralWidget(m_view);
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* open = file->addAction(tr("&Open..."), this, &ViewerWindow::OpenClick);
    open->setObjectName("OpenAction");
    open->setShortcut(QKeySequence::Open);
    file->addSeparator();
    file->addAction(tr("E&xit"), this, &QWidget::close);
    QMenu* view = menuBar()->addMenu(tr("&View"));
    m_tileAge = view->addAction(tr("Tile &age"), this, &ViewerWindow::TileAgeClick);
    m_tileAge->setObjectName("TileAgeAction");
    m_tileAge->setCheckable(true);

    m_cursorLabel->setObjectName("CursorLabel");
    m_countsLabel->setObjectName("CountsLabel");
    statusBar()->addWidget(m_cursorLabel, 1);
    statusBar()->addPermanentWidget(m_countsLabel);
    connect(m_view, &MapView::CountsChanged, this, &ViewerWindow::ShowCounts);
    connect(m_view, &MapView::CursorMoved, this, &ViewerWindow::ShowCursor);
    connect(m_view, &MapView::TileRefused, this, [this](const QString& path, int side) {
        statusBar()->showMessage(
            QFileInfo(path).fileName() +
                tr(" is not a %1 x %1 tile picture: it is shown as missing.").arg(side),
            10000);
    });
    resize(1024, 720);
}

void ViewerWindow::OpenClick() {
    RunHandler(m_dialogs, [this] {
        // The last folder used, else the save folder of the settings: where the tasks are.
        const QString initial =
            !m_lastFolder.isEmpty()
                ? m_lastFolder
                : QString::fromStdString(DefaultSaveFolder(m_executableFolder.toStdString()));
        const QString file =
            m_dialogs.OpenFile(tr("Open task"), QStringLiteral("Projects(*.zav)|*.zav"), initial);
        if (!file.isEmpty())
            OpenTask(file);
    });
}

bool ViewerWindow::OpenTask(const QString& projectFile) {
    bool opened = false;
    RunHandler(m_dialogs, [&] {
        auto task = std::make_shared<const ViewerTask>(projectFile.toStdString());
        const std::string blank = ReadBlankImage(
            BlankImagePath(m_executableFolder.toStdString(), task->Task().TileExtension()));
        m_lastFolder = QFileInfo(projectFile).absolutePath();
        setWindowTitle(QFileInfo(projectFile).fileName() + tr(" - Map Viewer"));
        m_view->ShowTask(std::move(task), blank);
        opened = true;
    });
    return opened;
}

void ViewerWindow::ShowCounts() {
    const TileCounts& counts = m_view->Counts();
    m_countsLabel->setText(
        CountsText(counts.Present, counts.Blank, counts.Missing, m_view->CountsFinished()));
}

void ViewerWindow::TileAgeClick(bool shown) {
    m_tileAge->setChecked(shown);
    m_view->SetShowAges(shown);
}

void ViewerWindow::ShowCursor(double lon, double lat) {
    QString text = CursorText(lon, lat);
    if (m_view->ShowsAges()) {
        if (const auto tile = m_view->FetchedAt(lon, lat))
            text += QStringLiteral("   Tile %1/%2: %3")
                        .arg(tile->X)
                        .arg(tile->Y)
                        .arg(QString::fromStdString(AgeText(SecondsBetween(SecondsNow(), tile->Fetched))));
    }
    m_cursorLabel->setText(text);
}

} // namespace quarrow::viewer
