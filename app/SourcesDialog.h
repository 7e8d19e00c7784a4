// The tile sources window: the custom sources of the sources file, added, edited, removed,
// imported from the files users have, and tried out with one tile.
#pragma once

#include <future>
#include <string>
#include <vector>

#include <QDialog>

#include "download/ServiceRules.h"
#include "engine/TileSource.h"

class Dialogs;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTimer;

// One source's fields. OK checks them; a fault is told and the dialog stays open.
class TfrmSourceEdit : public QDialog {
    Q_OBJECT
public:
    // The dialogs are not owned; `others` are the names a new name may not repeat.
    TfrmSourceEdit(Dialogs& dialogs, std::vector<std::string> others, QWidget* parent = nullptr);

    void SetSource(const quarrow::TileSource& source);
    quarrow::TileSource Source() const;

public slots:
    // Accepts the fields when they make a usable source; otherwise says why.
    void ButtonOkClick();

private:
    Dialogs& m_dialogs;
    std::vector<std::string> m_others;
    QLineEdit* EditName;
    std::array<QLineEdit*, 3> m_templates;
    QLineEdit* EditSubdomains;
    QComboBox* ComboFormat;
    QComboBox* ComboTileSize;
    QSpinBox* SpinMinZoom;
    QSpinBox* SpinMaxZoom;
    QLineEdit* EditBounds;
    QSpinBox* SpinWorkers;
    QSpinBox* SpinTileDelay;
    QSpinBox* SpinMinAge;
    QLineEdit* EditUserAgent;
    QLineEdit* EditReferer;
    QPlainTextEdit* MemoHeaders;
    QLineEdit* EditAttribution;
};

class TfrmSources : public QDialog {
    Q_OBJECT
public:
    // executableFolder ends in "/"; the sources file and the settings are found from it.
    TfrmSources(Dialogs& dialogs, const QString& executableFolder, QWidget* parent = nullptr);
    ~TfrmSources() override;

    const std::vector<quarrow::TileSource>& Sources() const { return m_sources; }
    // True while a test fetch runs.
    bool Testing() const { return m_test.valid(); }

public slots:
    void ButtonAddClick();
    void ButtonEditClick();
    void ButtonRemoveClick();
    void ButtonImportClick();
    void ButtonTestClick();

signals:
    void SourcesChanged();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Load();
    void Save();
    void ShowList(int selected);
    int Selected() const;
    std::vector<std::string> NamesBut(int index) const;
    void ShowTestResult();

    Dialogs& m_dialogs;
    const std::string m_executableFolder;
    std::vector<quarrow::TileSource> m_sources;
    std::future<quarrow::TestFetch> m_test;
    QTimer* m_testPoll;

    QListWidget* ListSources;
    QPushButton* ButtonTest;
    QLabel* TestPicture;
    QLabel* TestResult;
};
