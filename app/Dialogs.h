// Everything a window asks of the desktop: message boxes, file and folder dialogs, opening
// documents and starting programs. The program uses the Qt implementation; tests record.
#pragma once

#include <QString>

class QWidget;

class Dialogs {
public:
    Dialogs() = default;
    virtual ~Dialogs() = default;
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
    // Files, web and mailto addresses.
    virtual void ShellOpen(const QString& target);
    virtual void StartProgram(const QString& path);
};
