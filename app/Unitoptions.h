// The Options dialog: the default save folder and the HTTP proxy, kept in the settings file
// ini/config.ini beside the executable.
#pragma once

#include <string>

#include <QDialog>
#include <QString>

class Dialogs;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;

class TfrmOptions : public QDialog {
    Q_OBJECT
public:
    // The dialogs are not owned; executableFolder ends in "/".
    TfrmOptions(Dialogs& dialogs, const QString& executableFolder, QWidget* parent = nullptr);

public slots:
    // Fills the fields from the settings file; runs at every showing.
    void FormShow();
    // Browse for the default save folder.
    void Button3Click();
    // OK: writes the settings and closes; a refused write keeps the dialog open.
    void Button1Click();
    // Cancel: closes without writing.
    void Button2Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    std::string ConfigFile() const;

    Dialogs& m_dialogs;
    QString m_executableFolder;

    QLabel* Label1 = nullptr;
    QLineEdit* Edit12 = nullptr;
    QPushButton* Button3 = nullptr;
    QCheckBox* CheckBoxUseProxy = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* EditProxyServer = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* EditProxyPort = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* EditProxyUsername = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* EditProxyPassword = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
};
