// The settings file's texts are stored as UTF-8, exactly as typed; the path is formed afresh from
// the executable's folder at every read and write.
#include "Unitoptions.h"

#include <utility>

#include <QCheckBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "widgets/WindowFont.h"
#include "engine/Locations.h"
#include "engine/ProfileFile.h"

namespace {

constexpr int EditWidth = 220;

QString Shown(const std::string& text) {
    return QString::fromStdString(text);
}

std::string Stored(const QLineEdit* edit) {
    return edit->text().toStdString();
}

} // namespace

TfrmOptions::TfrmOptions(Dialogs& dialogs, const QString& executableFolder, QWidget* parent)
    : QDialog(parent), m_dialogs(dialogs), m_executableFolder(executableFolder) {
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    setWindowFlags(FixedDialogFlags);
    setFont(WindowFont(QStringLiteral("MS Sans Serif"), 8));
    BuildControls();
}

void TfrmOptions::BuildControls() {
    const auto label = [this](const char* name, const char* caption) {
        auto* control = new QLabel(QString::fromLatin1(caption), this);
        control->setObjectName(QString::fromLatin1(name));
        return control;
    };
    const auto edit = [this](const char* name) {
        auto* control = new QLineEdit(this);
        control->setObjectName(QString::fromLatin1(name));
        control->setMinimumWidth(EditWidth);
        return control;
    };
    const auto button = [this](const char* name, const char* caption) {
        auto* control = new QPushButton(QString::fromLatin1(caption), this);
        control->setObjectName(QString::fromLatin1(name));
        control->setAutoDefault(false);
        return control;
    };

    Label1 = label("Label1", "Default path to save :");
    Edit12 = edit("Edit12");
    Button3 = button("Button3", "...");
    // Only as wide as its caption, not as wide as a dialog button.
    Button3->setFixedWidth(Button3->fontMetrics().horizontalAdvance(Button3->text()) + 16);
    CheckBoxUseProxy = new QCheckBox(QStringLiteral("Use proxy server"), this);
    CheckBoxUseProxy->setObjectName(QStringLiteral("CheckBoxUseProxy"));
    Label3 = label("Label3", "Proxy Server Name (IP)");
    EditProxyServer = edit("EditProxyServer");
    Label4 = label("Label4", "Proxy Port");
    EditProxyPort = edit("EditProxyPort");
    Label5 = label("Label5", "Proxy Username");
    EditProxyUsername = edit("EditProxyUsername");
    Label6 = label("Label6", "Proxy Password");
    EditProxyPassword = edit("EditProxyPassword");
    Button1 = button("Button1", "OK");
    Button1->setAutoDefault(true);
    Button1->setDefault(true);
    Button2 = button("Button2", "Cancel");

    auto* grid = new QGridLayout(this);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(Edit12, 0, 1);
    grid->addWidget(Button3, 0, 2);
    grid->addWidget(CheckBoxUseProxy, 1, 0, 1, 3);
    grid->setRowMinimumHeight(1, CheckBoxUseProxy->sizeHint().height() * 2);
    const std::pair<QLabel*, QLineEdit*> proxyRows[] = {{Label3, EditProxyServer},
                                                        {Label4, EditProxyPort},
                                                        {Label5, EditProxyUsername},
                                                        {Label6, EditProxyPassword}};
    int row = 2;
    for (const auto& [caption, field] : proxyRows) {
        caption->setBuddy(field);
        grid->addWidget(caption, row, 0);
        grid->addWidget(field, row, 1, 1, 2);
        ++row;
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    grid->setRowMinimumHeight(row, grid->verticalSpacing() * 2);
    grid->addLayout(buttons, row + 1, 0, 1, 3);
    // The dialog keeps the size its controls need and cannot be resized.
    grid->setSizeConstraint(QLayout::SetFixedSize);

    connect(Button3, &QPushButton::clicked, this, &TfrmOptions::Button3Click);
    connect(Button1, &QPushButton::clicked, this, &TfrmOptions::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TfrmOptions::Button2Click);
}

std::string TfrmOptions::ConfigFile() const {
    return quarrow::SettingsFilePath(m_executableFolder.toStdString());
}

void TfrmOptions::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A spontaneous show is the desktop restoring the window, not a new showing.
    if (!event->spontaneous())
        FormShow();
}

void TfrmOptions::FormShow() {
    RunHandler(m_dialogs, [this] {
        const ProfileFile settings(ConfigFile());
        Edit12->setText(
            Shown(settings.ReadString("IniParas", "DefaultPath", quarrow::OptionsDefaultFolder())));
        CheckBoxUseProxy->setChecked(settings.ReadInteger("Proxy", "UseProxy", 0) == 1);
        EditProxyServer->setText(Shown(settings.ReadString("Proxy", "ProxyServer", "")));
        EditProxyPort->setText(Shown(settings.ReadString("Proxy", "ProxyPort", "")));
        EditProxyUsername->setText(Shown(settings.ReadString("Proxy", "ProxyUsername", "")));
        EditProxyPassword->setText(Shown(settings.ReadString("Proxy", "ProxyPassword", "")));
    });
}

void TfrmOptions::Button3Click() {
    RunHandler(m_dialogs, [this] {
        const QString folder = m_dialogs.BrowseFolder(QStringLiteral("Select path"));
        if (!folder.isEmpty())
            Edit12->setText(folder);
    });
}

void TfrmOptions::Button1Click() {
    RunHandler(m_dialogs, [this] {
        // A refused write ends here: the keys before it stay written and the dialog stays open.
        ProfileFile settings(ConfigFile());
        settings.WriteString("IniParas", "DefaultPath", Stored(Edit12));
        settings.WriteInteger("Proxy", "UseProxy", CheckBoxUseProxy->isChecked() ? 1 : 0);
        settings.WriteString("Proxy", "ProxyServer", Stored(EditProxyServer));
        settings.WriteString("Proxy", "ProxyPort", Stored(EditProxyPort));
        settings.WriteString("Proxy", "ProxyUsername", Stored(EditProxyUsername));
        settings.WriteString("Proxy", "ProxyPassword", Stored(EditProxyPassword));
        accept();
    });
}

void TfrmOptions::Button2Click() {
    RunHandler(m_dialogs, [this] { reject(); });
}
