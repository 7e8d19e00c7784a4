// The desktop's side of the windows: what it cannot open is told, and the compiled manual falls
// back to Quarrow's own help window.
#include "widgets/Dialogs.h"

#include <filesystem>

#include <QApplication>
#include <QPushButton>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include "widgets/HelpWindow.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

// The desktop as it is, but its error boxes recorded.
class ErrorRecordingDialogs : public Dialogs {
public:
    QStringList Errors;
    void Error(const QString& text) override { Errors << text; }
};

THelpWindow* ShownHelpWindow() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* help = qobject_cast<THelpWindow*>(window); help && help->isVisible())
            return help;
    return nullptr;
}

TEST(Dialogs, AFailedOpenIsToldAndTheManualFallsBackToTheHelpWindow) {
    test::TempDir folder;
    const QString base = QString::fromStdString(folder.Path());
    ErrorRecordingDialogs dialogs;

    dialogs.ShellOpen(base + "gone_log.txt");
    dialogs.StartProgram(base + "pelorin");
    test::WriteFileBytes(folder.Path() + "task.unknowntype", "?");
    dialogs.ShellOpen(base + "task.unknowntype");
    EXPECT_EQ(
        (QStringList{"Cannot open " + base + "gone_log.txt: the file does not exist.",
                     "Cannot start " + base + "pelorin: the program is missing or cannot be run.",
                     "Cannot open " + base + "task.unknowntype: no program is set to open it."}),
        dialogs.Errors);

    // help.chm that no program opens: the HTML pages beside it, with Back, Forward and Home.
    std::filesystem::create_directory(folder.Path() + "help");
    test::WriteFileBytes(folder.Path() + "help/help.chm", "ITSF");
    test::WriteFileBytes(folder.Path() + "help/index.html",
                         "<html><head><title>Start</title></head><body>"
                         "<a href=\"tasks.html\">Tasks</a></body></html>");
    test::WriteFileBytes(folder.Path() + "help/tasks.html",
                         "<html><head><title>Tasks</title></head><body>t</body></html>");
    dialogs.Errors.clear();
    dialogs.ShellOpen(base + "help/help.chm");
    EXPECT_TRUE(dialogs.Errors.isEmpty());
    THelpWindow* help = ShownHelpWindow();
    ASSERT_NE(nullptr, help);
    QTextBrowser* browser = help->Browser();
    EXPECT_EQ("Start", browser->documentTitle());
    browser->setSource(QUrl(QStringLiteral("tasks.html")));
    EXPECT_EQ("Tasks", browser->documentTitle());
    help->findChild<QPushButton*>(QStringLiteral("ButtonBack"))->click();
    EXPECT_EQ("Start", browser->documentTitle());
    help->findChild<QPushButton*>(QStringLiteral("ButtonForward"))->click();
    help->findChild<QPushButton*>(QStringLiteral("ButtonHome"))->click();
    EXPECT_EQ("Start", browser->documentTitle());
}

} // namespace
} // namespace quarrow
