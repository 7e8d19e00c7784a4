// The main window driven offscreen: first start, Open task, the Start action's checks, a task end
// to end against the local tile service, Stop, a failing save and leaving while a task runs.
#include <QAbstractSpinBox>
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <QWheelEvent>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/Unit1.h"
#include "geo/Commonfunc.h"
#include "engine/Unitclasstask.h"
#include "engine/ProfileFile.h"
#include "engine/RecentTasks.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/TileService.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::RecordingDialogs;
using test::TempDir;
using test::WriteFileBytes;
using Kind = RecordingDialogs::Kind;
using namespace std::chrono_literals;

// The main window with its waits recorded instead of slept.
class TestForm : public TForm1 {
public:
    using TForm1::TForm1;
    ~TestForm() override { EndWorkers(); }

    void Sleep(int milliseconds) override {
        std::lock_guard lock(m_mutex);
        Sleeps.push_back(milliseconds);
    }
    std::vector<int> Sleeps;

    // The slot whose thread the system refuses, none when negative.
    int RefusedSlot = -1;
    std::unique_ptr<TDownThread>
    StartWorker(int slot, const std::shared_ptr<const DownloadTask>& task) override {
        if (slot == RefusedSlot)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        return TForm1::StartWorker(slot, task);
    }
    // The stop's grace, not waited out in full.
    std::chrono::milliseconds StopGrace() override { return std::chrono::milliseconds(200); }

    std::uintmax_t FreeBytes = UINTMAX_MAX;
    std::uintmax_t FreeDiskSpace(const std::string&) override { return FreeBytes; }

private:
    std::mutex m_mutex;
};

// Records the Start/Stop caption at each message, to see the button back before "Task stoped!".
class CaptionDialogs : public RecordingDialogs {
public:
    std::function<void()> OnMessage;
    void Message(const QString& text) override {
        RecordingDialogs::Message(text);
        if (OnMessage)
            OnMessage();
    }
};

template <typename T> T* Find(QWidget& form, const char* name) {
    T* control = form.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
}

QStringList PaneLines(QWidget& form, const char* name) {
    return Find<QPlainTextEdit>(form, name)->toPlainText().split(QLatin1Char('\n'));
}

// Lets queued calls of the workers run until the condition holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

struct Entries {
    const char* Left;
    const char* Right;
    const char* Top;
    const char* Bottom;
};

class MainWindow : public ::testing::Test {
protected:
    // A program folder with a settings file naming the service, and the blank image.
    void Install(const std::string& serviceHost) {
        std::filesystem::create_directory(m_exe.Path() + "ini");
        std::filesystem::create_directory(m_exe.Path() + "blankimg");
        WriteFileBytes(m_exe.Path() + "ini/config.ini",
                       "[Service]\r\nHost=" + serviceHost + "\r\n");
        WriteFileBytes(m_exe.Path() + "blankimg/blank.png", "blank");
    }

    std::unique_ptr<TestForm> MakeForm() {
        auto form = std::make_unique<TestForm>(m_dialogs, QString::fromStdString(m_exe.Path()));
        form->show();
        return form;
    }

    void Type(QWidget& form, const Entries& e, const std::string& folder, const char* name) {
        Find<QLineEdit>(form, "Edit1")->setText(QString::fromLatin1(e.Left));
        Find<QLineEdit>(form, "Edit3")->setText(QString::fromLatin1(e.Right));
        Find<QLineEdit>(form, "Edit2")->setText(QString::fromLatin1(e.Top));
        Find<QLineEdit>(form, "Edit4")->setText(QString::fromLatin1(e.Bottom));
        Find<QLineEdit>(form, "Edit6")->setText(QString::fromStdString(folder));
        Find<QLineEdit>(form, "EditTaskName")->setText(QString::fromLatin1(name));
    }

    // Ticks the monitor by hand until the task has ended.
    static void RunToEnd(TForm1& form) {
        form.findChild<QTimer*>(QStringLiteral("Timer1"))->stop();
        ASSERT_TRUE(PumpUntil([&] { return form.RunningWorkers == 0; }));
        form.Timer1Timer();
    }

    CaptionDialogs m_dialogs;
    TempDir m_exe;
    TempDir m_save;
};

TEST_F(MainWindow, FirstStartShowsTheDefaultsAndTheFixedTexts) {
    auto form = MakeForm();
    EXPECT_EQ("Quarrow 5.56", form->windowTitle());
    EXPECT_EQ(QDir::homePath() + "/dovrin", Find<QLineEdit>(*form, "Edit6")->text());
    EXPECT_EQ("13", Find<QLineEdit>(*form, "Edit5")->text());
    EXPECT_EQ("newtask.zav", Find<QLineEdit>(*form, "EditTaskName")->text());
    const auto radios = Find<QWidget>(*form, "radio_mapstype")->findChildren<QRadioButton*>();
    ASSERT_EQ(3, radios.size());
    EXPECT_EQ("Map view", radios[0]->text());
    EXPECT_TRUE(radios[1]->isChecked());
    EXPECT_EQ("Start", Find<QPushButton>(*form, "BitBtn1")->text());
    EXPECT_EQ(QStringList{"[log window]"}, PaneLines(*form, "Memo1"));
    EXPECT_EQ(QStringList{"[Failed tile inforamtion window]"}, PaneLines(*form, "Memo2"));
    EXPECT_FALSE(Find<QWidget>(*form, "Memo2")->isVisible());
    EXPECT_EQ("Download images from Zav Maps!", form->statusBar()->currentMessage());
    EXPECT_EQ(693, form->width());
    EXPECT_EQ(382, form->height() - form->menuBar()->height());
    EXPECT_FALSE(Find<QTimer>(*form, "Timer1")->isActive());

    // Nothing before a task; the companion programs from the program's folder.
    form->Viewlogfile1Click();
    form->MapViewer1Click();
    EXPECT_EQ(QStringList{"No task running now.                  "},
              m_dialogs.TextsOf(Kind::Message));
    EXPECT_EQ(QStringList{QString::fromStdString(m_exe.Path() + "pelorin")},
              m_dialogs.TextsOf(Kind::StartProgram));
}

TEST_F(MainWindow, EnterStartsTheZoomStepsByItsArrowsOrTheirKeysAndALongTaskIsAsked) {
    auto form = MakeForm();
    // Enter in an entry field presses the default button.
    Find<QLineEdit>(*form, "Edit6")->clear();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(Find<QLineEdit>(*form, "Edit1"), &enter);
    EXPECT_EQ(QStringList{"Please select a path to save the images."},
              m_dialogs.TextsOf(Kind::Message));

    // An item of an open menu shows its (empty) tip, as the menu makes it do; the text stays.
    QMenu* file = form->menuBar()->findChild<QMenu*>(QStringLiteral("File1"));
    ASSERT_NE(nullptr, file);
    file->popup(form->mapToGlobal(QPoint(10, 10)));
    file->actions().front()->showStatusText(form->menuBar());
    file->hide();
    EXPECT_EQ("Download images from Zav Maps!", form->statusBar()->currentMessage());

    // The zoom: no focus for it or its parts, no typing, no wheel; the arrows step it.
    auto* upDown = Find<QWidget>(*form, "UpDown1");
    EXPECT_EQ(Qt::NoFocus, upDown->focusPolicy());
    for (const QWidget* part : upDown->findChildren<QWidget*>())
        EXPECT_TRUE(part->focusPolicy() == Qt::NoFocus || !part->isVisible());
    QKeyEvent digit(QEvent::KeyPress, Qt::Key_5, Qt::NoModifier, QStringLiteral("5"));
    QApplication::sendEvent(upDown, &digit);
    QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
    QApplication::sendEvent(upDown, &up);
    const QPointF middle(upDown->width() / 2.0, upDown->height() / 2.0);
    QWheelEvent wheel(middle, upDown->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(upDown, &wheel);
    EXPECT_EQ("13", Find<QLineEdit>(*form, "Edit5")->text());
    static_cast<QAbstractSpinBox*>(upDown)->stepUp();
    EXPECT_EQ("14", Find<QLineEdit>(*form, "Edit5")->text());
    // The zoom field takes the keys the arrows stand for.
    auto* zoom = Find<QLineEdit>(*form, "Edit5");
    for (const auto& [key, shown] : {std::pair{Qt::Key_Up, "15"}, {Qt::Key_PageUp, "16"},
                                     {Qt::Key_Down, "15"}, {Qt::Key_PageDown, "14"}}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(zoom, &press);
        EXPECT_EQ(shown, zoom->text().toStdString());
    }

    // A new task of more than a day at the source's pace is started only when the user says so.
    Type(*form, {"100", "140", "50", "20"}, m_save.Path() + "far", "huge"); // 4 days at zoom 14
    m_dialogs.Calls.clear();
    m_dialogs.LongTaskAnswers = {false};
    form->BitBtn1Click();
    const QStringList warned = m_dialogs.TextsOf(Kind::LongTask);
    ASSERT_EQ(1, warned.size());
    EXPECT_TRUE(warned[0].startsWith("This task would take about "));
    EXPECT_TRUE(warned[0].endsWith(" at the service's pace; choose a smaller area or a lower zoom "
                                   "level."));
    EXPECT_EQ(nullptr, form->CurrentTask);
    EXPECT_FALSE(std::filesystem::exists(m_save.Path() + "far/huge.zav"));
}

// Beside the Part's two items, Tools starts pelorin and stavik with the task the entries name,
// greyed while there is none.
TEST_F(MainWindow, ToolsOpenTheTaskAtHandAndAreGreyedWithoutOne) {
    auto form = MakeForm();
    QMenu* tools = form->menuBar()->findChild<QMenu*>(QStringLiteral("Tools1"));
    ASSERT_NE(nullptr, tools);
    auto* view = form->findChild<QAction*>(QStringLiteral("ViewThisTask1"));
    auto* combine = form->findChild<QAction*>(QStringLiteral("CombineThisTask1"));
    ASSERT_TRUE(view && combine);
    const auto open = [&] {
        QMetaObject::invokeMethod(tools, "aboutToShow");
        return std::pair{view->isEnabled(), combine->isEnabled()};
    };
    Type(*form, {"116.3", "116.5", "39.9", "39.8"}, m_save.Path(), "walk");
    EXPECT_EQ(std::pair(false, false), open());
    WriteFileBytes(m_save.Path() + "walk.zav", "[AREA]\r\n");
    EXPECT_EQ(std::pair(true, true), open());
    view->trigger();
    combine->trigger();
    ASSERT_EQ(2u, m_dialogs.Calls.size());
    const QString project = QString::fromStdString(m_save.Path() + "walk.zav");
    EXPECT_TRUE(m_dialogs.Calls[0].Text.endsWith("/pelorin"));
    EXPECT_TRUE(m_dialogs.Calls[1].Text.endsWith("/stavik"));
    for (const auto& call : m_dialogs.Calls) {
        EXPECT_EQ(Kind::StartProgram, call.What);
        EXPECT_EQ(QStringList{project}, call.Extra);
    }
}

TEST_F(MainWindow, TheOutcomeTakesTheStatusBarsWidthBesideTheFixedText) {
    auto form = MakeForm();
    QLabel* progress = Find<QLabel>(*form, "ProgressText");
    QStatusBar* status = form->statusBar();
    const int fixed = status->fontMetrics().horizontalAdvance(status->currentMessage());
    for (const int width : {form->width(), 1200}) {
        form->setFixedWidth(width);
        PumpUntil([&] { return status->width() == width; }, 2s);
        QCoreApplication::processEvents();
        // Right of the fixed text, up to the progress bar: all the width there is.
        EXPECT_GT(progress->x(), fixed) << width;
        EXPECT_GT(progress->width(), width - fixed - 160) << width;
    }
}

TEST_F(MainWindow, OpenTaskRestoresTheStoredEntries) {
    auto form = MakeForm();
    const std::string project = m_save.Path() + "old.zav";
    WriteFileBytes(project,
                   "[AREA]\r\nLeftLongitude=116.30\r\nRightLongitude=116.5\r\n"
                   "TopLatitude=39.9\r\nBottomLatitude=39,8\r\n[MapsType]\r\nMapsType=19\r\n"
                   "[Zoom]\r\nZoom=25\r\n");
    m_dialogs.FileAnswers = {QString::fromStdString(project), QString()};
    form->LoadParametersfromprojectfilel1Click();
    EXPECT_EQ("116.30", Find<QLineEdit>(*form, "Edit1")->text());
    EXPECT_EQ("116.5", Find<QLineEdit>(*form, "Edit3")->text());
    EXPECT_EQ("39.9", Find<QLineEdit>(*form, "Edit2")->text());
    EXPECT_EQ("39,8", Find<QLineEdit>(*form, "Edit4")->text());
    EXPECT_EQ(QString::fromStdString(m_save.Path()), Find<QLineEdit>(*form, "Edit6")->text());
    EXPECT_EQ("old.zav", Find<QLineEdit>(*form, "EditTaskName")->text());
    EXPECT_EQ("25", Find<QLineEdit>(*form, "Edit5")->text());
    EXPECT_TRUE(
        Find<QWidget>(*form, "radio_mapstype")->findChildren<QRadioButton*>()[2]->isChecked());
    ASSERT_EQ(1u, m_dialogs.Calls.size());
    EXPECT_EQ("Open project file:", m_dialogs.Calls[0].Text);
    EXPECT_EQ((QStringList{"Projects(*.zav)|*.zav", QDir::homePath() + "/dovrin"}),
              m_dialogs.Calls[0].Extra);

    // A cancelled dialog changes nothing; a file without keys shows zoom 0 and keeps the map type.
    form->LoadParametersfromprojectfilel1Click();
    EXPECT_EQ("old.zav", Find<QLineEdit>(*form, "EditTaskName")->text());
    m_dialogs.FileAnswers = {QString::fromStdString(m_save.Path() + "none.zav")};
    form->LoadParametersfromprojectfilel1Click();
    EXPECT_EQ("0", Find<QLineEdit>(*form, "Edit5")->text());
    EXPECT_EQ("", Find<QLineEdit>(*form, "Edit1")->text());
    EXPECT_TRUE(
        Find<QWidget>(*form, "radio_mapstype")->findChildren<QRadioButton*>()[2]->isChecked());

    // File > Recent tasks: the files opened, newest first; one that is gone is dropped and said.
    Install("127.0.0.1"); // the settings folder, where the list is kept
    m_dialogs.FileAnswers = {QString::fromStdString(project)};
    form->LoadParametersfromprojectfilel1Click();
    WriteFileBytes(m_save.Path() + "b.zav", "[Zoom]\r\nZoom=7\r\n");
    m_dialogs.FileAnswers = {QString::fromStdString(m_save.Path() + "b.zav")};
    form->LoadParametersfromprojectfilel1Click();
    QMenu* recent = form->menuBar()->findChild<QMenu*>(QStringLiteral("RecentTasks1"));
    ASSERT_NE(nullptr, recent);
    const auto shown = [&] {
        QMetaObject::invokeMethod(recent, "aboutToShow");
        QStringList texts;
        for (const QAction* action : recent->actions())
            texts << action->text();
        return texts;
    };
    EXPECT_EQ((QStringList{QString::fromStdString(m_save.Path() + "b.zav"),
                           QString::fromStdString(project)}),
              shown());
    std::filesystem::remove(project);
    recent->actions()[1]->trigger();
    EXPECT_EQ("The task " + project + " is no longer there: it is off the recent tasks.",
              Find<QLabel>(*form, "ProgressText")->text().toStdString());
    EXPECT_EQ(QStringList{QString::fromStdString(m_save.Path() + "b.zav")}, shown());
    Find<QLineEdit>(*form, "Edit5")->setText("3");
    recent->actions()[0]->trigger();
    EXPECT_EQ("7", Find<QLineEdit>(*form, "Edit5")->text());
}

// A recent-tasks file made by hand or elsewhere gives only absolute paths of text, each once.
TEST(RecentTasks, AListFileFromAnywhereGivesTenAbsolutePathsAtMost) {
    test::TempDir dir;
    const std::string list = dir.Path() + "recent.txt";
    std::string text = "/a.zav\r\nrelative.zav\r\n/b\x1b[2J.zav\n/a.zav\n/\xFF.zav\n";
    for (int i = 0; i < 20; ++i)
        text += "/t" + std::to_string(i) + ".zav\n";
    WriteFileBytes(list, text);
    const std::vector<std::string> read = ReadRecentTasks(list);
    ASSERT_EQ(MaxRecentTasks, read.size());
    EXPECT_EQ("/a.zav", read[0]);
    EXPECT_EQ("/t8.zav", read[9]);
    AddRecentTask(list, "/t5.zav");
    const std::vector<std::string> again = ReadRecentTasks(list);
    EXPECT_EQ((std::vector<std::string>{"/t5.zav", "/a.zav", "/t0.zav"}),
              std::vector(again.begin(), again.begin() + 3));
    EXPECT_EQ(MaxRecentTasks, again.size());
}

struct RefusedStart {
    Entries Area;
    const char* Zoom;
    bool EmptyPath;
    std::vector<const char*> Messages;
};

TEST_F(MainWindow, StartRefusesBadEntriesInOrderAndStartsNothing) {
    const long long wholeWorld = (LonToTileX(180, 18) - LonToTileX(-180, 18) + 1LL) *
                                 (LatToTileY(-85, 18) - LatToTileY(85, 18) + 1LL);
    const std::string TooLarge = "The area holds " + std::to_string(wholeWorld) +
                                 " tiles: the task is too large (at most 2147483647).";
    const std::vector<RefusedStart> cases = {
        {{"116.3", "116.5", "39.9", "39.8"},
         "13",
         true,
         {"Please select a path to save the images."}},
        {{"116.3.4", "116.5", "39.9", "39.8"}, "13", false, {"Longitude or latitude input error!"}},
        {{"116.3", "abc", "39.9", "39.8"}, "13", false, {"Longitude or latitude input error!"}},
        {{"116.3", "116.5", "", "39.8"}, "13", false, {"Longitude or latitude input error!"}},
        {{"180.0001", "181", "90", "39.8"},
         "13",
         false,
         {"Left Longitude should be between -180 and 180."}},
        {{"0", "-180.5", "39.9", "39.8"},
         "13",
         false,
         {"Right Longitude should be between -180 and 180."}},
        {{"0", "1", "85.0001", "39.8"},
         "13",
         false,
         {"Top Latitude should be between -85 and 85."}},
        {{"0", "1", "1", "-85,1"}, "13", false, {"Bottom Latitude should be between -85 and 85."}},
        {{"10", "5", "5", "10"}, "13", false, {"Left Longitude should less than Right Longitude!"}},
        {{"5", "10", "5", "10"}, "13", false, {"Bottom Latitude should less than Top Latitude!"}},
        {{"116,3", "116.5", "39.9", "39.8"},
         "0",
         false,
         {"Zoom level must be between 1 and 18.", "Error: Create task failure."}},
        {{"-180", "180", "85", "-85"},
         "18",
         false,
         {TooLarge.c_str(), "Error: Create task failure."}},
    };
    auto form = MakeForm();
    for (const RefusedStart& c : cases) {
        SCOPED_TRACE(c.Messages.front());
        m_dialogs.Calls.clear();
        Type(*form, c.Area, c.EmptyPath ? "" : m_save.Path() + "new", "t1");
        Find<QLineEdit>(*form, "Edit5")->setText(QString::fromLatin1(c.Zoom));
        form->BitBtn1Click();
        QStringList expected;
        for (const char* m : c.Messages)
            expected << QString::fromLatin1(m);
        EXPECT_EQ(expected, m_dialogs.TextsOf(Kind::Message));
        EXPECT_EQ(nullptr, form->CurrentTask);
        EXPECT_EQ("Start", Find<QPushButton>(*form, "BitBtn1")->text());
        EXPECT_EQ(QStringList{"[log window]"}, PaneLines(*form, "Memo1"));
    }
    // The save folder was made, one level, by the first Start that got that far.
    EXPECT_TRUE(std::filesystem::is_directory(m_save.Path() + "new"));
    EXPECT_FALSE(std::filesystem::exists(m_save.Path() + "new/t1.zav"));
}

TEST_F(MainWindow, StartRefusesNamesThatLeaveTheSaveFolderAndListsTheDiskCannotHold) {
    auto form = MakeForm();
    const std::string folder = m_save.Path() + "maps";
    for (const char* name : {"../escape.zav", "sub/x.zav", "a\\b", ".", "..", "..x"}) {
        SCOPED_TRACE(name);
        m_dialogs.Calls.clear();
        Type(*form, {"116.3", "116.5", "39.9", "39.8"}, folder, name);
        form->BitBtn1Click();
        EXPECT_EQ(QStringList{"The task name must be a file name, without folders."},
                  m_dialogs.TextsOf(Kind::Message));
        EXPECT_EQ(nullptr, form->CurrentTask);
    }
    // Nothing was made, not even the save folder.
    EXPECT_TRUE(std::filesystem::is_empty(m_save.Path()));

    // 2 x 2 tiles at zoom 13: a heading of 108 bytes and four lines of 106 + 2.
    form->FreeBytes = 539;
    Type(*form, {"116.3", "116.35", "40", "39.97"}, folder, "big.zav");
    m_dialogs.Calls.clear();
    form->BitBtn1Click();
    EXPECT_EQ(QStringList{"The tile list needs 1 KB; the disk has 1 KB free."},
              m_dialogs.TextsOf(Kind::Message));
    EXPECT_FALSE(std::filesystem::exists(folder + "/big.zav"));
    EXPECT_FALSE(std::filesystem::exists(folder + "/big"));
    form->FreeBytes = 540;
    m_dialogs.Calls.clear();
    form->BitBtn1Click();
    ASSERT_NE(nullptr, form->CurrentTask);
    EXPECT_EQ(540u, std::filesystem::file_size(form->CurrentTask->ListFile));
    form->BitBtn1Click(); // Stop
    RunToEnd(*form);
}

TEST_F(MainWindow, AThreadTheSystemRefusesEndsTheStartCleanly) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    tileservice::TileService service(options);
    Install("127.0.0.1:" + std::to_string(service.Port()));
    auto form = MakeForm();
    form->RefusedSlot = 2;
    Type(*form, {"116.3", "117", "39.9", "39.9"}, m_save.Path(), "refused.zav");
    Find<QLineEdit>(*form, "Edit5")->setText("12");
    form->BitBtn1Click();
    const QStringList errors = m_dialogs.TextsOf(Kind::Error);
    ASSERT_EQ(1, errors.size());
    EXPECT_TRUE(errors[0].startsWith("The download thread T3 cannot be started: "))
        << errors[0].toStdString();
    EXPECT_EQ("Start", Find<QPushButton>(*form, "BitBtn1")->text());
    EXPECT_EQ(0, form->RunningWorkers);
    EXPECT_FALSE(Find<QTimer>(*form, "Timer1")->isActive());
    const QStringList log = PaneLines(*form, "Memo1");
    EXPECT_TRUE(log.contains("T1 Finished.") && log.contains("T2 Finished."));
    EXPECT_EQ("Task Stoped!", log[log.size() - 5]);
    // The window takes the next Start.
    form->RefusedSlot = -1;
    form->BitBtn1Click();
    EXPECT_EQ("Stop", Find<QPushButton>(*form, "BitBtn1")->text());
    form->BitBtn1Click();
    RunToEnd(*form);
}

TEST_F(MainWindow, TaskRunsEndsAndResumesAgainstTheLocalService) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    tileservice::TileService service(options);
    Install("127.0.0.1:" + std::to_string(service.Port()));
    auto form = MakeForm();
    QPushButton* button = Find<QPushButton>(*form, "BitBtn1");
    QStringList captionsAtMessages;
    m_dialogs.OnMessage = [&] { captionsAtMessages << button->text(); };

    // Three tiles in one row: three workers.
    const Entries area{"116.3", "116.5", "39.9", "39.9"};
    Type(*form, area, m_save.Path(), "e2e.zav");
    Find<QLineEdit>(*form, "Edit5")->setText("12");
    form->BitBtn1Click();
    ASSERT_NE(nullptr, form->CurrentTask);
    EXPECT_EQ("Stop", button->text());
    EXPECT_EQ("Total images: 3", Find<QLabel>(*form, "LabelTotalxy")->text());
    EXPECT_EQ(3, form->CurrentTask->Params->ThreadCount);
    EXPECT_EQ(3, form->RunningWorkers);
    EXPECT_TRUE(Find<QTimer>(*form, "Timer1")->isActive());
    const std::string project = m_save.Path() + "e2e.zav";
    EXPECT_EQ(3, ProfileFile(project).ReadInteger("THREADS", "ThreadCount", 0));
    EXPECT_EQ(ReadFileBytes(form->CurrentTask->LogFile),
              PaneLines(*form, "Memo1").join("\r\n").toStdString() + "\r\n");

    RunToEnd(*form);
    EXPECT_EQ("Start", button->text());
    EXPECT_EQ(QStringList{"Task stoped!                    "}, m_dialogs.TextsOf(Kind::Message));
    EXPECT_TRUE(Find<QLabel>(*form, "ProgressText")
                    ->text()
                    .startsWith("3 tiles: 3 saved, 0 blank (the service has none), 0 failed "
                                "(listed for re-download). Done in "));
    EXPECT_EQ(QStringList{"Start"}, captionsAtMessages);
    EXPECT_FALSE(Find<QTimer>(*form, "Timer1")->isActive());

    const QStringList log = PaneLines(*form, "Memo1");
    const std::string logFile = m_save.Path() + "e2e_log.txt";
    ASSERT_GE(log.size(), 7);
    const QStringList closing = log.mid(log.size() - 7);
    EXPECT_EQ("", closing[0]);
    EXPECT_EQ("--------------------------------", closing[1]);
    EXPECT_EQ("Task Stoped!", closing[2]);
    EXPECT_TRUE(closing[4].startsWith("Now time:"));
    EXPECT_EQ(QString::fromStdString("Log file has been saved as " + logFile), closing[6]);
    for (int n = 1; n <= 3; ++n) {
        EXPECT_TRUE(log.contains(QStringLiteral("T%1 Finished.").arg(n)));
        // The resume keys of each worker's one tile; slot 4 was never written.
        EXPECT_GT(ProfileFile(project).ReadInteger("THREADS", "T" + std::to_string(n) + "X", 0), 0);
    }
    EXPECT_EQ("", ProfileFile(project).ReadString("THREADS", "T4X", "absent"));
    EXPECT_EQ(log.join("\r\n").toStdString() + "\r\n", ReadFileBytes(logFile));
    EXPECT_EQ("", ReadFileBytes(m_save.Path() + "e2e_failed.ftl"));
    for (const char* tile :
         {"zavs_3371_1552_12.png", "zavs_3372_1552_12.png", "zavs_3373_1552_12.png"})
        EXPECT_FALSE(ReadFileBytes(m_save.Path() + "e2e/" + tile).empty()) << tile;

    // The same entries resume: the project and the list stay, the log gets a continuation.
    const std::string projectBytes = ReadFileBytes(project);
    m_dialogs.Calls.clear();
    form->BitBtn1Click();
    ASSERT_TRUE(form->CurrentTask->Params->Resume);
    EXPECT_EQ(projectBytes, ReadFileBytes(project));
    EXPECT_GT(PaneLines(*form, "Memo1").size(), log.size());
    RunToEnd(*form);
    EXPECT_EQ(projectBytes, ReadFileBytes(project)) << "every worker had finished its share";

    // Without ".zav" typed the same entries would start afresh: the window asks first. Cancel
    // writes nothing, Resume goes on, Start anew is the rewrite.
    Find<QLineEdit>(*form, "EditTaskName")->setText("e2e");
    const std::string logBytes = ReadFileBytes(logFile);
    m_dialogs.Calls.clear();
    m_dialogs.ExistingAnswers = {ExistingTaskChoice::Cancel, ExistingTaskChoice::Resume,
                                 ExistingTaskChoice::StartAnew};
    form->BitBtn1Click();
    EXPECT_EQ("Start", button->text());
    EXPECT_EQ(logBytes, ReadFileBytes(logFile));
    EXPECT_EQ(projectBytes, ReadFileBytes(project));
    form->BitBtn1Click();
    ASSERT_TRUE(form->CurrentTask->Params->Resume);
    RunToEnd(*form);
    EXPECT_EQ(projectBytes, ReadFileBytes(project));
    form->BitBtn1Click();
    EXPECT_FALSE(form->CurrentTask->Params->Resume);
    RunToEnd(*form);
    const QString question = "The task e2e already exists (zoom 12, 3 tiles, 0 failed). Resume "
                             "it, start it anew (its files are replaced), or cancel?";
    EXPECT_EQ((QStringList{question, question, question}), m_dialogs.TextsOf(Kind::ExistingTask));
    // Other entries under the name: no resume to offer.
    Find<QLineEdit>(*form, "Edit5")->setText("13");
    m_dialogs.Calls.clear();
    m_dialogs.ExistingAnswers = {ExistingTaskChoice::Cancel};
    form->BitBtn1Click();
    ASSERT_EQ(1u, m_dialogs.Calls.size());
    EXPECT_EQ(QStringList{QString()}, m_dialogs.Calls[0].Extra);
    EXPECT_EQ(QString("The task e2e already exists (zoom 12, 3 tiles, 0 failed). Start it anew "
                      "(its files are replaced), or cancel?"),
              m_dialogs.Calls[0].Text);
}

// A zoom range: one task a level, named as quarrow-batch names them, each started when the one
// before ended whole; the status bar says which; Stop stops the run, and Start with the same
// entries goes on with the level that was stopped, without asking about the earlier ones.
TEST_F(MainWindow, AZoomRangeRunsATaskALevelAndTheSameEntriesGoOn) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    options.DelayMs = 150; // a Stop falls among the tiles
    tileservice::TileService service(options);
    Install("127.0.0.1:" + std::to_string(service.Port()));
    auto form = MakeForm();
    QPushButton* button = Find<QPushButton>(*form, "BitBtn1");
    QLabel* status = Find<QLabel>(*form, "ProgressText");
    auto* to = Find<QSpinBox>(*form, "ZoomTo");
    Type(*form, {"116.3", "116.5", "39.9", "39.9"}, m_save.Path(), "bj");
    Find<QLineEdit>(*form, "Edit5")->setText("11");
    EXPECT_EQ(11, to->value()) << "the range's end follows the zoom level";
    to->setValue(13);
    EXPECT_TRUE(status->text().startsWith("Next tasks (zoom 11 to 13): ")) << status->text().toStdString();
    const auto project = [&](int zoom) { return m_save.Path() + "bj_z" + std::to_string(zoom) + ".zav"; };
    const auto running = [&](int zoom) {
        return button->text() == "Stop" && form->CurrentTask &&
               form->CurrentTask->ProjectFile() == project(zoom);
    };

    form->BitBtn1Click();
    ASSERT_TRUE(running(11));
    EXPECT_TRUE(status->text().startsWith("Zoom 11 (1 of 3): ")) << status->text().toStdString();
    RunToEnd(*form);
    ASSERT_TRUE(PumpUntil([&] { return running(12); }));
    EXPECT_TRUE(m_dialogs.TextsOf(Kind::Message).isEmpty()) << "no box between the levels";
    form->BitBtn1Click(); // Stop
    RunToEnd(*form);
    EXPECT_EQ(QStringList{"Task stoped!                    "}, m_dialogs.TextsOf(Kind::Message));
    EXPECT_TRUE(status->text().startsWith("Zoom 12 (2 of 3): ")) << status->text().toStdString();
    QCoreApplication::processEvents();
    EXPECT_EQ("Start", button->text()) << "Stop stopped the run";
    EXPECT_FALSE(std::filesystem::exists(project(13)));

    form->BitBtn1Click();
    for (const int zoom : {11, 12, 13}) {
        ASSERT_TRUE(PumpUntil([&] { return running(zoom); })) << zoom;
        EXPECT_TRUE(form->CurrentTask->Params->Resume || zoom == 13) << zoom;
        RunToEnd(*form);
    }
    EXPECT_TRUE(status->text().startsWith("Zoom 13 (3 of 3): 6 tiles: 6 saved")) << status->text().toStdString();
    EXPECT_EQ(2, m_dialogs.TextsOf(Kind::Message).size());
    EXPECT_TRUE(m_dialogs.TextsOf(Kind::ExistingTask).isEmpty());
    for (const int zoom : {11, 12, 13}) {
        const std::string tiles = m_save.Path() + "bj_z" + std::to_string(zoom);
        EXPECT_EQ(CoveringTiles(116.3, 116.5, 39.9, 39.9, zoom).Count(),
                  static_cast<unsigned long long>(std::distance(
                      std::filesystem::directory_iterator(tiles), {})))
            << zoom;
    }
}

// A level that cannot be whole (a tile's name taken by a folder) is followed by the next; the
// end says which levels are whole.
TEST_F(MainWindow, AZoomRangeGoesOnPastALevelThatIsNotWhole) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    tileservice::TileService service(options);
    Install("127.0.0.1:" + std::to_string(service.Port()));
    auto form = MakeForm();
    Type(*form, {"116.3", "116.5", "39.9", "39.9"}, m_save.Path(), "fl");
    Find<QLineEdit>(*form, "Edit5")->setText("11");
    Find<QSpinBox>(*form, "ZoomTo")->setValue(12);
    const TileRange range = CoveringTiles(116.3, 116.5, 39.9, 39.9, 11);
    std::filesystem::create_directories(m_save.Path() + "fl_z11/zavs_" + // the settings' map type
                                        std::to_string(range.MinX) + "_" +
                                        std::to_string(range.MinY) + "_11.png");
    form->BitBtn1Click();
    RunToEnd(*form);
    ASSERT_TRUE(PumpUntil([&] {
        return form->CurrentTask && form->CurrentTask->Params->Zoom == 12 &&
               Find<QPushButton>(*form, "BitBtn1")->text() == "Stop";
    }));
    RunToEnd(*form);
    const QString status = Find<QLabel>(*form, "ProgressText")->text();
    EXPECT_TRUE(status.startsWith("Zoom 11 to 12: 12 whole, 11 not whole. Zoom 12 (2 of 2): "))
        << status.toStdString();
    EXPECT_EQ(1, m_dialogs.TextsOf(Kind::Message).size());
}

TEST_F(MainWindow, ATaskTheServiceRefusesSaysSoAtItsEndUntilTheEntriesChange) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    options.Share403 = 1;
    tileservice::TileService service(options);
    Install("127.0.0.1:" + std::to_string(service.Port()));
    auto form = MakeForm();
    Type(*form, {"116.3", "116.5", "39.9", "39.9"}, m_save.Path(), "refused.zav");
    Find<QLineEdit>(*form, "Edit5")->setText("12");
    form->BitBtn1Click();
    RunToEnd(*form);
    // The closing lines and box are as for any end; the status bar tells the shortfall.
    EXPECT_EQ(QStringList{"Task stoped!                    "}, m_dialogs.TextsOf(Kind::Message));
    QLabel* progress = Find<QLabel>(*form, "ProgressText");
    EXPECT_EQ("3 tiles: 0 saved, 0 blank (the service has none), 3 failed (listed for "
              "re-download: the service refused: 403). Re-download them from the failed list.",
              progress->text());
    Find<QLineEdit>(*form, "Edit4")->setText("39.8");
    EXPECT_TRUE(progress->text().startsWith("Next task: 6 tiles, about "))
        << progress->text().toStdString();
}

TEST_F(MainWindow, StopAsksEveryWorkerAndASaveThatFailsIsToldOnce) {
    test::LoopbackServer silent([](test::ServerConnection& connection) {
        connection.ReadRequest();
        connection.WaitForPeerClose(10s);
    });
    Install("127.0.0.1:" + std::to_string(silent.Port()));
    auto form = MakeForm();
    Type(*form, {"116.3", "117", "39.9", "39.9"}, m_save.Path(), "stop.zav");
    Find<QLineEdit>(*form, "Edit5")->setText("12");
    form->BitBtn1Click();
    ASSERT_EQ(8, form->RunningWorkers);
    form->findChild<QTimer*>(QStringLiteral("Timer1"))->stop();

    // The log file's place taken by a folder: saving the log fails, every fifth tick.
    const std::string logFile = form->CurrentTask->LogFile;
    std::filesystem::remove(logFile);
    std::filesystem::create_directory(logFile);
    for (int tick = 0; tick < 10; ++tick)
        form->Timer1Timer();
    const QString failure = QString::fromStdString("Unable to write to " + logFile);
    EXPECT_EQ(1, PaneLines(*form, "Memo1").count(failure));

    ASSERT_TRUE(PumpUntil([&] { return silent.ConnectionCount() == 8; }, 5s));
    const auto stoppedAt = std::chrono::steady_clock::now();
    form->BitBtn1Click();
    const QStringList log = PaneLines(*form, "Memo1");
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(log[log.size() - 9 + n],
                  QStringLiteral("Thread%1will be terminated by user. please wait...").arg(n));
    }
    EXPECT_EQ("Stop", Find<QPushButton>(*form, "BitBtn1")->text());
    ASSERT_TRUE(PumpUntil([&] { return form->RunningWorkers == 0; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 4s);
    form->Timer1Timer();
    EXPECT_EQ(QStringList{"Task stoped!                    "}, m_dialogs.TextsOf(Kind::Message));
    EXPECT_EQ("Start", Find<QPushButton>(*form, "BitBtn1")->text());
    EXPECT_EQ(1, PaneLines(*form, "Memo1").count(failure));
    // The tiles cut by the stop stay as they were, for the resume: nothing listed, no file.
    EXPECT_EQ(QStringList{QString()}, PaneLines(*form, "Memo2"));
    EXPECT_TRUE(std::filesystem::is_empty(form->CurrentTask->TileFolder));
}

TEST_F(MainWindow, LeavingWhileWorkersWaitOnAServerEndsWithinTheGrace) {
    test::LoopbackServer silent([](test::ServerConnection& connection) {
        connection.ReadRequest();
        connection.WaitForPeerClose(10s);
    });
    Install("127.0.0.1:" + std::to_string(silent.Port()));
    auto form = MakeForm();
    Type(*form, {"116.3", "117", "39.9", "39.9"}, m_save.Path(), "leave.zav");
    Find<QLineEdit>(*form, "Edit5")->setText("12");
    form->BitBtn1Click();
    ASSERT_EQ(8, form->RunningWorkers);
    // Let the workers reach their requests.
    PumpUntil([&] { return silent.ConnectionCount() == 8; }, 5s);
    const auto leftAt = std::chrono::steady_clock::now();
    form.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - leftAt, 4s);
}

TEST_F(MainWindow, LeavingMidTaskKeepsEveryLineAndPositionForTheResume) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    tileservice::TileService service(options);
    Install("127.0.0.1:" + std::to_string(service.Port()));
    auto form = MakeForm();
    // 8 x 9 tiles at zoom 12; the test's host takes no real waits, so tiles come fast.
    Type(*form, {"116.3", "117", "39.9", "39.3"}, m_save.Path(), "leave.zav");
    Find<QLineEdit>(*form, "Edit5")->setText("12");
    form->BitBtn1Click();
    form->findChild<QTimer*>(QStringLiteral("Timer1"))->stop(); // no periodic save helps
    const auto saved = [&] { return PaneLines(*form, "Memo1").filter(" OK").size(); };
    ASSERT_TRUE(PumpUntil([&] { return saved() >= 20; }));
    const std::string logFile = form->CurrentTask->LogFile;
    const std::string folder = form->CurrentTask->TileFolder;
    form.reset();

    // Every tile on disk has its line in the log, the positions are stored, the stop is told.
    const std::string log = ReadFileBytes(logFile);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++files;
        const std::string name = entry.path().filename().string();
        EXPECT_NE(std::string::npos, log.find("," + name + " OK\r\n")) << name;
    }
    EXPECT_GE(files, 20);
    EXPECT_NE(std::string::npos, log.find("Thread1will be terminated by user. please wait..."));
    EXPECT_NE(std::string::npos, log.find("Task Stoped!"));
    EXPECT_NE(0, ProfileFile(m_save.Path() + "leave.zav").ReadInteger("THREADS", "T1X", 0));
    // The resume starts from them and shows the whole log.
    auto again = MakeForm();
    Type(*again, {"116.3", "117", "39.9", "39.3"}, m_save.Path(), "leave.zav");
    Find<QLineEdit>(*again, "Edit5")->setText("12");
    again->BitBtn1Click();
    ASSERT_TRUE(again->CurrentTask->Params->Resume);
    EXPECT_GE(PaneLines(*again, "Memo1").filter(" OK").size(), files);
    RunToEnd(*again);
}

TEST_F(MainWindow, LeavingStartsNoRequestAfterTheExitBegan) {
    std::atomic<int> requests{0};
    test::LoopbackServer service([&](test::ServerConnection& connection) {
        while (!connection.ReadRequest().empty()) {
            ++requests;
            connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ntile");
        }
    });
    Install("127.0.0.1:" + std::to_string(service.Port()));
    // The program's own waits: the workers sleep a second after each tile.
    auto form = std::make_unique<TForm1>(m_dialogs, QString::fromStdString(m_exe.Path()));
    form->show();
    Type(*form, {"116.3", "117", "39.9", "39.9"}, m_save.Path(), "leave.zav");
    Find<QLineEdit>(*form, "Edit5")->setText("12");
    form->BitBtn1Click();
    ASSERT_EQ(8, form->RunningWorkers);
    // Every worker has fetched its first tile and waits before the next.
    ASSERT_TRUE(PumpUntil([&] { return requests >= 8; }, 10s));
    const int before = requests;
    form.reset();
    // At most the requests already on their way, one per worker.
    EXPECT_LE(requests - before, 8);
}

} // namespace
} // namespace quarrow
