// The run happens inside the button's click on the window's thread. Between entries the window
// processes its pending events once, without user input, so that lines appear as they come while
// nothing the user does can act on the window until the run is over.
#include "Unitftl.h"

#include <string>
#include <vector>

#include <QCoreApplication>
#include <QMetaObject>
#include <QScopeGuard>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QShowEvent>
#include <QVBoxLayout>

#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "widgets/LinePane.h"
#include "widgets/WorkOffUi.h"
#include "task/StartRules.h"
#include "widgets/WindowFont.h"
#include "download/Rerun.h"
#include "task/BlankRetry.h"
#include "download/httpclient.h"
#include "engine/Locations.h"

namespace {

constexpr int ClientWidth = 703;
constexpr int ClientHeight = 453;
constexpr int TopPanelHeight = 57;

} // namespace

TfrmFlt::TfrmFlt(Dialogs& dialogs, QWidget* parent) : QDialog(parent), m_dialogs(dialogs) {
    setObjectName(QStringLiteral("frmFlt"));
    setWindowTitle(QStringLiteral("Re-Download failed files"));
    setWindowFlags(FixedDialogFlags);
    setFont(WindowFont(QStringLiteral("MS Sans Serif"), 8));
    setFixedSize(ClientWidth, ClientHeight);
    BuildControls();
}

void TfrmFlt::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(TopPanelHeight);
    Button1 = new QPushButton(QStringLiteral("Open *.ftl file and download..."), Panel1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(16, 16, 201, 25);
    ButtonStop = new QPushButton(QStringLiteral("Stop"), Panel1);
    ButtonStop->setObjectName(QStringLiteral("ButtonStop"));
    ButtonStop->setGeometry(232, 16, 75, 25);
    ButtonStop->hide();
    layout->addWidget(Panel1);

    Panel2 = new QWidget(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    auto* fill = new QVBoxLayout(Panel2);
    fill->setContentsMargins(0, 0, 0, 0);
    Memo1 = new TLinePane(Panel2);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setFont(WindowFont(QStringLiteral("MS Sans Serif"), 10));
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A line's outcome ("->OK", the status) comes last, after a long path and URL: wrapped, it
    // is seen without scrolling.
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    fill->addWidget(Memo1);
    layout->addWidget(Panel2, 1);

    connect(Button1, &QPushButton::clicked, this, &TfrmFlt::Button1Click);
    connect(ButtonStop, &QPushButton::clicked, this, &TfrmFlt::ButtonStopClick);
}

void TfrmFlt::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A spontaneous show is the desktop restoring the window, not a new showing.
    if (event->spontaneous())
        return;
    Memo1->Clear();
    CenterOnDesktop(*this);
}

void TfrmFlt::Button1Click() {
    // The one processing of events after "Start..." may deliver a second click.
    if (m_running)
        return;
    const QScopedValueRollback<bool> running(m_running, true);
    RunHandler(m_dialogs, [this] { Run(); });
}

void TfrmFlt::Run() {
    // Where the tasks are: the save folder of the settings.
    const QString file = m_dialogs.OpenFile(
        QStringLiteral("Open ftl file:"), QStringLiteral("Projects(*.ftl)|*.ftl"),
        QString::fromStdString(quarrow::DefaultSaveFolder(quarrow::RunningProgramFolder())));
    if (file.isEmpty())
        return;
    Memo1->Clear();
    // A task of a custom source is fetched again with that source's rules.
    const std::string program = QCoreApplication::applicationDirPath().toStdString() + "/";
    quarrow::RetryFailedList(
        file.toStdString(), quarrow::ReadStartSettings(quarrow::SettingsFilePath(program)).CaFile,
        [this](std::string_view line) { Memo1->AppendLine(std::string(line)); },
        [] {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            return false;
        });
}

void TfrmFlt::FetchBlanks(const QString& projectFile) {
    if (m_running)
        return;
    const QScopedValueRollback<bool> running(m_running, true);
    if (!isVisible())
        open();
    Memo1->Clear();
    m_stop = false;
    ButtonStop->show();
    Button1->setEnabled(false);
    const auto restore = qScopeGuard([this] {
        ButtonStop->hide();
        Button1->setEnabled(true);
    });
    RunHandler(m_dialogs, [&] {
        const std::string program = QCoreApplication::applicationDirPath().toStdString() + "/";
        const quarrow::StartSettings settings =
            quarrow::ReadStartSettings(quarrow::SettingsFilePath(program));
        // Stop must be pressable: every event is taken while the run goes on.
        RunOffUi(
            [&] {
                quarrow::RetryBlankTiles(
                    settings, projectFile.toStdString(), program,
                    [this](std::string_view line) {
                        QMetaObject::invokeMethod(
                            this, [this, shown = std::string(line)] { Memo1->AppendLine(shown); },
                            Qt::QueuedConnection);
                    },
                    [this] { return m_stop.load(); });
            },
            QEventLoop::AllEvents);
        // The lines posted last.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
}

void TfrmFlt::ButtonStopClick() {
    m_stop = true;
}
