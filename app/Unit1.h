// The main window: the task's entries, Start and Stop, the log pane, the once-a-second progress
// monitor, and the menu that reaches every other window. It is also the workers' host: their
// lines reach the panes through calls it runs on the UI thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QString>

#include "task/RangeRun.h"
#include "task/StartRules.h"
#include "task/TaskRun.h"
#include "task/TaskUpdateRun.h"
#include "UiWorkerHost.h"
#include "download/Unit3.h"
#include "store/TaskLock.h"
#include "engine/Unitclasstask.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;
class Dialogs;
class TLinePane;
class TElidedLabel;
class TRadioGroup;
class TUpDown;
class TfrmAbout;
class TfrmConvert;
class TfrmFlt;
class TfrmOptions;
class TfrmArea;
class TfrmSources;
class TfrmUpdate;

class TForm1 : public QMainWindow, public WorkerHost {
    Q_OBJECT
public:
    // executableFolder ends in "/"; the dialogs are not owned.
    TForm1(Dialogs& dialogs, const QString& executableFolder, QWidget* parent = nullptr);
    // Leaving while a task runs: stops the workers and waits for them, within about 2 s.
    ~TForm1() override;

    // The other windows, not owned; a null one makes its menu item do nothing.
    void SetWindows(TfrmAbout* about, TfrmConvert* convert, TfrmOptions* options, TfrmFlt* flt);

    // The program-wide state of the current task.
    std::array<std::unique_ptr<TDownThread>, 8> Workers;
    int TickCount = 0;
    std::shared_ptr<DownloadTask> CurrentTask;
    int RunningWorkers = 0;

    QString HomePageUrl;
    QString HelpFile;
    QString MailLink;
    QString ConfigFile;
    QString DefaultPath;
    QString DefaultOutputName;

    // WorkerHost; called by the workers.
    void Synchronize(const std::function<void()>& call) override;
    void Post(std::function<void()> call) override;
    void AppendLogLine(const std::string& line) override;
    void AppendFailedLine(const std::string& line) override;
    void LowerRunningWorkers() override;
    void Sleep(int milliseconds) override;
    std::string ExecutableFolder() override;
    void TileEnded(const quarrow::TileEvent& event) override;
    void WorkerEnded(const quarrow::WorkerEndEvent& event) override;

public slots:
    void FormShow();
    void Button1Click();
    void LoadParametersfromprojectfilel1Click();
    void BitBtn1Click();
    void Timer1Timer();
    void Exit1Click();
    void Options2Click();
    // Options > Tile sources...: the sources window; the choice of source is offered afresh.
    void TileSources1Click();
    // The map window: OK writes its area into the coordinates, and its shape becomes the task's.
    void ButtonMapClick();
    void ConvertLongitudeorLatitudetodegreen1Click();
    void Viewlogfile1Click();
    void MapViewer1Click();
    void CombineImages1Click();
    // What Open task does with the chosen project file: its entries into the fields, its shape,
    // and the file first among the recent tasks.
    void OpenProjectFile(const std::string& path);
    // A recent task chosen from the File menu: opened, or dropped when it is gone.
    void RecentTaskChosen(const std::string& path);
    // pelorin and stavik given the task at hand (TaskAtHand).
    void ViewThisTask1Click();
    void CombineThisTask1Click();
    // The project file of the task the entries name, when it exists, else of the task last run;
    // empty when there is none.
    std::string TaskAtHand() const;
    void ReDownloadfailedfiles1Click();
    void FetchBlanks1Click();
    // File > Update task...: the update dialog, then the task's update as a task runs.
    void UpdateTask1Click();
    void Usermanual1Click();
    void Homepage1Click();
    void About1Click();

protected:
    // Asks every worker to stop, releases the calls on their way here unrun and joins them, within
    // the stop's grace. The destructor does this; a subclass that overrides a WorkerHost function
    // calls it first in its own destructor, while its override still exists.
    void EndWorkers();

    // Starts the worker of a slot. A test makes it fail as a system does that refuses a thread.
    virtual std::unique_ptr<TDownThread>
    StartWorker(int slot, const std::shared_ptr<const DownloadTask>& task);
    // The bytes free for a new file in the folder; a test sets its own figure.
    virtual std::uintmax_t FreeDiskSpace(const std::string& folder);

    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Closing the main window ends the program, whatever other window is open.
    void closeEvent(QCloseEvent* event) override;
    // A double-click on the log pane views the log file.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The status bar's text is fixed: menus and actions do not replace it with their tips.
    bool event(QEvent* event) override;
    // The outcome takes the status bar's width beside the fixed text and the progress bar.
    void FitProgressText();

private:
    // The project file first among the recent tasks; a list that cannot be written is no fault.
    void RememberTask(const std::string& projectFile);
    // A run's lines go to a pane.
    class PaneSink final : public quarrow::LineSink {
    public:
        TLinePane* Pane = nullptr;
        void Load(const std::string& path) override;
        void Append(const std::string& line) override;
        std::vector<std::string> Lines() const override;
        quarrow::LineStore Copy() const override;
    };

    void BuildControls();
    void BuildMenu();

    void StartTask();
    // The entries as typed, for a task of the zoom level field.
    quarrow::StartEntries EntriesTyped() const;
    // Checks, asks, writes and runs the task of the entries; false when it did not start.
    // decided: what the user said already of a task that exists (a zoom range's level).
    bool StartTaskWith(quarrow::StartEntries entries,
                       std::optional<quarrow::LevelChoice> decided = std::nullopt);
    // Each level of the zoom range checked, and each existing level's task asked about, before
    // the first starts; false when the range does not start.
    bool AskRangeLevels();
    // The task of the zoom range's current level, named NAME_z13.zav.
    void StartLevel();
    // "Zoom 14 (2 of 3): " while a zoom range runs, else nothing.
    QString RangePrefix() const;
    // An update of the task of the project file, under its lock.
    void StartUpdate(const std::string& projectFile, const quarrow::UpdateRules& rules);
    // Runs a task whose files are written and whose lock is held: panes, workers, monitor.
    void RunTask(const std::shared_ptr<DownloadTask>& task);
    bool Updating() const { return m_run && m_run->IsUpdate(); }
    void StopTask();
    void HaltWorkers();
    // The current task's run; made for a task set up without Start.
    quarrow::TaskRun& Run();
    // Runs the work on a thread of its own while the window processes its events but input;
    // returns when it is done, throwing what it threw.
    void RunOffUi(const std::function<void()>& work);
    // The five-second save of the run: panes, records, each worker's last finished tile.
    void SaveRun();
    // The end sequence; tell: the "Task stoped!" box.
    void EndTask(bool tell);
    void AbandonStart();
    // A save's failure, reported once per file and task in the log pane.
    void ReportSaveFailure(const std::string& path, const std::string& message);

    // The sources file's sources after the built-in one, the chosen one kept (at first the one of
    // the settings).
    void LoadSources();
    // The chosen custom source; none for the built-in one.
    std::optional<quarrow::TileSource> ChosenSource() const;
    // The map types that the chosen source offers are the ones that can be chosen.
    void ShowSourceMapTypes();
    void SourceChanged();

    // The area's shape from the map window or an opened task; none for a rectangle.
    void SetShape(std::shared_ptr<const quarrow::AreaShape> shape);
    // The shape's tiles at the zoom, worked out once for each zoom; none without a shape.
    const quarrow::TileCoverage* ShapeCoverage(int zoom, const quarrow::TileRange& range);

    void ShowIdleEstimate();
    void ShowRunningProgress();
    int TilesDone() const;

    Dialogs& m_dialogs;
    const std::string m_executableFolder;
    UiWorkerHost m_workerHost;
    std::unique_ptr<quarrow::TaskLock> m_taskLock; // held while the current task runs

    TfrmAbout* m_about = nullptr;
    TfrmConvert* m_convert = nullptr;
    TfrmOptions* m_options = nullptr;
    TfrmFlt* m_flt = nullptr;
    TfrmSources* m_sourcesDialog = nullptr; // a child, made when first asked for
    TfrmArea* m_areaWindow = nullptr;       // likewise
    TfrmUpdate* m_updateDialog = nullptr;   // likewise
    PaneSink m_logSink;   // Memo1
    PaneSink m_failedSink; // Memo2
    std::unique_ptr<quarrow::TaskRun> m_run; // the current task's run, kept after its end
    std::shared_ptr<const quarrow::AreaShape> m_shape;
    std::shared_ptr<const quarrow::TileCoverage> m_shapeCoverage;
    int m_shapeCoverageZoom = 0;
    bool m_settingArea = false;                 // the coordinates are being set from the map window
    std::vector<quarrow::TileSource> m_sources; // the custom ones, in the combo box after the first

    QLineEdit* EditTaskName = nullptr;
    TRadioGroup* radio_mapstype = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QLineEdit* Edit4 = nullptr;
    QLineEdit* Edit5 = nullptr;
    TUpDown* UpDown1 = nullptr;
    QSpinBox* ZoomTo = nullptr; // the last level of a zoom range; the zoom level's own: one task
    QLineEdit* Edit6 = nullptr;
    QComboBox* ComboSource = nullptr;
    QPushButton* ButtonMap = nullptr;
    QLabel* LabelTotalxy = nullptr;
    QPushButton* BitBtn1 = nullptr;
    TLinePane* Memo1 = nullptr;
    TLinePane* Memo2 = nullptr;
    QTimer* Timer1 = nullptr;
    QProgressBar* m_progressBar = nullptr;
    TElidedLabel* m_progressText = nullptr;

    // A zoom range: one task a level, each started when the one before ended whole.
    std::optional<quarrow::RangeRun> m_zoomRange;
    int m_zoomShown = 13; // the zoom level field's last value, which ZoomTo follows when equal

    bool m_shown = false;
    bool m_ending = false; // the end sequence of the current task has begun
    bool m_offUi = false;  // RunOffUi waits for its work
    QString m_outcome; // how the last task ended, until the entries change
    std::set<std::string> m_reportedSaveFailures;
};
