// Runs the main window offscreen as the program would, for drills that need a whole process:
// fills the entries from the arguments, presses Start and lets the window's own timer tick until
// the task ends. Every box the window asks for is printed instead of shown, and the panes are
// printed when the task ends.
//
//   QuarrowDriver PROGRAM_FOLDER LEFT RIGHT TOP BOTTOM ZOOM SAVE_PATH TASK_NAME
//
// SIGUSR1 presses the button again (Stop); SIGTERM leaves as closing the window does: the window
// is destroyed with the task running. Exit code 0 after either, 1 when Start began no task,
// 2 for wrong arguments.
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include "widgets/Dialogs.h"
#include "app/Unit1.h"

namespace {

// The signal handler only writes the signal's number here; the event loop reads it.
std::array<int, 2> g_signalPipe{-1, -1};

void OnSignal(int signal) {
    const char number = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &number, 1);
}

void Print(const char* kind, const QString& text) {
    std::printf("%s| %s\n", kind, text.toLocal8Bit().constData());
    std::fflush(stdout);
}

// Never blocks: a box is a printed line, a file or folder dialog is cancelled.
class PrintingDialogs : public Dialogs {
public:
    void Message(const QString& text) override {
        Print("message", text);
        if (text.startsWith(QStringLiteral("Task stoped!")))
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
    void Error(const QString& text) override { Print("error", text); }
    QString BrowseFolder(const QString& caption) override {
        Print("browse", caption);
        return {};
    }
    QString OpenFile(const QString& title, const QString&, const QString&) override {
        Print("open", title);
        return {};
    }
    void ShellOpen(const QString& target) override { Print("shell", target); }
    void StartProgram(const QString& path) override { Print("program", path); }
};

void SetEntry(TForm1& form, const char* name, const char* text) {
    if (auto* edit = form.findChild<QLineEdit*>(QString::fromLatin1(name)))
        edit->setText(QString::fromLocal8Bit(text));
}

void PrintPane(TForm1& form, const char* name, const char* kind) {
    if (auto* pane = form.findChild<QPlainTextEdit*>(QString::fromLatin1(name))) {
        for (const QString& line : pane->toPlainText().split(QLatin1Char('\n')))
            Print(kind, line);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr, "usage: QuarrowDriver PROGRAM_FOLDER LEFT RIGHT TOP BOTTOM ZOOM "
                             "SAVE_PATH TASK_NAME\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (pipe(g_signalPipe.data()) != 0)
        return 2;
    QApplication application(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGUSR1, OnSignal);

    PrintingDialogs dialogs;
    QString folder = QString::fromLocal8Bit(argv[1]);
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    auto* form = new TForm1(dialogs, folder);
    form->show();
    SetEntry(*form, "Edit1", argv[2]);
    SetEntry(*form, "Edit3", argv[3]);
    SetEntry(*form, "Edit2", argv[4]);
    SetEntry(*form, "Edit4", argv[5]);
    SetEntry(*form, "Edit5", argv[6]);
    SetEntry(*form, "Edit6", argv[7]);
    SetEntry(*form, "EditTaskName", argv[8]);
    form->BitBtn1Click();
    if (!form->CurrentTask) {
        delete form;
        return 1;
    }
    std::printf("started| %d tiles, resume %d\n", form->CurrentTask->TileCount,
                form->CurrentTask->Params->Resume ? 1 : 0);
    std::fflush(stdout);

    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&form] {
        char number = 0;
        if (read(g_signalPipe[0], &number, 1) != 1)
            return;
        if (number == SIGUSR1 && form) {
            form->BitBtn1Click();
            return;
        }
        Print("leaving", QString::number(number));
        delete form;
        form = nullptr;
        QCoreApplication::quit();
    });

    application.exec();
    if (form) {
        PrintPane(*form, "Memo1", "log");
        PrintPane(*form, "Memo2", "failed");
        delete form;
    }
    Print("exit", QString());
    return 0;
}
