// Everything a window asks of the desktop: message boxes, file and folder dialogs, opening
// documents and starting programs. The program uses the Qt implementation; tests record.
#pragma once

#include <memory>

#include <QString>
#include <QStringList>

class QWidget;
class THelpWindow;

// What to do with a task of the typed name that exists already.
enum class ExistingTaskChoice { Resume, StartAnew, Cancel };

class Dialogs {
public:
    Dialogs();
    virtual ~Dialogs();
    Dialogs(const Dialogs&) = delete;
    Dialogs& operator=(const Dialogs&) = delete;

    // A message box with OK; returns when it is closed.
    virtual void Message(const QString& text);
    // The standard error box.
    virtual void Error(const QString& text);
    // The chosen folder, empty on cancel.
    virtual QString BrowseFolder(const QString& caption);
    // filter in the form "Projects(*.zav)|*.zav"; the chosen file's full path, empty on cancel.
    virtual QString OpenFile(const QString& title, const QString& filter,
                             const QString& initialFolder);
    // Files, web and mailto addresses. A target that no program takes is told in the error box;
    // a compiled manual (".chm") falls back to the HTML manual beside it (index.html), shown in
    // Quarrow's own help window.
    virtual void ShellOpen(const QString& target);
    // A program that cannot be started is told in the error box.
    virtual void StartProgram(const QString& path);
    // The same with arguments (a companion program given the task at hand).
    virtual void StartProgramWith(const QString& path, const QStringList& arguments);

    // Hands the target to the desktop; false, showing nothing, when it does not exist or no
    // program is set to open it.
    virtual bool DesktopOpen(const QString& target);

    // Whether to resume the task named in the question, start it anew or do nothing (Resume
    // only offered when canResume). Answers StartAnew without asking, so that a caller that does
    // not ask gets the task written anew; the desktop's dialogs below ask.
    virtual ExistingTaskChoice AskExistingTask(const QString& question, bool canResume);

    // Whether to start a task that the warning says would take more than a day. Answers yes
    // without asking, as AskExistingTask does; the desktop's dialogs below ask.
    virtual bool ConfirmLongTask(const QString& warning);
    // Whether to replace the file the question names; yes without asking, as above.
    virtual bool ConfirmReplace(const QString& question);

    // The name to save under, or empty when cancelled; the dialog asks before an existing file
    // is chosen. Starts at initialPath's folder (the home folder when it is not there).
    virtual QString SaveFile(const QString& title, const QString& filter,
                             const QString& initialPath);

private:
    std::unique_ptr<THelpWindow> m_help; // made when first needed
};

// The program's own dialogs: every question is put to the person at the desktop.
class DesktopDialogs : public Dialogs {
public:
    ExistingTaskChoice AskExistingTask(const QString& question, bool canResume) override;
    bool ConfirmLongTask(const QString& warning) override;
    bool ConfirmReplace(const QString& question) override;
};
