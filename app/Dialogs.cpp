// The desktop's own boxes, dialogs and shell behind Dialogs.
#include "Dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QStringList>
#include <QUrl>

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

} // namespace

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
    return QFileDialog::getOpenFileName(Owner(), title, initialFolder, QtFilter(filter));
}

void Dialogs::ShellOpen(const QString& target) {
    const bool isAddress =
        target.contains(QStringLiteral("://")) || target.startsWith(QStringLiteral("mailto:"));
    QDesktopServices::openUrl(isAddress ? QUrl(target) : QUrl::fromLocalFile(target));
}

void Dialogs::StartProgram(const QString& path) {
    QProcess::startDetached(path, QStringList());
}
