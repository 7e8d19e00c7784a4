// Quarrow's own help window: the HTML manual with its links, Back, Forward and Home, for a desktop
// that has no program for the compiled manual.
#pragma once

#include <QDialog>
#include <QUrl>

class QTextBrowser;

class THelpWindow : public QDialog {
    Q_OBJECT
public:
    explicit THelpWindow(QWidget* parent = nullptr);

    // Shows the page and makes it the Home page.
    void ShowManual(const QString& indexFile);
    QTextBrowser* Browser() const { return m_browser; }

private:
    QTextBrowser* m_browser;
    QUrl m_home;
};
