#include "Unit2.h"

#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "widgets/LinkLabel.h"
#include "Unit1.h"
#include "widgets/WindowFont.h"

namespace {

// Wide enough for the title line and the mail link side by side with their captions.
constexpr int PanelWidth = 260;

} // namespace

TfrmAbout::TfrmAbout(Dialogs& dialogs, TForm1& mainWindow, QWidget* parent)
    : QDialog(parent), m_dialogs(dialogs), m_mainWindow(mainWindow) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About"));
    setWindowFlags(FixedDialogFlags);
    setFont(WindowFont(QStringLiteral("MS Sans Serif"), 8));
    BuildControls();
}

void TfrmAbout::BuildControls() {
    const auto label = [](QWidget* parent, const char* name, const char* caption) {
        auto* control = new QLabel(QString::fromLatin1(caption), parent);
        control->setObjectName(QString::fromLatin1(name));
        return control;
    };
    const auto link = [](QWidget* parent, const char* name) {
        auto* control = new TLinkLabel(parent);
        control->setObjectName(QString::fromLatin1(name));
        return control;
    };

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setMinimumWidth(PanelWidth);

    Label3 = label(Panel1, "Label3", "");
    QFont title;
    title.setUnderline(true);
    Label3->setFont(title);
    Label3->setWordWrap(true);
    Label8 = label(Panel1, "Label8", "Developer: quarrow.example");
    Label5 = label(Panel1, "Label5", "Homepage:");
    Label4 = link(Panel1, "Label4");
    Label6 = label(Panel1, "Label6", "Email:");
    Label7 = link(Panel1, "Label7");

    auto* panel = new QGridLayout(Panel1);
    panel->addWidget(Label3, 0, 0, 1, 2);
    panel->addWidget(Label8, 1, 0, 1, 2);
    panel->setRowMinimumHeight(2, panel->verticalSpacing());
    panel->addWidget(Label5, 3, 0);
    panel->addWidget(Label4, 3, 1);
    panel->addWidget(Label6, 4, 0);
    panel->addWidget(Label7, 4, 1);
    panel->setColumnStretch(1, 1);

    bLater = new QPushButton(QStringLiteral("&OK"), this);
    bLater->setObjectName(QStringLiteral("bLater"));
    bLater->setAutoDefault(true);
    bLater->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bLater);
    buttons->addStretch();
    auto* window = new QVBoxLayout(this);
    window->addWidget(Panel1);
    window->addLayout(buttons);
    // The window keeps the size its controls need and cannot be resized.
    window->setSizeConstraint(QLayout::SetFixedSize);

    connect(Label4, &TLinkLabel::Clicked, this, &TfrmAbout::Label4Click);
    connect(Label7, &TLinkLabel::Clicked, this, &TfrmAbout::Label7Click);
    connect(bLater, &QPushButton::clicked, this, &TfrmAbout::bLaterClick);
}

void TfrmAbout::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A spontaneous show is the desktop restoring the window, not a new showing.
    if (event->spontaneous())
        return;
    FormShow();
    if (m_placed)
        return;
    m_placed = true;
    CenterOnDesktop(*this);
}

void TfrmAbout::FormShow() {
    RunHandler(m_dialogs, [this] {
        Label4->setText(m_mainWindow.HomePageUrl);
        Label7->setText(m_mainWindow.MailLink);
        Label3->setText(m_mainWindow.windowTitle());
        // Where the settings are, without a line of its own in the fixed layout.
        setToolTip(QStringLiteral("Settings: ") + m_mainWindow.ConfigFile);
    });
}

void TfrmAbout::Label4Click() {
    RunHandler(m_dialogs, [this] { m_dialogs.ShellOpen(m_mainWindow.HomePageUrl); });
}

void TfrmAbout::Label7Click() {
    RunHandler(m_dialogs, [this] { m_dialogs.ShellOpen(m_mainWindow.MailLink); });
}

void TfrmAbout::bLaterClick() {
    RunHandler(m_dialogs, [this] { accept(); });
}
