// File > Update task...: which task to bring up to date, and which of its tiles to ask for again.
#pragma once

#include <string>

#include <QDialog>

#include "engine/TaskUpdate.h"

class Dialogs;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

class TfrmUpdate : public QDialog {
    Q_OBJECT
public:
    TfrmUpdate(Dialogs& dialogs, QWidget* parent = nullptr);

    // Shows the project file offered first (the current task's, or none) and the folder that the
    // browse button opens.
    void Begin(const QString& projectFile, const QString& folder);
    std::string ProjectFile() const;
    quarrow::UpdateRules Rules() const;

public slots:
    void ButtonBrowseClick();
    void ButtonOkClick();

private:
    Dialogs& m_dialogs;
    QString m_folder;
    QLineEdit* EditProject = nullptr;
    QPushButton* ButtonBrowse = nullptr;
    QSpinBox* SpinOlderThan = nullptr;
    QCheckBox* CheckForce = nullptr;
    QPushButton* ButtonOk = nullptr;
    QPushButton* ButtonCancel = nullptr;
};
