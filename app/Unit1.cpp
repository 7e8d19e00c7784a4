// The main window: its controls, Open task, Start and Stop, the progress monitor and the menu.
#include "Unit1.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "AreaWindow.h"
#include "Convert.h"
#include "widgets/WorkOffUi.h"
#include "widgets/Dialogs.h"
#include "widgets/ElidedLabel.h"
#include "widgets/HandlerEdge.h"
#include "widgets/LinePane.h"
#include "widgets/QtText.h"
#include "widgets/RadioGroup.h"
#include "SourcesDialog.h"
#include "task/StartRules.h"
#include "task/TaskOutcome.h"
#include "Unit2.h"
#include "Unitoptions.h"
#include "UpdateDialog.h"
#include "widgets/UpDown.h"
#include "widgets/WindowFont.h"
#include "app/Unitftl.h"
#include "engine/DateTimeText.h"
#include "base/Exception.h"
#include "engine/Locations.h"
#include "engine/RecentTasks.h"
#include "engine/ProfileFile.h"
#include "engine/SourcesFile.h"
#include "base/TextRules.h"
#include "engine/Version.h"

using namespace quarrow;

namespace {

const char* const HomePage = "http://www.quarrow.example/";
const char* const SupportMail = "mailto:support@quarrow.example";
constexpr int ClientWidth = 693;
constexpr int ClientHeight = 382;
constexpr int PanelWidth = 353;
// Beyond the stop's grace, how long leaving waits for the workers' last lines.
constexpr std::chrono::milliseconds LeaveMargin{300};

std::string Text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

QString ManualFile(const std::string& executableFolder) {
    return Q(DataFolder(executableFolder) + "help/help.chm");
}

} // namespace

TForm1::TForm1(Dialogs& dialogs, const QString& executableFolder, QWidget* parent)
    : QMainWindow(parent), m_dialogs(dialogs), m_executableFolder(executableFolder.toStdString()) {
    setObjectName(QStringLiteral("Form1"));
    // The settings paths are also known before the first showing, so a Start without one reads
    // the real settings file.
    ConfigFile = Q(SettingsFilePath(m_executableFolder));
    HelpFile = ManualFile(m_executableFolder);
    BuildControls();
    m_logSink.Pane = Memo1;
    m_failedSink.Pane = Memo2;
    BuildMenu();
    ShowIdleEstimate();
}

TForm1::~TForm1() {
    EndWorkers();
}

void TForm1::EndWorkers() {
    Timer1->stop();
    const bool running = CurrentTask && !m_ending &&
                         std::any_of(Workers.begin(), Workers.end(),
                                     [](const auto& worker) { return worker != nullptr; });
    if (running) {
        // Leaving stops the task as Stop does, and lets the workers' last lines reach the pane:
        // a request in flight is cut after the stop's grace, and its line follows at once.
        StopTask();
        const auto until = std::chrono::steady_clock::now() + StopGrace() + LeaveMargin;
        while (RunningWorkers > 0 && std::chrono::steady_clock::now() < until) {
            m_workerHost.RunQueued();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } else {
        // Every worker is asked to stop before anything wakes it: a worker woken first would go
        // on fetching, its waits and its UI calls returning at once.
        for (auto& worker : Workers) {
            if (worker)
                worker->Terminate();
        }
    }
    // A worker still on its way is released: no call of its runs from now on.
    m_workerHost.Leave();
    if (running) {
        // The log, the failed list and the positions saved as at a task's end, so a resume finds
        // every line; the workers are joined there.
        EndTask(false);
    }
    for (auto& worker : Workers)
        worker.reset();
    m_taskLock.reset();
}

void TForm1::SetWindows(TfrmAbout* about, TfrmConvert* convert, TfrmOptions* options,
                        TfrmFlt* flt) {
    m_about = about;
    m_convert = convert;
    m_options = options;
    m_flt = flt;
}

void TForm1::BuildControls() {
    setFont(WindowFont(QStringLiteral("Tahoma"), 8));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("Panel0"));
    auto* columns = new QHBoxLayout(central);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);

    auto* panel = new QWidget(central);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFixedWidth(PanelWidth);
    auto* inputs = new QVBoxLayout(panel);
    inputs->setContentsMargins(6, 6, 6, 6);
    inputs->setSpacing(4);

    auto label = [](const char* name, const char* caption, QWidget* owner) {
        auto* l = new QLabel(QString::fromLatin1(caption), owner);
        l->setObjectName(QString::fromLatin1(name));
        return l;
    };
    auto edit = [](const char* name, const QString& text, QWidget* owner) {
        auto* e = new QLineEdit(text, owner);
        e->setObjectName(QString::fromLatin1(name));
        return e;
    };

    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(label("Label16", "Task name:", panel));
    EditTaskName = edit("EditTaskName", QStringLiteral("newtask.zav"), panel);
    nameRow->addWidget(EditTaskName, 1);
    auto* button4 = new QPushButton(QStringLiteral("Open task ..."), panel);
    button4->setObjectName(QStringLiteral("Button4"));
    nameRow->addWidget(button4);
    inputs->addLayout(nameRow);

    radio_mapstype = new TRadioGroup(
        QStringLiteral("Maps Type"),
        {QStringLiteral("Map view"), QStringLiteral("Satellite"), QStringLiteral("Terrain")}, 3,
        panel);
    radio_mapstype->setObjectName(QStringLiteral("radio_mapstype"));
    radio_mapstype->SetItemIndex(1);
    inputs->addWidget(radio_mapstype);

    auto* area = new QGroupBox(panel);
    area->setObjectName(QStringLiteral("GroupBox1"));
    auto* grid = new QGridLayout(area);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->setVerticalSpacing(4);
    Edit1 = edit("Edit1", QString(), area);
    Edit3 = edit("Edit3", QString(), area);
    Edit2 = edit("Edit2", QString(), area);
    Edit4 = edit("Edit4", QString(), area);
    grid->addWidget(label("Label1", "Left Longitude:", area), 0, 0);
    grid->addWidget(Edit1, 1, 0);
    grid->addWidget(label("Label2", "Right Longitude:", area), 0, 1);
    grid->addWidget(Edit3, 1, 1);
    grid->addWidget(label("Label3", "Top Latitude:", area), 2, 0);
    grid->addWidget(Edit2, 3, 0);
    grid->addWidget(label("Label4", "Bottom Latitude:", area), 2, 1);
    grid->addWidget(Edit4, 3, 1);
    auto* zoomRow = new QHBoxLayout;
    zoomRow->addWidget(label("Label5", "Zoom level:", area));
    Edit5 = edit("Edit5", QStringLiteral("13"), area);
    Edit5->setReadOnly(true);
    Edit5->setFixedWidth(40);
    zoomRow->addWidget(Edit5);
    UpDown1 = new TUpDown(area);
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    UpDown1->setRange(MinZoomLevel, MaxZoomLevel);
    UpDown1->setValue(13);
    UpDown1->setWrapping(false);
    zoomRow->setSpacing(0);
    zoomRow->addWidget(UpDown1);
    // A level above the zoom level makes one task a level.
    auto* toLabel = label("LabelZoomTo", "to", area);
    toLabel->setContentsMargins(6, 0, 4, 0);
    zoomRow->addWidget(toLabel);
    ZoomTo = new QSpinBox(area);
    ZoomTo->setObjectName(QStringLiteral("ZoomTo"));
    ZoomTo->setRange(MinZoomLevel, MaxZoomLevel);
    ZoomTo->setValue(13);
    ZoomTo->setToolTip(QStringLiteral("The last zoom level: one task a level, named NAME_z13, "
                                      "NAME_z14, ..., run one after the other"));
    zoomRow->addWidget(ZoomTo);
    zoomRow->addStretch(1);
    // In the free space beside the zoom, so no other control moves: the area on a map.
    ButtonMap = new QPushButton(QStringLiteral("Map..."), area);
    ButtonMap->setObjectName(QStringLiteral("ButtonMap"));
    ButtonMap->setToolTip(QStringLiteral("Draw the area on a map, or take it from a GPX, KML or "
                                         "GeoJSON file"));
    zoomRow->addWidget(ButtonMap);
    grid->addLayout(zoomRow, 4, 0, 1, 2);
    inputs->addWidget(area);

    auto* saveBox = new QGroupBox(panel);
    saveBox->setObjectName(QStringLiteral("GroupBox2"));
    auto* saveLayout = new QGridLayout(saveBox);
    saveLayout->setContentsMargins(8, 6, 8, 6);
    saveLayout->addWidget(label("Label6", "Path to save:", saveBox), 0, 0, 1, 2);
    Edit6 = edit("Edit6", QString(), saveBox);
    saveLayout->addWidget(Edit6, 1, 0);
    auto* button1 = new QPushButton(QStringLiteral("..."), saveBox);
    button1->setObjectName(QStringLiteral("Button1"));
    button1->setToolTip(QStringLiteral("Click to select path"));
    button1->setFixedWidth(32);
    saveLayout->addWidget(button1, 1, 1);
    inputs->addWidget(saveBox);
    // In the panel's free space, so no other control moves: where the tiles come from.
    auto* sourceRow = new QHBoxLayout;
    sourceRow->setContentsMargins(2, 0, 2, 0);
    sourceRow->addWidget(label("LabelSource", "Tile source:", panel));
    ComboSource = new QComboBox(panel);
    ComboSource->setObjectName(QStringLiteral("ComboSource"));
    sourceRow->addWidget(ComboSource, 1);
    inputs->addLayout(sourceRow);
    inputs->addStretch(1);

    auto* bottomRow = new QHBoxLayout;
    LabelTotalxy = label("LabelTotalxy", "", panel);
    bottomRow->addWidget(LabelTotalxy, 1);
    BitBtn1 = new QPushButton(QStringLiteral("Start"), panel);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    QFont buttonFont = WindowFont(QStringLiteral("Tahoma"), 10);
    buttonFont.setBold(true);
    BitBtn1->setFont(buttonFont);
    BitBtn1->setDefault(true);
    BitBtn1->setAutoDefault(true);
    BitBtn1->setMinimumSize(100, 30);
    bottomRow->addWidget(BitBtn1);
    inputs->addLayout(bottomRow);
    columns->addWidget(panel);

    Memo1 = new TLinePane(central);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setFont(WindowFont(QStringLiteral("Tahoma"), 10));
    QPalette memoColours = Memo1->palette();
    memoColours.setColor(QPalette::Base, memoColours.color(QPalette::ToolTipBase));
    memoColours.setColor(QPalette::Text, QColor(0, 128, 0));
    Memo1->setPalette(memoColours);
    Memo1->setToolTip(QStringLiteral("Double click to view log in notepad"));
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->AppendLine("[log window]");
    columns->addWidget(Memo1, 1);

    Memo2 = new TLinePane(central);
    Memo2->setObjectName(QStringLiteral("Memo2"));
    QPalette failedColours = Memo2->palette();
    failedColours.setColor(QPalette::Text, Qt::blue);
    Memo2->setPalette(failedColours);
    Memo2->AppendLine("[Failed tile inforamtion window]");
    Memo2->hide();
    setCentralWidget(central);

    auto* status = new QStatusBar(this);
    status->setObjectName(QStringLiteral("StatusBar1"));
    status->setSizeGripEnabled(false);
    status->showMessage(QStringLiteral("Download images from Zav Maps!"));
    // Beside the fixed text, never over it: a long outcome is cut and told whole in its tip.
    m_progressText = new TElidedLabel(status);
    m_progressText->setObjectName(QStringLiteral("ProgressText"));
    m_progressText->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The bar keeps a margin from the window's edge, where its border would be lost.
    auto* barHolder = new QWidget(status);
    auto* barMargin = new QHBoxLayout(barHolder);
    barMargin->setContentsMargins(4, 0, 8, 0);
    m_progressBar = new QProgressBar(barHolder);
    m_progressBar->setObjectName(QStringLiteral("ProgressBar"));
    m_progressBar->setRange(0, 1000);
    m_progressBar->setTextVisible(false);
    m_progressBar->setFixedSize(90, 12);
    barMargin->addWidget(m_progressBar);
    barHolder->setFixedWidth(barHolder->sizeHint().width());
    status->addPermanentWidget(m_progressText, 1);
    status->addPermanentWidget(barHolder);
    setStatusBar(status);
    FitProgressText();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    connect(button4, &QPushButton::clicked, this, &TForm1::LoadParametersfromprojectfilel1Click);
    connect(button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    connect(ComboSource, &QComboBox::currentIndexChanged, this, &TForm1::SourceChanged);
    connect(UpDown1, &QSpinBox::valueChanged, this,
            [this](int position) { Edit5->setText(QString::number(position)); });
    Memo1->viewport()->installEventFilter(this);
    Edit5->installEventFilter(this);
    // The range's end follows the zoom level while it is the same, and is never below it.
    connect(Edit5, &QLineEdit::textChanged, this, [this] {
        const std::optional<int> zoom = ParseInteger(Text(Edit5));
        if (!zoom || *zoom < MinZoomLevel || *zoom > MaxZoomLevel)
            return;
        if (ZoomTo->value() == m_zoomShown || ZoomTo->value() < *zoom)
            ZoomTo->setValue(*zoom);
        m_zoomShown = *zoom;
    });
    connect(ZoomTo, &QSpinBox::valueChanged, this, [this] {
        m_outcome.clear();
        ShowIdleEstimate();
    });
    for (QLineEdit* entry : {Edit1, Edit2, Edit3, Edit4, Edit5})
        connect(entry, &QLineEdit::textChanged, this, [this, entry] {
            // The last task's outcome stays until the entries change; a shape, until its
            // rectangle is typed over.
            m_outcome.clear();
            if (entry != Edit5 && !m_settingArea)
                SetShape(nullptr);
            ShowIdleEstimate();
        });
    connect(ButtonMap, &QPushButton::clicked, this, &TForm1::ButtonMapClick);
    // Start is the default button: Enter in any entry field presses it, as in a dialog.
    for (QLineEdit* entry : {EditTaskName, Edit1, Edit2, Edit3, Edit4, Edit5, Edit6})
        connect(entry, &QLineEdit::returnPressed, BitBtn1, &QPushButton::click);
}

void TForm1::BuildMenu() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));
    auto item = [this](QMenu* menu, const char* name, const QString& caption, auto handler) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("File1"));
    QMenu* recent = file->addMenu(QStringLiteral("&Recent tasks"));
    recent->setObjectName(QStringLiteral("RecentTasks1"));
    // Read each time it opens: quarrow-batch or another window may have changed the list.
    connect(recent, &QMenu::aboutToShow, this, [this, recent] {
        recent->clear();
        const std::vector<std::string> tasks =
            ReadRecentTasks(RecentTasksFilePath(m_executableFolder));
        for (const std::string& task : tasks)
            connect(recent->addAction(Q(task)), &QAction::triggered, this,
                    [this, task] { RecentTaskChosen(task); });
        if (tasks.empty())
            recent->addAction(QStringLiteral("(none yet)"))->setEnabled(false);
    });
    file->addSeparator();
    item(file, "UpdateTask1", QStringLiteral("&Update task..."), &TForm1::UpdateTask1Click);
    item(file, "FetchBlanks1", QStringLiteral("Fetch &blank tiles again..."),
         &TForm1::FetchBlanks1Click);
    file->addSeparator();
    item(file, "Exit1", QStringLiteral("E&xit"), &TForm1::Exit1Click);

    QMenu* options = bar->addMenu(QStringLiteral("&Options"));
    options->setObjectName(QStringLiteral("Options1"));
    item(options, "Options2", QStringLiteral("Options..."), &TForm1::Options2Click);
    item(options, "TileSources1", QStringLiteral("Tile sources..."), &TForm1::TileSources1Click);

    QMenu* misc = bar->addMenu(QStringLiteral("&Misc"));
    misc->setObjectName(QStringLiteral("Misc1"));
    item(misc, "ConvertLongitudeorLatitudetodegreen1",
         QStringLiteral("Convert \"Degrees,Minutes,Seconds\"  to \"Degrees\"..."),
         &TForm1::ConvertLongitudeorLatitudetodegreen1Click);
    misc->addSeparator();
    item(misc, "Viewlogfile1", QStringLiteral("View log file"), &TForm1::Viewlogfile1Click);

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    tools->setObjectName(QStringLiteral("Tools1"));
    item(tools, "MapViewer1", QStringLiteral("Map Viewer"), &TForm1::MapViewer1Click);
    QAction* view = item(tools, "ViewThisTask1", QStringLiteral("View this task"),
                         &TForm1::ViewThisTask1Click);
    tools->addSeparator();
    item(tools, "CombineImages1", QStringLiteral("Map Combiner"), &TForm1::CombineImages1Click);
    QAction* combine = item(tools, "CombineThisTask1", QStringLiteral("Combine this task"),
                            &TForm1::CombineThisTask1Click);
    tools->addSeparator();
    // Greyed while no task is at hand, looked at each time the menu opens.
    connect(tools, &QMenu::aboutToShow, this, [this, view, combine] {
        const bool atHand = !TaskAtHand().empty();
        view->setEnabled(atHand);
        combine->setEnabled(atHand);
    });
    item(tools, "ReDownloadfailedfiles1", QStringLiteral("Re-Download failed images"),
         &TForm1::ReDownloadfailedfiles1Click);

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("Help1"));
    item(help, "Usermanual1", QStringLiteral("User manual"), &TForm1::Usermanual1Click);
    item(help, "Homepage1", QStringLiteral("Homepage"), &TForm1::Homepage1Click);
    help->addSeparator();
    item(help, "About1", QStringLiteral("About..."), &TForm1::About1Click);
}

void TForm1::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        QCoreApplication::quit();
}

bool TForm1::event(QEvent* event) {
    if (event->type() == QEvent::StatusTip)
        return true;
    return QMainWindow::event(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Memo1->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        Viewlogfile1Click();
        return true;
    }
    // The zoom field takes the keys its arrows stand for.
    if (watched == Edit5 && event->type() == QEvent::KeyPress && UpDown1->isEnabled()) {
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Up:
        case Qt::Key_PageUp:
            UpDown1->stepUp();
            return true;
        case Qt::Key_Down:
        case Qt::Key_PageDown:
            UpDown1->stepDown();
            return true;
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FitProgressText();
}

void TForm1::FitProgressText() {
    // The permanent widgets stand right of the fixed text, which is drawn in what they leave.
    const QStatusBar* status = statusBar();
    constexpr int Gaps = 24; // the status bar's margins and spacings around its parts
    const int fixed =
        status->fontMetrics().horizontalAdvance(QStringLiteral("Download images from Zav Maps!"));
    const int bar = m_progressBar->parentWidget()->sizeHint().width();
    m_progressText->setMaximumWidth(std::max(0, width() - fixed - bar - Gaps));
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    // Fixed size: the client area plus the menu bar above it.
    setFixedSize(ClientWidth, ClientHeight + menuBar()->sizeHint().height());
    CenterOnDesktop(*this);
    FormShow();
}

void TForm1::FormShow() {
    RunHandler(m_dialogs, [this] {
        HomePageUrl = QString::fromLatin1(HomePage);
        ConfigFile = Q(SettingsFilePath(m_executableFolder));
        HelpFile = ManualFile(m_executableFolder);
        MailLink = QString::fromLatin1(SupportMail);
        const ProfileFile settings(ConfigFile.toStdString());
        DefaultPath = Q(DefaultSaveFolder(m_executableFolder));
        DefaultOutputName = Q(settings.ReadString("IniParas", "DefaultOutputName", "bigmap.bmp"));
        const std::string version =
            settings.ReadString("IniParas", "Version", std::string(QuarrowVersion));
        LoadSources();
        setWindowTitle(QStringLiteral("Quarrow ") + Q(version));
        Edit6->setText(DefaultPath);
    });
}

void TForm1::Button1Click() {
    RunHandler(m_dialogs, [this] {
        const QString folder = m_dialogs.BrowseFolder(QStringLiteral("Select path to save"));
        if (!folder.isEmpty())
            Edit6->setText(QDir::toNativeSeparators(folder));
    });
}

void TForm1::LoadParametersfromprojectfilel1Click() {
    RunHandler(m_dialogs, [this] {
        const QString chosen =
            m_dialogs.OpenFile(QStringLiteral("Open project file:"),
                               QStringLiteral("Projects(*.zav)|*.zav"), DefaultPath);
        if (!chosen.isEmpty())
            OpenProjectFile(QFileInfo(chosen).absoluteFilePath().toStdString());
    });
}

void TForm1::RecentTaskChosen(const std::string& path) {
    RunHandler(m_dialogs, [&] {
        if (std::error_code ec; !std::filesystem::is_regular_file(path, ec)) {
            RemoveRecentTask(RecentTasksFilePath(m_executableFolder), path);
            m_progressText->setText(QStringLiteral("The task %1 is no longer there: it is off the "
                                                   "recent tasks.")
                                        .arg(Q(path)));
            return;
        }
        OpenProjectFile(path);
    });
}

void TForm1::RememberTask(const std::string& projectFile) {
    if (std::error_code ec; !std::filesystem::is_regular_file(projectFile, ec))
        return;
    try {
        AddRecentTask(RecentTasksFilePath(m_executableFolder),
                      QFileInfo(Q(projectFile)).absoluteFilePath().toStdString());
    } catch (const Exception&) {
        // A list that cannot be written costs the menu an entry, not the task.
    }
}

void TForm1::OpenProjectFile(const std::string& path) {
    {
        const StartEntries entries = ReadProjectEntries(path);
        Edit1->setText(Q(entries.Left));
        Edit3->setText(Q(entries.Right));
        Edit2->setText(Q(entries.Top));
        Edit4->setText(Q(entries.Bottom));
        Edit6->setText(Q(entries.SavePathTyped));
        EditTaskName->setText(Q(entries.TaskName));
        // A shape's task brings its shape; the coordinates above are its rectangle.
        SetShape(ReadProjectShape(path));
        // Any other value keeps the selection shown.
        if (entries.MapsType >= 17 && entries.MapsType <= 19)
            radio_mapstype->SetItemIndex(entries.MapsType - 17);
        UpDown1->setValue(std::stoi(entries.ZoomText));
        // The stored number as it is, also one outside the arrows' range.
        Edit5->setText(Q(entries.ZoomText));
        ZoomTo->setValue(UpDown1->value()); // one task

    }
    RememberTask(path);
}

void TForm1::BitBtn1Click() {
    RunHandler(m_dialogs, [this] {
        if (BitBtn1->text() == QStringLiteral("Start"))
            StartTask();
        else
            StopTask();
    });
}

StartEntries TForm1::EntriesTyped() const {
    StartEntries entries;
    entries.ZoomText = Text(Edit5);
    entries.MapsType = 17 + std::max(0, radio_mapstype->ItemIndex());
    entries.SavePathTyped = Text(Edit6);
    entries.TaskName = Text(EditTaskName);
    entries.Left = Text(Edit1);
    entries.Right = Text(Edit3);
    entries.Top = Text(Edit2);
    entries.Bottom = Text(Edit4);
    entries.Source = ChosenSource();
    entries.Shape = m_shape;
    return entries;
}

void TForm1::StartTask() {
    const std::optional<int> from = ParseInteger(Text(Edit5));
    // Untouched, the range's end is the zoom level: the one task of the entries.
    if (from && ZoomTo->value() > *from && *from >= MinZoomLevel) {
        m_zoomRange.emplace(*from, ZoomTo->value(), Text(EditTaskName));
        if (AskRangeLevels())
            StartLevel();
        else
            m_zoomRange.reset();
        return;
    }
    m_zoomRange.reset();
    StartTaskWith(EntriesTyped());
}

bool TForm1::AskRangeLevels() {
    const StartSettings settings = ReadStartSettings(ConfigFile.toStdString());
    for (int level = m_zoomRange->From(); level <= m_zoomRange->To(); ++level) {
        StartEntries entries = EntriesTyped();
        entries.ZoomText = std::to_string(level);
        entries.TaskName = m_zoomRange->TaskName(level);
        const PreparedStart check = PrepareStart(
            settings, entries, [this](const std::string& folder) { return FreeDiskSpace(folder); },
            true);
        if (!check.Task) {
            for (const std::string& message : check.Refusal)
                m_dialogs.Message(Q(message));
            return false;
        }
        if (!check.Existing)
            continue;
        switch (m_dialogs.AskExistingTask(Q(ExistingTaskQuestion(*check.Existing)),
                                          check.Existing->CanResume)) {
        case ExistingTaskChoice::Cancel:
            return false;
        case ExistingTaskChoice::Resume:
            m_zoomRange->Choose(level, LevelChoice::Resume);
            break;
        case ExistingTaskChoice::StartAnew:
            m_zoomRange->Choose(level, LevelChoice::StartAnew);
            break;
        }
    }
    return true;
}

void TForm1::StartLevel() {
    StartEntries entries = EntriesTyped();
    entries.ZoomText = std::to_string(m_zoomRange->Level());
    // The name as its project file has it, so the same entries again resume each level.
    entries.TaskName = m_zoomRange->TaskName();
    if (!StartTaskWith(entries, m_zoomRange->ChoiceFor(m_zoomRange->Level())))
        m_zoomRange.reset();
}

QString TForm1::RangePrefix() const {
    return m_zoomRange ? Q(m_zoomRange->Prefix()) : QString();
}

bool TForm1::StartTaskWith(StartEntries entries, std::optional<LevelChoice> decided) {
    // A shape's tiles, worked out already for the estimate.
    if (m_shape && m_shapeCoverage && entries.ZoomText == std::to_string(m_shapeCoverageZoom))
        entries.Coverage = m_shapeCoverage;
    const auto prepare = [&] {
        PreparedStart prepared =
            PrepareStart(ReadStartSettings(ConfigFile.toStdString()), entries,
                         [this](const std::string& folder) { return FreeDiskSpace(folder); });
        for (const std::string& message : prepared.Refusal)
            m_dialogs.Message(Q(message));
        return prepared;
    };
    PreparedStart start = prepare();
    if (!start.Task)
        return false;
    // Years of downloading are a mistyped area far more often than a plan.
    if (!start.Resume) {
        const double seconds = TaskSeconds(start.Task->TileCount, entries.Source);
        if (seconds > 86400 && !m_dialogs.ConfirmLongTask(Q(LongTaskWarning(seconds))))
            return false;
    }
    // A task of this name exists and the Start would write it anew: only when the user says so.
    if (start.Existing) {
        const ExistingTaskChoice choice =
            decided ? (*decided == LevelChoice::Resume && start.Existing->CanResume
                           ? ExistingTaskChoice::Resume
                           : ExistingTaskChoice::StartAnew)
                    : m_dialogs.AskExistingTask(Q(ExistingTaskQuestion(*start.Existing)),
                                                start.Existing->CanResume);
        switch (choice) {
        case ExistingTaskChoice::Cancel:
            return false;
        case ExistingTaskChoice::Resume:
            entries.TaskName = ProjectNameFor(entries.TaskName);
            start = prepare();
            if (!start.Task)
                return false;
            break;
        case ExistingTaskChoice::StartAnew:
            break;
        }
    }
    try {
        m_taskLock.reset(); // a Start that failed before its workers ran may hold it still
        m_taskLock = std::make_unique<TaskLock>(start.Task->ProjectFile());
    } catch (const Exception& error) {
        m_dialogs.Message(Q(error.Message()));
        return false;
    }
    {
        // A list of millions of tiles takes seconds to write: the pointer says the window is busy.
        const bool large = start.Task->TileCount > 100'000;
        if (large)
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        const auto restore = qScopeGuard([large] {
            if (large)
                QGuiApplication::restoreOverrideCursor();
        });
        CurrentTask = start.Task;
        WriteTaskFiles(*start.Task);
    }
    RememberTask(start.Task->ProjectFile());
    RunTask(start.Task);
    return true;
}

void TForm1::StartUpdate(const std::string& projectFile, const UpdateRules& rules) {
    std::shared_ptr<DownloadTask> task;
    try {
        m_taskLock.reset();
        StoredTask opened =
            PrepareUpdate(ReadStartSettings(ConfigFile.toStdString()), projectFile, rules);
        task = opened.Task;
        m_taskLock = std::move(opened.Lock);
    } catch (const Exception& error) {
        m_dialogs.Message(Q(error.Message()));
        return;
    }
    // The entries show the task being updated, not the one typed before.
    OpenProjectFile(projectFile);
    RunTask(task);
}

void TForm1::RunTask(const std::shared_ptr<DownloadTask>& task) {
    RunningWorkers = 0;
    CurrentTask = task;
    m_run.reset();
    try {
        m_run = std::make_unique<TaskRun>(task, m_logSink, m_failedSink, m_executableFolder);
    } catch (const Exception&) {
        // Nothing runs: the task is free for the next Start.
        CurrentTask.reset();
        m_taskLock.reset();
        throw;
    }
    for (const std::string& notice : m_run->Notices())
        Memo1->AppendLine(notice);
    if (!m_run->RecordsProblem().empty())
        Memo1->AppendLine(m_run->RecordsProblem());
    LabelTotalxy->setText(QStringLiteral("Total images: ") + QString::number(task->TileCount));
    BitBtn1->setText(QStringLiteral("Stop"));

    m_ending = false;
    m_outcome.clear();
    m_reportedSaveFailures.clear();
    m_workerHost.Rearm();
    for (int i = 0; i < task->Params->ThreadCount; ++i) {
        try {
            Workers[static_cast<std::size_t>(i)] = StartWorker(i, task);
        } catch (const std::exception& error) {
            AbandonStart();
            throw Exception("The download thread T" + std::to_string(i + 1) +
                            " cannot be started: " + error.what());
        }
        ++RunningWorkers;
    }
    Timer1->start();
    TickCount = 0;
    ShowRunningProgress();
}

std::unique_ptr<TDownThread> TForm1::StartWorker(int slot,
                                                 const std::shared_ptr<const DownloadTask>& task) {
    return std::make_unique<TDownThread>(slot, task, *this);
}

std::uintmax_t TForm1::FreeDiskSpace(const std::string& folder) {
    return quarrow::FreeDiskSpace(folder);
}

// The workers already started are stopped and joined, and the task is closed as at its end, so
// the window is ready for the next Start.
void TForm1::AbandonStart() {
    for (auto& worker : Workers) {
        if (worker)
            worker->Terminate();
    }
    m_workerHost.WakeAll();
    // Their last calls run here, without events: nothing the user does can act meanwhile.
    while (RunningWorkers > 0) {
        m_workerHost.RunQueued();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EndTask(false);
}

void TForm1::StopTask() {
    if (!CurrentTask)
        return;
    const int workers = CurrentTask->Params->ThreadCount;
    Run().Stop(workers);
    HaltWorkers();
}

void TForm1::HaltWorkers() {
    for (int i = 0; i < CurrentTask->Params->ThreadCount; ++i)
        if (const auto& worker = Workers[static_cast<std::size_t>(i)])
            worker->Terminate();
    // Only now, when every worker has its stop request: the waits end.
    m_workerHost.WakeAll();
}

void TForm1::Timer1Timer() {
    // A tick while a save or the end waits for the disk: the next one does its work.
    if (m_offUi)
        return;
    RunHandler(m_dialogs, [this] {
        ++TickCount;
        if (TickCount % 5 == 0 && CurrentTask)
            SaveRun();
        ShowRunningProgress();
        if (RunningWorkers != 0)
            return;
        EndTask(true);
    });
}

void TForm1::ReportSaveFailure(const std::string& path, const std::string& message) {
    // Said once per file and task: a folder that has gone would fill the pane every tick.
    if (m_reportedSaveFailures.insert(path).second)
        Memo1->AppendLine(message);
}

void TForm1::SaveRun() {
    const auto report = [this](const std::string& path, const std::string& message) {
        ReportSaveFailure(path, message);
    };
    TaskRun& run = Run();
    run.BeginSave(PositionsOf(Workers));
    RunOffUi([&run] { run.WriteSave(); });
    run.EndSave(report);
    // As on a full disk: the workers end, and nothing counts the tiles they write meanwhile.
    if (run.TilesLost())
        HaltWorkers();
}

// Flushes wait for the disk: the window goes on drawing and taking the workers' lines meanwhile,
// but no input acts on it until the work is done.
void TForm1::RunOffUi(const std::function<void()>& work) {
    const QScopedValueRollback<bool> busy(m_offUi, true);
    ::RunOffUi(work, QEventLoop::ExcludeUserInputEvents);
}

TaskRun& TForm1::Run() {
    // A task set up without Start (a test's) runs with the lines its panes hold.
    if (!m_run || m_run->Task() != CurrentTask)
        m_run = std::make_unique<TaskRun>(CurrentTask, m_logSink, m_failedSink, m_executableFolder,
                                          TaskRun::Lines::Held);
    return *m_run;
}

void TForm1::EndTask(bool tell) {
    if (m_ending)
        return;
    m_ending = true;
    Timer1->stop();
    // A zoom range goes on with its next level once this one is whole.
    bool nextLevel = false;
    if (CurrentTask) {
        const WorkerPositions positions = PositionsOf(Workers);
        TaskRun& run = Run();
        // The last save and the census of the task's tiles, off the window's thread.
        run.BeginClose(positions);
        RunOffUi([&run] { run.WriteClose(); });
        run.EndClose([this](const std::string& path, const std::string& message) {
            ReportSaveFailure(path, message);
        });
        const QString ended = Q(
            run.EndText(positions, {true, std::string(), " (stopped: Update task again to go on)"}));
        m_outcome = RangePrefix() + ended;
        // Every level of a range is asked for; a stop ends the range, to go on with Start.
        if (m_zoomRange && !run.Stopped()) {
            nextLevel = m_zoomRange->Ended(run.Complete(positions));
            // Levels that are not whole are what the narrow status bar must show first.
            if (!nextLevel)
                m_outcome = m_zoomRange->AllWhole()
                                ? m_outcome + QStringLiteral(" ") + Q(m_zoomRange->EndText())
                                : Q(m_zoomRange->EndText()) + QStringLiteral(" ") + m_outcome;
        }
        const int total = CurrentTask->TileCount;
        m_progressBar->setValue(total > 0 ? static_cast<int>(1000LL * TilesDone() / total) : 0);
        // Every worker has made its last call to this thread: the joins are short.
        for (int j = 0; j < CurrentTask->Params->ThreadCount; ++j)
            Workers[static_cast<std::size_t>(j)].reset();
    }
    m_taskLock.reset();
    BitBtn1->setText(QStringLiteral("Start"));
    ShowRunningProgress();
    if (nextLevel) {
        // Once this end has unwound: the next level is a Start of its own.
        QTimer::singleShot(0, this, [this] {
            if (m_zoomRange && BitBtn1->text() == QStringLiteral("Start"))
                RunHandler(m_dialogs, [this] { StartLevel(); });
        });
        return;
    }
    m_zoomRange.reset();
    if (tell)
        m_dialogs.Message(QStringLiteral("Task stoped!                    "));
}

void TForm1::Synchronize(const std::function<void()>& call) {
    m_workerHost.Synchronize(call);
}

void TForm1::Post(std::function<void()> call) {
    m_workerHost.Post(std::move(call));
}

void TForm1::AppendLogLine(const std::string& line) {
    Run().LogLine(line);
}

void TForm1::AppendFailedLine(const std::string& line) {
    Run().FailedLine(line);
}

void TForm1::LowerRunningWorkers() {
    --RunningWorkers;
}

void TForm1::Sleep(int milliseconds) {
    m_workerHost.Sleep(milliseconds);
}

std::string TForm1::ExecutableFolder() {
    return m_executableFolder;
}

void TForm1::TileEnded(const TileEvent& event) {
    Run().TileEnded(event);
}

void TForm1::WorkerEnded(const WorkerEndEvent& event) {
    Run().WorkerEnded(event);
}

void TForm1::PaneSink::Load(const std::string& path) {
    Pane->LoadFromFile(path);
}

void TForm1::PaneSink::Append(const std::string& line) {
    Pane->AppendLine(line);
}

std::vector<std::string> TForm1::PaneSink::Lines() const {
    return Pane->Lines();
}

LineStore TForm1::PaneSink::Copy() const {
    return Pane->Store();
}

int TForm1::TilesDone() const {
    return CurrentTask ? quarrow::TilesDone(*CurrentTask, PositionsOf(Workers)) : 0;
}

void TForm1::ShowIdleEstimate() {
    if (BitBtn1->text() != QStringLiteral("Start"))
        return;
    const auto left = ParseCoordinate(Text(Edit1)), right = ParseCoordinate(Text(Edit3)),
               top = ParseCoordinate(Text(Edit2)), bottom = ParseCoordinate(Text(Edit4));
    const std::optional<int> zoom = ParseInteger(Text(Edit5));
    const bool valid = left && right && top && bottom && zoom && *zoom >= MinZoomLevel &&
                       *zoom <= MaxZoomLevel && !CheckArea(*left, *right, *top, *bottom);
    if (!m_outcome.isEmpty()) {
        m_progressText->setText(m_outcome);
        return;
    }
    m_progressBar->setValue(0);
    if (!valid) {
        m_progressText->clear();
        return;
    }
    const TileRange range = CoveringTiles(*left, *right, *top, *bottom, *zoom);
    unsigned long long count = range.Count();
    // A shape's task is its covered tiles only.
    double shapeShare = 1;
    if (const TileCoverage* coverage = ShapeCoverage(*zoom, range)) {
        shapeShare = static_cast<double>(coverage->Count()) / static_cast<double>(count);
        count = static_cast<unsigned long long>(coverage->Count());
    }
    // A zoom range: every level's tiles and time, the shape's deeper levels by its share of this.
    const int last = std::max(*zoom, ZoomTo->value());
    double seconds = TaskSeconds(static_cast<long long>(std::min(count, 1ULL << 62)), ChosenSource());
    for (int level = *zoom + 1; level <= last; ++level) {
        const auto more = static_cast<unsigned long long>(
            static_cast<double>(CoveringTiles(*left, *right, *top, *bottom, level).Count()) *
            shapeShare);
        count = std::min(count + more, 1ULL << 62);
        seconds += TaskSeconds(static_cast<long long>(std::min(more, 1ULL << 62)), ChosenSource());
    }
    const long long tiles = static_cast<long long>(std::min<unsigned long long>(count, 1ULL << 62));
    // At the pace of the chosen source.
    const QString which = last > *zoom ? QStringLiteral("Next tasks (zoom %1 to %2): ")
                                             .arg(*zoom)
                                             .arg(last)
                                       : QStringLiteral("Next task: ");
    m_progressText->setText(QStringLiteral("%1%2%3, about %4")
                                .arg(which, Q(TilesText(static_cast<unsigned long long>(tiles))),
                                     m_shape ? QStringLiteral(" of the shape") : QString(),
                                     Q(DurationText(seconds))));
}

void TForm1::ShowRunningProgress() {
    if (!CurrentTask || BitBtn1->text() == QStringLiteral("Start")) {
        ShowIdleEstimate();
        return;
    }
    const int total = CurrentTask->TileCount;
    const int done = TilesDone();
    m_progressBar->setValue(total > 0 ? static_cast<int>(1000LL * done / total) : 0);
    const double rate = Run().Rate(PositionsOf(Workers));
    QString text = RangePrefix() + QStringLiteral("%1 of %2 tiles").arg(done).arg(total);
    if (Updating())
        text = Q(UpdateSummaryShort(m_run->UpdateCounts()));
    // A service that asked the workers to wait: that is what the task does now.
    const auto pause = CurrentTask->Pause.Until() - ServicePause::Clock::now();
    if (pause > std::chrono::seconds(0)) {
        text += QStringLiteral(", paused by the service for %1")
                    .arg(Q(DurationText(std::chrono::duration<double>(pause).count())));
    } else if (rate > 0) {
        text += QStringLiteral(", %1 tiles/s, %2 left")
                    .arg(rate, 0, 'f', 1)
                    .arg(Q(DurationText((total - done) / rate)));
    }
    m_progressText->setText(text);
}

void TForm1::Exit1Click() {
    close();
}

void TForm1::ButtonMapClick() {
    RunHandler(m_dialogs, [this] {
        if (!m_areaWindow)
            m_areaWindow = new TfrmArea(m_dialogs, Q(m_executableFolder), this);
        const auto left = ParseCoordinate(Text(Edit1)), right = ParseCoordinate(Text(Edit3)),
                   top = ParseCoordinate(Text(Edit2)), bottom = ParseCoordinate(Text(Edit4));
        std::optional<GeoBounds> typed;
        if (left && right && top && bottom && !CheckArea(*left, *right, *top, *bottom))
            typed = GeoBounds{*left, *bottom, *right, *top};
        const int zoom = std::clamp(ParseInteger(Text(Edit5)).value_or(13), 1, 18);
        m_areaWindow->Begin(ChosenSource(), 17 + std::max(0, radio_mapstype->ItemIndex()),
                            ReadStartSettings(ConfigFile.toStdString()).ServiceHost, zoom, typed,
                            m_shape);
        if (m_areaWindow->exec() != QDialog::Accepted)
            return;
        const GeoBounds area = m_areaWindow->Area().value_or(GeoBounds{});
        {
            const QScopedValueRollback<bool> setting(m_settingArea, true);
            Edit1->setText(Q(AreaEdgeText(area.West)));
            Edit3->setText(Q(AreaEdgeText(area.East)));
            Edit2->setText(Q(AreaEdgeText(area.North)));
            Edit4->setText(Q(AreaEdgeText(area.South)));
        }
        SetShape(m_areaWindow->Shape());
    });
}

void TForm1::SetShape(std::shared_ptr<const AreaShape> shape) {
    m_shape = std::move(shape);
    m_shapeCoverage.reset();
    ShowIdleEstimate();
}

const TileCoverage* TForm1::ShapeCoverage(int zoom, const TileRange& range) {
    if (!m_shape)
        return nullptr;
    if (!m_shapeCoverage || m_shapeCoverageZoom != zoom) {
        m_shapeCoverage = std::make_shared<const TileCoverage>(*m_shape, zoom, range);
        m_shapeCoverageZoom = zoom;
    }
    return m_shapeCoverage.get();
}

void TForm1::TileSources1Click() {
    RunHandler(m_dialogs, [this] {
        if (!m_sourcesDialog)
            m_sourcesDialog = new TfrmSources(m_dialogs, Q(m_executableFolder), this);
        m_sourcesDialog->exec();
        LoadSources();
    });
}

void TForm1::LoadSources() {
    const QString chosen =
        ComboSource->count() > 0
            ? ComboSource->currentText()
            : Q(ProfileFile(ConfigFile.toStdString())
                    .ReadString("Source", "Name", std::string(BuiltInSourceName)));
    m_sources = ReadSources(SourcesFilePath(m_executableFolder));
    const QSignalBlocker quiet(ComboSource);
    ComboSource->clear();
    ComboSource->addItem(Q(std::string(BuiltInSourceName)));
    for (const TileSource& source : m_sources)
        ComboSource->addItem(Q(source.Name));
    const int found = ComboSource->findText(chosen);
    ComboSource->setCurrentIndex(found < 0 ? 0 : found);
    ShowSourceMapTypes();
}

std::optional<TileSource> TForm1::ChosenSource() const {
    const int index = ComboSource->currentIndex();
    if (index <= 0 || static_cast<std::size_t>(index) > m_sources.size())
        return std::nullopt;
    return m_sources[static_cast<std::size_t>(index) - 1];
}

void TForm1::ShowSourceMapTypes() {
    const std::optional<TileSource> source = ChosenSource();
    for (int i = 0; i < 3; ++i)
        radio_mapstype->SetItemEnabled(
            i, !source || !source->Templates[static_cast<std::size_t>(i)].empty());
    // A map type that the source does not offer cannot stay chosen.
    if (!radio_mapstype->ItemEnabled(radio_mapstype->ItemIndex())) {
        for (int i = 0; i < 3; ++i) {
            if (radio_mapstype->ItemEnabled(i)) {
                radio_mapstype->SetItemIndex(i);
                break;
            }
        }
    }
}

void TForm1::SourceChanged() {
    RunHandler(m_dialogs, [this] {
        ShowSourceMapTypes();
        m_outcome.clear();
        ShowIdleEstimate();
        ProfileFile(ConfigFile.toStdString())
            .WriteString("Source", "Name", ComboSource->currentText().toStdString());
    });
}

void TForm1::Options2Click() {
    RunHandler(m_dialogs, [this] {
        if (m_options)
            m_options->exec();
    });
}

void TForm1::ConvertLongitudeorLatitudetodegreen1Click() {
    RunHandler(m_dialogs, [this] {
        if (!m_convert)
            return;
        m_convert->show();
        m_convert->raise();
        m_convert->activateWindow();
    });
}

void TForm1::Viewlogfile1Click() {
    RunHandler(m_dialogs, [this] {
        if (!CurrentTask) {
            m_dialogs.Message(QStringLiteral("No task running now.                  "));
            return;
        }
        // A folder of that name is not the log file.
        std::error_code ec;
        if (std::filesystem::is_regular_file(CurrentTask->LogFile, ec)) {
            m_dialogs.ShellOpen(Q(CurrentTask->LogFile));
            return;
        }
        m_dialogs.Message(QStringLiteral("No logfile now.                         "));
    });
}

void TForm1::MapViewer1Click() {
    RunHandler(m_dialogs, [this] { m_dialogs.StartProgram(Q(m_executableFolder + "pelorin")); });
}

void TForm1::CombineImages1Click() {
    RunHandler(m_dialogs, [this] { m_dialogs.StartProgram(Q(m_executableFolder + "stavik")); });
}

std::string TForm1::TaskAtHand() const {
    // The task the entries name, when it exists; else the one last run.
    const std::string folder = Text(Edit6), name = Text(EditTaskName);
    if (!folder.empty() && !name.empty() && !CheckTaskName(name)) {
        const std::string project = SaveFolderOf(folder) + ProjectNameFor(name);
        if (std::error_code ec; std::filesystem::is_regular_file(project, ec))
            return project;
    }
    return CurrentTask ? CurrentTask->ProjectFile() : std::string();
}

void TForm1::ViewThisTask1Click() {
    RunHandler(m_dialogs, [this] {
        if (const std::string project = TaskAtHand(); !project.empty())
            m_dialogs.StartProgramWith(Q(m_executableFolder + "pelorin"), {Q(project)});
    });
}

void TForm1::CombineThisTask1Click() {
    RunHandler(m_dialogs, [this] {
        if (const std::string project = TaskAtHand(); !project.empty())
            m_dialogs.StartProgramWith(Q(m_executableFolder + "stavik"), {Q(project)});
    });
}

void TForm1::ReDownloadfailedfiles1Click() {
    RunHandler(m_dialogs, [this] {
        if (m_flt)
            m_flt->exec();
    });
}

void TForm1::FetchBlanks1Click() {
    RunHandler(m_dialogs, [this] {
        if (BitBtn1->text() != QStringLiteral("Start")) {
            m_dialogs.Message(
                QStringLiteral("A task is running: stop it before its blank tiles are asked again."));
            return;
        }
        const std::string atHand = TaskAtHand();
        const QString file = m_dialogs.OpenFile(
            QStringLiteral("Open project file:"), QStringLiteral("Projects(*.zav)|*.zav"),
            atHand.empty() ? DefaultPath : Q(SplitFolder(atHand).first));
        if (!file.isEmpty() && m_flt)
            m_flt->FetchBlanks(file);
    });
}

void TForm1::UpdateTask1Click() {
    RunHandler(m_dialogs, [this] {
        if (BitBtn1->text() != QStringLiteral("Start")) {
            m_dialogs.Message(QStringLiteral("A task is running: stop it before an update."));
            return;
        }
        if (!m_updateDialog)
            m_updateDialog = new TfrmUpdate(m_dialogs, this);
        m_updateDialog->Begin(CurrentTask ? Q(CurrentTask->ProjectFile()) : QString(),
                              DefaultPath);
        if (m_updateDialog->exec() != QDialog::Accepted)
            return;
        StartUpdate(m_updateDialog->ProjectFile(), m_updateDialog->Rules());
    });
}

void TForm1::Usermanual1Click() {
    RunHandler(m_dialogs, [this] { m_dialogs.ShellOpen(HelpFile); });
}

void TForm1::Homepage1Click() {
    RunHandler(m_dialogs, [this] { m_dialogs.ShellOpen(HomePageUrl); });
}

void TForm1::About1Click() {
    RunHandler(m_dialogs, [this] {
        if (m_about)
            m_about->exec();
    });
}
