#include "UpdateDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "widgets/WindowFont.h"

TfrmUpdate::TfrmUpdate(Dialogs& dialogs, QWidget* parent) : QDialog(parent), m_dialogs(dialogs) {
    setObjectName(QStringLiteral("frmUpdate"));
    setWindowTitle(QStringLiteral("Update task"));
    setWindowFlags(FixedDialogFlags);
    setFont(WindowFont(QStringLiteral("MS Sans Serif"), 8));

    auto* caption = new QLabel(QStringLiteral("Project file:"), this);
    EditProject = new QLineEdit(this);
    EditProject->setObjectName(QStringLiteral("EditProject"));
    EditProject->setMinimumWidth(300);
    caption->setBuddy(EditProject);
    ButtonBrowse = new QPushButton(QStringLiteral("..."), this);
    ButtonBrowse->setObjectName(QStringLiteral("ButtonBrowse"));
    ButtonBrowse->setAutoDefault(false);
    ButtonBrowse->setFixedWidth(ButtonBrowse->fontMetrics().horizontalAdvance(QStringLiteral("...")) +
                                16);

    auto* olderCaption = new QLabel(QStringLiteral("Only tiles checked more than"), this);
    SpinOlderThan = new QSpinBox(this);
    SpinOlderThan->setObjectName(QStringLiteral("SpinOlderThan"));
    SpinOlderThan->setRange(0, quarrow::MaxOlderThanDays);
    SpinOlderThan->setSuffix(QStringLiteral(" days ago"));
    // 0 is no limit: every tile.
    SpinOlderThan->setSpecialValueText(QStringLiteral("0 days ago (every tile)"));
    olderCaption->setBuddy(SpinOlderThan);

    CheckForce = new QCheckBox(QStringLiteral("Ask for every tile, also those the service "
                                              "calls fresh"),
                               this);
    CheckForce->setObjectName(QStringLiteral("CheckForce"));

    auto* note = new QLabel(QStringLiteral("An unchanged tile costs no download. A stopped update "
                                           "goes on when it is started again."),
                            this);
    note->setWordWrap(true);

    ButtonOk = new QPushButton(QStringLiteral("Update"), this);
    ButtonOk->setObjectName(QStringLiteral("ButtonOk"));
    ButtonOk->setDefault(true);
    ButtonCancel = new QPushButton(QStringLiteral("Cancel"), this);
    ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
    ButtonCancel->setAutoDefault(false);

    auto* grid = new QGridLayout(this);
    grid->addWidget(caption, 0, 0);
    grid->addWidget(EditProject, 0, 1, 1, 2);
    grid->addWidget(ButtonBrowse, 0, 3);
    grid->addWidget(olderCaption, 1, 0);
    grid->addWidget(SpinOlderThan, 1, 1);
    grid->addWidget(CheckForce, 2, 0, 1, 4);
    grid->addWidget(note, 3, 0, 1, 4);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ButtonOk);
    buttons->addWidget(ButtonCancel);
    grid->setRowMinimumHeight(4, grid->verticalSpacing() * 2);
    grid->addLayout(buttons, 5, 0, 1, 4);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    connect(ButtonBrowse, &QPushButton::clicked, this, &TfrmUpdate::ButtonBrowseClick);
    connect(ButtonOk, &QPushButton::clicked, this, &TfrmUpdate::ButtonOkClick);
    connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmUpdate::Begin(const QString& projectFile, const QString& folder) {
    EditProject->setText(projectFile);
    m_folder = folder;
}

std::string TfrmUpdate::ProjectFile() const {
    return EditProject->text().trimmed().toStdString();
}

quarrow::UpdateRules TfrmUpdate::Rules() const {
    quarrow::UpdateRules rules;
    rules.OlderThanDays = SpinOlderThan->value();
    rules.Force = CheckForce->isChecked();
    return rules;
}

void TfrmUpdate::ButtonBrowseClick() {
    RunHandler(m_dialogs, [this] {
        const QString chosen =
            m_dialogs.OpenFile(QStringLiteral("Open project file:"),
                               QStringLiteral("Projects(*.zav)|*.zav"), m_folder);
        if (!chosen.isEmpty())
            EditProject->setText(chosen);
    });
}

void TfrmUpdate::ButtonOkClick() {
    RunHandler(m_dialogs, [this] {
        if (EditProject->text().trimmed().isEmpty()) {
            m_dialogs.Message(QStringLiteral("Choose the project file (.zav) of the task to update."));
            return;
        }
        accept();
    });
}
