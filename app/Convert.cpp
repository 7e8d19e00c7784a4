// The window only reads its fields and shows what the converter's rules give.
#include "Convert.h"

#include <optional>
#include <string>

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include "ConvertRules.h"
#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "widgets/WindowFont.h"

namespace {

// Room for a few digits and a sign in each part, a full result below.
constexpr int PartWidthInDigits = 8;

} // namespace

TfrmConvert::TfrmConvert(Dialogs& dialogs, QWidget* parent) : QDialog(parent), m_dialogs(dialogs) {
    setObjectName(QStringLiteral("frmConvert"));
    setWindowTitle(QStringLiteral("Convert \"Degrees,Minutes,Seconds\" to \"Degrees\""));
    // A fixed dialog border, kept above the other windows.
    setWindowFlags(FixedDialogFlags | Qt::WindowStaysOnTopHint);
    setModal(false);
    setFont(WindowFont(QStringLiteral("MS Sans Serif"), 8));
    BuildControls();
}

void TfrmConvert::BuildControls() {
    const auto label = [this](const char* name, const char* caption) {
        auto* control = new QLabel(QString::fromLatin1(caption), this);
        control->setObjectName(QString::fromLatin1(name));
        return control;
    };
    const int partWidth =
        fontMetrics().horizontalAdvance(QString(PartWidthInDigits, QLatin1Char('0')));
    const auto edit = [this, partWidth](const char* name) {
        auto* control = new QLineEdit(this);
        control->setObjectName(QString::fromLatin1(name));
        control->setFixedWidth(partWidth);
        return control;
    };

    Label1 = label("Label1", "Degrees, Minutes, Seconds:");
    Edit1 = edit("Edit1");
    Edit2 = edit("Edit2");
    Edit3 = edit("Edit3");
    Button1 = new QPushButton(QStringLiteral("convert"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setAutoDefault(true);
    Button1->setDefault(true);
    Label2 = label("Label2", "Degrees:");
    Edit4 = new QLineEdit(this);
    Edit4->setObjectName(QStringLiteral("Edit4"));
    Edit4->setReadOnly(true);
    Label1->setBuddy(Edit1);
    Label2->setBuddy(Edit4);

    auto* grid = new QGridLayout(this);
    grid->addWidget(Label1, 0, 0, 1, 3);
    grid->addWidget(Edit1, 1, 0);
    grid->addWidget(Edit2, 1, 1);
    grid->addWidget(Edit3, 1, 2);
    grid->addWidget(Button1, 1, 3);
    grid->setRowMinimumHeight(2, grid->verticalSpacing());
    grid->addWidget(Label2, 3, 0, 1, 3);
    grid->addWidget(Edit4, 4, 0, 1, 3);
    // The window keeps the size its controls need and cannot be resized.
    grid->setSizeConstraint(QLayout::SetFixedSize);

    connect(Button1, &QPushButton::clicked, this, &TfrmConvert::Button1Click);
}

void TfrmConvert::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Centred on the desktop when first shown; later showings keep where the user put it.
    if (m_placed)
        return;
    m_placed = true;
    CenterOnDesktop(*this);
}

void TfrmConvert::Button1Click() {
    RunHandler(m_dialogs, [this] {
        const std::optional<std::string> result = quarrow::ConvertedDegrees(
            Edit1->text().toStdString(), Edit2->text().toStdString(), Edit3->text().toStdString());
        if (!result) {
            m_dialogs.Message(QStringLiteral("Input Error."));
            return;
        }
        Edit4->setText(QString::fromStdString(*result));
    });
}
