// The desktop's own boxes, dialogs and shell behind Dialogs.
#include "Dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

#include "HelpWindow.h"

namespace {

QWidget* Owner() {
    return QApplication::activeWindow();
}

QString ApplicationTitle() {
    const QString name = QGuiApplication::applicationDisplayName();
    return name.isEmpty() ? QStringLiteral("Quarrow") : name;
}

// "Projects(*.zav)|*.zav|All(*.*)|*.*" to Qt's "Projects (*.zav);;All (*.*)": the patterns come
// from the second field of each pair, the shown name from the first.
QString QtFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i];
        const qsizetype paren = name.indexOf(QLatin1Char('('));
        if (paren >= 0)
            name.truncate(paren);
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << name.trimmed() + QStringLiteral(" (") + patterns + QStringLiteral(")");
    }
    return filters.join(QStringLiteral(";;"));
}

bool IsAddress(const QString& target) {
    return target.contains(QStringLiteral("://")) || target.startsWith(QStringLiteral("mailto:"));
}

QUrl UrlOf(const QString& target) {
    return IsAddress(target) ? QUrl(target) : QUrl::fromLocalFile(target);
}

// Whether the desktop has a program set for the target's type; true when it cannot tell (no
// xdg-mime), so that the open itself decides.
bool HasProgramFor(const QUrl& url) {
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (tool.isEmpty())
        return true;
    const QString type = url.isLocalFile()
                             ? QMimeDatabase().mimeTypeForFile(url.toLocalFile()).name()
                             : QStringLiteral("x-scheme-handler/") + url.scheme();
    QProcess query;
    query.start(tool, {QStringLiteral("query"), QStringLiteral("default"), type});
    if (!query.waitForFinished(5000))
        return true;
    return !query.readAllStandardOutput().trimmed().isEmpty();
}

} // namespace

Dialogs::Dialogs() = default;

Dialogs::~Dialogs() = default;

ExistingTaskChoice Dialogs::AskExistingTask(const QString&, bool) {
    return ExistingTaskChoice::StartAnew;
}

ExistingTaskChoice DesktopDialogs::AskExistingTask(const QString& question, bool canResume) {
    QMessageBox box(QMessageBox::Question, ApplicationTitle(), question, QMessageBox::NoButton,
                    Owner());
    QPushButton* resume =
        canResume ? box.addButton(QStringLiteral("&Resume"), QMessageBox::AcceptRole) : nullptr;
    QPushButton* anew = box.addButton(QStringLiteral("Start &anew"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(resume ? resume : cancel);
    box.exec();
    if (resume && box.clickedButton() == resume)
        return ExistingTaskChoice::Resume;
    return box.clickedButton() == anew ? ExistingTaskChoice::StartAnew : ExistingTaskChoice::Cancel;
}

bool Dialogs::ConfirmLongTask(const QString&) {
    return true;
}

bool DesktopDialogs::ConfirmLongTask(const QString& warning) {
    QMessageBox box(QMessageBox::Warning, ApplicationTitle(), warning, QMessageBox::NoButton,
                    Owner());
    QPushButton* start = box.addButton(QStringLiteral("&Start anyway"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(cancel);
    box.exec();
    return box.clickedButton() == start;
}

bool Dialogs::ConfirmReplace(const QString&) {
    return true;
}

bool DesktopDialogs::ConfirmReplace(const QString& question) {
    return QMessageBox::question(Owner(), ApplicationTitle(), question,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

QString Dialogs::SaveFile(const QString& title, const QString& filter,
                          const QString& initialPath) {
    const QFileInfo initial(initialPath);
    const QString start =
        initial.absoluteDir().exists() ? initial.absoluteFilePath() : QDir::homePath();
    return QFileDialog::getSaveFileName(Owner(), title, start, QtFilter(filter));
}

void Dialogs::Message(const QString& text) {
    QMessageBox::information(Owner(), ApplicationTitle(), text);
}

void Dialogs::Error(const QString& text) {
    QMessageBox::critical(Owner(), ApplicationTitle(), text);
}

QString Dialogs::BrowseFolder(const QString& caption) {
    return QFileDialog::getExistingDirectory(Owner(), caption, QString(),
                                             QFileDialog::ShowDirsOnly);
}

QString Dialogs::OpenFile(const QString& title, const QString& filter,
                          const QString& initialFolder) {
    // A folder that is not there would be typed into the name field: the home folder instead.
    const QString start = QFileInfo(initialFolder).isDir() ? initialFolder : QDir::homePath();
    return QFileDialog::getOpenFileName(Owner(), title, start, QtFilter(filter));
}

void Dialogs::ShellOpen(const QString& target) {
    if (DesktopOpen(target))
        return;
    const QFileInfo file(target);
    if (!IsAddress(target) &&
        file.suffix().compare(QStringLiteral("chm"), Qt::CaseInsensitive) == 0) {
        const QString manual = file.absolutePath() + QStringLiteral("/index.html");
        if (QFileInfo::exists(manual)) {
            if (!m_help)
                m_help = std::make_unique<THelpWindow>();
            m_help->ShowManual(manual);
            return;
        }
    }
    if (!IsAddress(target) && !file.exists())
        Error(QStringLiteral("Cannot open %1: the file does not exist.").arg(target));
    else
        Error(QStringLiteral("Cannot open %1: no program is set to open it.").arg(target));
}

void Dialogs::StartProgram(const QString& path) {
    StartProgramWith(path, QStringList());
}

void Dialogs::StartProgramWith(const QString& path, const QStringList& arguments) {
    if (!QProcess::startDetached(path, arguments))
        Error(
            QStringLiteral("Cannot start %1: the program is missing or cannot be run.").arg(path));
}

bool Dialogs::DesktopOpen(const QString& target) {
    const QUrl url = UrlOf(target);
    if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile()))
        return false;
    return HasProgramFor(url) && QDesktopServices::openUrl(url);
}
