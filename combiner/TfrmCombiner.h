// The combiner's window: a task, an output name, Combine and Cancel, and the progress of the
// work, which runs on a thread of its own and reports through the window's mailbox.
#pragma once

#include <stop_token>
#include <thread>

#include <QString>
#include <QStringList>
#include <QWidget>

#include "OutputFormats.h"
#include "widgets/UiMailbox.h"

class Dialogs;
class QCheckBox;
class QComboBox;
class QSpinBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class TfrmCombiner : public QWidget {
    Q_OBJECT
public:
    // executableFolder ends in "/"; the settings file is found there. Not owned: dialogs.
    TfrmCombiner(Dialogs& dialogs, const QString& executableFolder, QWidget* parent = nullptr);
    // Stops the work and waits for it: it touches nothing of the window.
    ~TfrmCombiner() override;

    // Shows the task of this project file and proposes the default output beside it.
    void OpenTask(const QString& projectFile);
    // Another task for the same output: several tasks make one file that keeps tiles, or a tree.
    void AddTask(const QString& projectFile);
    bool Running() const { return m_worker.joinable() && !m_finished; }

public slots:
    void ButtonOpenClick();
    void ButtonAddTaskClick();
    // A Save dialog for the output, in the chosen format.
    void ButtonBrowseOutputClick();
    // Asks before an existing output file is replaced.
    void ButtonCombineClick();
    void ButtonCancelClick();

signals:
    // After a run has ended and the window shows its outcome.
    void Done();

private:
    // Both on the UI thread, posted by the work's thread.
    void ShowProgress(long long done, long long total);
    // ok false: text is the error; cancelled: nothing was written.
    void ShowFinished(bool ok, bool cancelled, const QString& text);
    void BuildControls();
    void SetRunning(bool running);
    // The output's name takes the chosen format's extension; a name typed with a format's
    // extension chooses that format.
    void FormatChosen();
    void OutputTyped();
    // Fit and quality are offered for the formats they change.
    void ShowFormatOptions();
    // The task's own name in the format (DefaultOutputName), beside its project file.
    void OfferOutput(quarrow::combiner::OutputFormat format);

    Dialogs& m_dialogs;
    QString m_executableFolder;
    QString m_projectFile;
    QStringList m_moreTasks; // added to the first, for one MBTiles file or one tile tree
    QString m_offered;       // the output last offered, until the user types another
    QLineEdit* m_task = nullptr;
    QLabel* m_summary = nullptr;
    QLineEdit* m_output = nullptr;
    QComboBox* m_format = nullptr; // one item a row of the formats' table
    QCheckBox* m_fit = nullptr;     // a Garmin map at the scale that fits the device
    QSpinBox* m_quality = nullptr;  // JPEG quality of a Garmin map and a JPEG GeoTIFF
    QProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_open = nullptr;
    QPushButton* m_browse = nullptr;
    QPushButton* m_add = nullptr;
    QPushButton* m_combine = nullptr;
    QPushButton* m_cancel = nullptr;
    bool m_finished = true;
    quarrow::map::UiMailbox m_mailbox;
    std::jthread m_worker; // last: it posts to the mailbox until it is joined
};
