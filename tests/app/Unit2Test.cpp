// The About window and the main window's actions that leave the program: every target handed to
// the desktop, recorded instead of opened, and the three answers of View log file.
#include "app/Unit2.h"

#include <filesystem>
#include <memory>
#include <string>

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/Unit1.h"
#include "engine/Unitclasstask.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/TempDir.h"

namespace {

using quarrow::test::RecordingDialogs;
using quarrow::test::TempDir;
using quarrow::test::WriteFileBytes;
using Kind = RecordingDialogs::Kind;

const QString HomePage = QStringLiteral("http://www.quarrow.example/");
const QString Mail = QStringLiteral("mailto:support@quarrow.example");

void Mouse(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButton button) {
    QMouseEvent event(type, QPointF(at), QPointF(widget->mapToGlobal(at)), button,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : button, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

void Click(QWidget* widget, Qt::MouseButton button = Qt::LeftButton) {
    const QPoint centre = widget->rect().center();
    Mouse(widget, QEvent::MouseButtonPress, centre, button);
    Mouse(widget, QEvent::MouseButtonRelease, centre, button);
}

class AboutTest : public testing::Test {
protected:
    AboutTest()
        : m_form(m_dialogs, QString::fromStdString(m_exe.Path())), m_about(m_dialogs, m_form) {
        m_form.show();
    }

    template <typename T> T* Find(QWidget& window, const char* name) {
        T* control = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    QString Text(const char* label) { return Find<QLabel>(m_about, label)->text(); }

    // A task whose files go into a temporary save folder; only its log file's path matters here.
    std::shared_ptr<DownloadTask> MakeTask() {
        auto params = std::make_shared<TaskParams>();
        params->LeftLongitude = 116.3;
        params->RightLongitude = 116.5;
        params->TopLatitude = 39.9;
        params->BottomLatitude = 39.9;
        params->Zoom = 12;
        params->SavePath = m_save.Path();
        params->ProjectName = "view.zav";
        return std::make_shared<DownloadTask>(params);
    }

    TempDir m_exe;
    TempDir m_save;
    RecordingDialogs m_dialogs;
    TForm1 m_form;
    TfrmAbout m_about;
};

TEST_F(AboutTest, ShowsTheCaptionTheDeveloperAndTheLinksAtEveryShowing) {
    m_about.show();
    EXPECT_EQ(m_about.windowTitle(), "About");
    EXPECT_EQ(Text("Label3"), "Quarrow 5.56");
    EXPECT_TRUE(Find<QLabel>(m_about, "Label3")->font().underline());
    EXPECT_TRUE(Find<QLabel>(m_about, "Label3")->wordWrap());
    EXPECT_EQ(Text("Label8"), "Developer: quarrow.example");
    EXPECT_EQ(Text("Label5"), "Homepage:");
    EXPECT_EQ(Text("Label4"), HomePage);
    EXPECT_EQ(Text("Label6"), "Email:");
    EXPECT_EQ(Text("Label7"), Mail);
    for (const char* link : {"Label4", "Label7"}) {
        const QLabel* label = Find<QLabel>(m_about, link);
        EXPECT_TRUE(label->font().underline()) << link;
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 128, 0)) << link;
        EXPECT_EQ(label->cursor().shape(), Qt::PointingHandCursor) << link;
    }
    EXPECT_EQ(Find<QPushButton>(m_about, "bLater")->text(), "&OK");
    EXPECT_TRUE(Find<QPushButton>(m_about, "bLater")->isDefault());
    EXPECT_EQ(m_about.minimumSize(), m_about.maximumSize());

    Find<QPushButton>(m_about, "bLater")->click();
    EXPECT_FALSE(m_about.isVisible());
    // The title line follows the main window's caption.
    m_form.setWindowTitle(QStringLiteral("Quarrow 6.01 with a caption long enough to wrap"));
    m_about.show();
    EXPECT_EQ(Text("Label3"), m_form.windowTitle());
    EXPECT_TRUE(m_dialogs.Calls.empty());
}

TEST_F(AboutTest, LinksOpenOnALeftClickOnly) {
    m_about.show();
    QLabel* home = Find<QLabel>(m_about, "Label4");
    QLabel* mail = Find<QLabel>(m_about, "Label7");
    Click(home);
    Click(mail);
    Click(home, Qt::RightButton);
    // Let go beside the label: no click.
    Mouse(mail, QEvent::MouseButtonPress, mail->rect().center(), Qt::LeftButton);
    Mouse(mail, QEvent::MouseButtonRelease, QPoint(-5, -5), Qt::LeftButton);
    // The plain labels beside them open nothing.
    Click(Find<QLabel>(m_about, "Label5"));
    EXPECT_EQ(m_dialogs.TextsOf(Kind::ShellOpen), (QStringList{HomePage, Mail}));
    EXPECT_EQ(m_dialogs.Calls.size(), 2u);
}

TEST_F(AboutTest, MenuShowsItModallyUntilOk) {
    m_form.SetWindows(&m_about, nullptr, nullptr, nullptr);
    bool modal = false;
    QTimer::singleShot(0, &m_about, [&] {
        modal = m_about.isVisible() && QApplication::activeModalWidget() == &m_about;
        m_about.bLaterClick();
    });
    m_form.About1Click();
    EXPECT_TRUE(modal);
    EXPECT_FALSE(m_about.isVisible());
}

TEST_F(AboutTest, HelpHomePageAndCompanionProgramsGoToTheDesktop) {
    m_form.Usermanual1Click();
    m_form.Homepage1Click();
    m_form.MapViewer1Click();
    m_form.CombineImages1Click();
    const QString exe = QString::fromStdString(m_exe.Path());
    // Nothing is installed in the program's folder, and nothing is reported.
    ASSERT_EQ(m_dialogs.Calls.size(), 4u);
    EXPECT_EQ(m_dialogs.TextsOf(Kind::ShellOpen), (QStringList{exe + "help/help.chm", HomePage}));
    EXPECT_EQ(m_dialogs.TextsOf(Kind::StartProgram),
              (QStringList{exe + "pelorin", exe + "stavik"}));
}

TEST_F(AboutTest, ViewLogFileOpensTheCurrentTasksLogOrSaysWhyNot) {
    QWidget* pane = Find<QPlainTextEdit>(m_form, "Memo1")->viewport();
    const auto doubleClick = [&] {
        Mouse(pane, QEvent::MouseButtonDblClick, pane->rect().center(), Qt::LeftButton);
    };
    m_form.Viewlogfile1Click();
    m_form.CurrentTask = MakeTask();
    const std::string log = m_form.CurrentTask->LogFile;
    EXPECT_EQ(log, m_save.Path() + "view_log.txt");
    WriteFileBytes(log, "log\r\n");
    m_form.Viewlogfile1Click();
    doubleClick();
    std::filesystem::remove(log);
    m_form.Viewlogfile1Click();
    // A folder of the log file's name is not the log file.
    std::filesystem::create_directory(log);
    doubleClick();

    const QString noTask = QStringLiteral("No task running now.                  ");
    const QString noLog = QStringLiteral("No logfile now.                         ");
    EXPECT_EQ(noTask.size(), 20 + 18);
    EXPECT_EQ(noLog.size(), 15 + 25);
    EXPECT_EQ(m_dialogs.TextsOf(Kind::Message), (QStringList{noTask, noLog, noLog}));
    EXPECT_EQ(m_dialogs.TextsOf(Kind::ShellOpen),
              (QStringList{QString::fromStdString(log), QString::fromStdString(log)}));
    EXPECT_EQ(m_dialogs.Calls.size(), 5u);
}

} // namespace
