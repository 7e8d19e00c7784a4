// Every change is written to the sources file at once, checked as an import or a hand-edited file
// is; the test fetch runs on a thread of its own, looked at from a timer, so the window stays
// alive while a service takes its time.
#include "SourcesDialog.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "widgets/QtText.h"
#include "SourceImport.h"
#include "task/StartRules.h"
#include "widgets/WindowFont.h"
#include "download/Tls.h"
#include "engine/TileFormat.h"
#include "engine/Locations.h"
#include "engine/SourcesFile.h"
#include "base/TextRules.h"

using namespace quarrow;

namespace {

std::string Text(const QLineEdit* edit) {
    return std::string(TrimBlanks(edit->text().toStdString()));
}

QLineEdit* Edit(QWidget* owner, const char* name, const QString& placeholder = {}) {
    auto* edit = new QLineEdit(owner);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setPlaceholderText(placeholder);
    edit->setMinimumWidth(420);
    return edit;
}

QSpinBox* Spin(QWidget* owner, const char* name, int low, int high) {
    auto* spin = new QSpinBox(owner);
    spin->setObjectName(QString::fromLatin1(name));
    spin->setRange(low, high);
    return spin;
}

QPushButton* Button(QWidget* owner, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, owner);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

} // namespace

TfrmSourceEdit::TfrmSourceEdit(Dialogs& dialogs, std::vector<std::string> others, QWidget* parent)
    : QDialog(parent), m_dialogs(dialogs), m_others(std::move(others)) {
    setObjectName(QStringLiteral("frmSourceEdit"));
    setWindowTitle(QStringLiteral("Tile source"));
    auto* form = new QFormLayout;
    EditName = Edit(this, "EditName");
    form->addRow(QStringLiteral("Name:"), EditName);
    const char* const names[] = {"EditMapView", "EditSatellite", "EditTerrain"};
    const char* const captions[] = {"Map view URL:", "Satellite URL:", "Terrain URL:"};
    for (std::size_t i = 0; i < m_templates.size(); ++i) {
        m_templates[i] =
            Edit(this, names[i], QStringLiteral("https://{s}.tiles.example/{z}/{x}/{y}.png"));
        form->addRow(QString::fromLatin1(captions[i]), m_templates[i]);
    }
    EditSubdomains = Edit(this, "EditSubdomains", QStringLiteral("a,b,c"));
    form->addRow(QStringLiteral("Subdomains:"), EditSubdomains);
    ComboFormat = new QComboBox(this);
    ComboFormat->setObjectName(QStringLiteral("ComboFormat"));
    for (const quarrow::TileFormatRow& format : quarrow::TileFormats())
        ComboFormat->addItem(QString::fromUtf8(format.Extension.data(),
                                               static_cast<qsizetype>(format.Extension.size())));
    form->addRow(QStringLiteral("Tile format:"), ComboFormat);
    ComboTileSize = new QComboBox(this);
    ComboTileSize->setObjectName(QStringLiteral("ComboTileSize"));
    ComboTileSize->addItem(QStringLiteral("256 x 256 pixels"), 256);
    ComboTileSize->addItem(QStringLiteral("512 x 512 pixels (retina, @2x)"), 512);
    form->addRow(QStringLiteral("Tile size:"), ComboTileSize);
    auto* zooms = new QHBoxLayout;
    SpinMinZoom = Spin(this, "SpinMinZoom", 0, 22);
    SpinMaxZoom = Spin(this, "SpinMaxZoom", 0, 22);
    zooms->addWidget(SpinMinZoom);
    zooms->addWidget(new QLabel(QStringLiteral("to"), this));
    zooms->addWidget(SpinMaxZoom);
    zooms->addStretch(1);
    form->addRow(QStringLiteral("Zoom levels:"), zooms);
    EditBounds =
        Edit(this, "EditBounds", QStringLiteral("west,south,east,north (empty: the world)"));
    form->addRow(QStringLiteral("Bounds:"), EditBounds);
    auto* pace = new QHBoxLayout;
    SpinWorkers = Spin(this, "SpinWorkers", 1, 8);
    SpinTileDelay = Spin(this, "SpinTileDelay", 0, 600000);
    SpinTileDelay->setSuffix(QStringLiteral(" ms"));
    pace->addWidget(SpinWorkers);
    pace->addWidget(new QLabel(QStringLiteral("workers, each waiting"), this));
    pace->addWidget(SpinTileDelay);
    pace->addWidget(new QLabel(QStringLiteral("after a tile"), this));
    pace->addStretch(1);
    form->addRow(QStringLiteral("Pace:"), pace);
    auto* update = new QHBoxLayout;
    SpinMinAge = Spin(this, "SpinMinAge", 0, 3650);
    SpinMinAge->setSuffix(QStringLiteral(" days"));
    update->addWidget(SpinMinAge);
    update->addWidget(new QLabel(QStringLiteral("at least before an update asks for a tile again"),
                                 this));
    update->addStretch(1);
    form->addRow(QStringLiteral("Updates:"), update);
    EditUserAgent = Edit(this, "EditUserAgent", Q(DefaultUserAgent()));
    form->addRow(QStringLiteral("User-Agent:"), EditUserAgent);
    EditReferer = Edit(this, "EditReferer");
    form->addRow(QStringLiteral("Referer:"), EditReferer);
    MemoHeaders = new QPlainTextEdit(this);
    MemoHeaders->setObjectName(QStringLiteral("MemoHeaders"));
    MemoHeaders->setPlaceholderText(QStringLiteral("Name: value, one a line"));
    MemoHeaders->setFixedHeight(56);
    form->addRow(QStringLiteral("Headers:"), MemoHeaders);
    EditAttribution =
        Edit(this, "EditAttribution", QStringLiteral("the service's terms and credits"));
    form->addRow(QStringLiteral("Attribution:"), EditAttribution);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    QPushButton* ok = Button(this, "ButtonOk", QStringLiteral("OK"));
    ok->setDefault(true);
    QPushButton* cancel = Button(this, "ButtonCancel", QStringLiteral("Cancel"));
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &TfrmSourceEdit::ButtonOkClick);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    SetSource(TileSource{});
}

void TfrmSourceEdit::SetSource(const TileSource& source) {
    EditName->setText(Q(source.Name));
    for (std::size_t i = 0; i < m_templates.size(); ++i)
        m_templates[i]->setText(Q(source.Templates[i]));
    std::string subdomains;
    for (const std::string& part : source.Subdomains)
        subdomains += (subdomains.empty() ? "" : ",") + part;
    EditSubdomains->setText(Q(subdomains));
    ComboFormat->setCurrentText(Q(source.Format));
    ComboTileSize->setCurrentIndex(source.TileSize == 512 ? 1 : 0);
    SpinMinZoom->setValue(source.MinZoom);
    SpinMaxZoom->setValue(source.MaxZoom);
    EditBounds->setText(source.Bounds ? Q(BoundsText(*source.Bounds)) : QString());
    SpinWorkers->setValue(source.Workers);
    SpinTileDelay->setValue(source.TileDelayMs);
    SpinMinAge->setValue(source.MinAgeDays);
    EditUserAgent->setText(Q(source.UserAgent));
    EditReferer->setText(Q(source.Referer));
    QStringList headers;
    for (const auto& [name, value] : source.Headers)
        headers << Q(name + ": " + value);
    MemoHeaders->setPlainText(headers.join(QLatin1Char('\n')));
    EditAttribution->setText(Q(source.Attribution));
}

TileSource TfrmSourceEdit::Source() const {
    TileSource source;
    source.Name = Text(EditName);
    for (std::size_t i = 0; i < m_templates.size(); ++i)
        source.Templates[i] = Text(m_templates[i]);
    for (const QString& part : EditSubdomains->text().split(QLatin1Char(','), Qt::SkipEmptyParts))
        source.Subdomains.push_back(part.trimmed().toStdString());
    source.Format = ComboFormat->currentText().toStdString();
    source.TileSize = ComboTileSize->currentData().toInt();
    source.MinZoom = SpinMinZoom->value();
    source.MaxZoom = SpinMaxZoom->value();
    source.Workers = SpinWorkers->value();
    source.TileDelayMs = SpinTileDelay->value();
    source.MinAgeDays = SpinMinAge->value();
    source.UserAgent = Text(EditUserAgent);
    source.Referer = Text(EditReferer);
    for (const QString& line : MemoHeaders->toPlainText().split(QLatin1Char('\n'))) {
        if (line.trimmed().isEmpty())
            continue;
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        // A line without a colon is kept whole as a name, so the check names it.
        source.Headers.emplace_back(line.left(colon).trimmed().toStdString(),
                                    colon < 0 ? std::string()
                                              : line.mid(colon + 1).trimmed().toStdString());
    }
    source.Attribution = Text(EditAttribution);
    return source;
}

void TfrmSourceEdit::ButtonOkClick() {
    RunHandler(m_dialogs, [this] {
        TileSource source = Source();
        std::optional<std::string> fault;
        if (const std::string bounds = Text(EditBounds); !bounds.empty()) {
            source.Bounds = ParseBounds(bounds);
            if (!source.Bounds)
                fault = "The bounds must be four numbers: west,south,east,north.";
        }
        if (!fault)
            fault = CheckSource(source);
        for (const std::string& other : m_others)
            if (!fault && EqualsNoCase(other, source.Name))
                fault = "A source named \"" + source.Name + "\" exists already.";
        if (fault) {
            m_dialogs.Message(Q(*fault));
            return;
        }
        SetSource(source);
        accept();
    });
}

TfrmSources::TfrmSources(Dialogs& dialogs, const QString& executableFolder, QWidget* parent)
    : QDialog(parent), m_dialogs(dialogs), m_executableFolder(executableFolder.toStdString()),
      m_testPoll(new QTimer(this)), ListSources(new QListWidget(this)),
      ButtonTest(Button(this, "ButtonTest", QStringLiteral("Test"))), TestPicture(new QLabel(this)),
      TestResult(new QLabel(this)) {
    setObjectName(QStringLiteral("frmSources"));
    setWindowTitle(QStringLiteral("Tile sources"));
    ListSources->setObjectName(QStringLiteral("ListSources"));
    ListSources->setMinimumSize(300, 240);
    TestPicture->setObjectName(QStringLiteral("TestPicture"));
    TestPicture->setFixedSize(256, 256);
    TestPicture->setFrameShape(QFrame::StyledPanel);
    TestPicture->setAlignment(Qt::AlignCenter);
    TestResult->setObjectName(QStringLiteral("TestResult"));
    TestResult->setWordWrap(true);
    TestResult->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QVBoxLayout;
    QPushButton* add = Button(this, "ButtonAdd", QStringLiteral("Add..."));
    QPushButton* edit = Button(this, "ButtonEdit", QStringLiteral("Edit..."));
    QPushButton* remove = Button(this, "ButtonRemove", QStringLiteral("Remove"));
    QPushButton* import = Button(this, "ButtonImport", QStringLiteral("Import..."));
    QPushButton* close = Button(this, "ButtonClose", QStringLiteral("Close"));
    for (QPushButton* button : {add, edit, remove, import, ButtonTest})
        buttons->addWidget(button);
    buttons->addStretch(1);
    buttons->addWidget(close);
    auto* top = new QHBoxLayout;
    top->addWidget(ListSources, 1);
    top->addLayout(buttons);
    top->addWidget(TestPicture);
    auto* layout = new QVBoxLayout(this);
    auto* note = new QLabel(QStringLiteral("The built-in \"%1\" is always offered first. Use only "
                                           "services whose terms allow downloading their tiles.")
                                .arg(Q(std::string(BuiltInSourceName))),
                            this);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addLayout(top, 1);
    layout->addWidget(TestResult);

    connect(add, &QPushButton::clicked, this, &TfrmSources::ButtonAddClick);
    connect(edit, &QPushButton::clicked, this, &TfrmSources::ButtonEditClick);
    connect(ListSources, &QListWidget::itemDoubleClicked, this, &TfrmSources::ButtonEditClick);
    connect(remove, &QPushButton::clicked, this, &TfrmSources::ButtonRemoveClick);
    connect(import, &QPushButton::clicked, this, &TfrmSources::ButtonImportClick);
    connect(ButtonTest, &QPushButton::clicked, this, &TfrmSources::ButtonTestClick);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    m_testPoll->setInterval(50);
    connect(m_testPoll, &QTimer::timeout, this, &TfrmSources::ShowTestResult);
    Load();
}

TfrmSources::~TfrmSources() {
    // A test fetch in flight ends within the client's deadline; nothing is shown of it.
    if (m_test.valid())
        m_test.wait();
}

void TfrmSources::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        RunHandler(m_dialogs, [this] { Load(); });
}

void TfrmSources::Load() {
    std::vector<std::string> faults;
    m_sources = ReadSources(SourcesFilePath(m_executableFolder), &faults);
    ShowList(0);
    // The line below the list always says something: there is no empty strip.
    TestResult->setText(faults.empty()
                            ? QStringLiteral("Test fetches one tile of the chosen source.")
                            : QStringLiteral("Left out of the sources file: ") + Q(faults.front()));
}

void TfrmSources::Save() {
    WriteSources(SourcesFilePath(m_executableFolder), m_sources);
    emit SourcesChanged();
}

void TfrmSources::ShowList(int selected) {
    ListSources->clear();
    for (const TileSource& source : m_sources)
        ListSources->addItem(Q(source.Name));
    if (!m_sources.empty())
        ListSources->setCurrentRow(std::clamp(selected, 0, static_cast<int>(m_sources.size()) - 1));
}

int TfrmSources::Selected() const {
    return ListSources->currentRow();
}

std::vector<std::string> TfrmSources::NamesBut(int index) const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < m_sources.size(); ++i)
        if (static_cast<int>(i) != index)
            names.push_back(m_sources[i].Name);
    return names;
}

void TfrmSources::ButtonAddClick() {
    RunHandler(m_dialogs, [this] {
        TfrmSourceEdit editor(m_dialogs, NamesBut(-1), this);
        if (editor.exec() != QDialog::Accepted)
            return;
        m_sources.push_back(editor.Source());
        Save();
        ShowList(static_cast<int>(m_sources.size()) - 1);
    });
}

void TfrmSources::ButtonEditClick() {
    RunHandler(m_dialogs, [this] {
        const int index = Selected();
        if (index < 0)
            return;
        TfrmSourceEdit editor(m_dialogs, NamesBut(index), this);
        editor.SetSource(m_sources[static_cast<std::size_t>(index)]);
        if (editor.exec() != QDialog::Accepted)
            return;
        m_sources[static_cast<std::size_t>(index)] = editor.Source();
        Save();
        ShowList(index);
    });
}

void TfrmSources::ButtonRemoveClick() {
    RunHandler(m_dialogs, [this] {
        const int index = Selected();
        if (index < 0)
            return;
        m_sources.erase(m_sources.begin() + index);
        Save();
        ShowList(index);
    });
}

void TfrmSources::ButtonImportClick() {
    RunHandler(m_dialogs, [this] {
        const QString file = m_dialogs.OpenFile(
            QStringLiteral("Import tile sources"),
            QStringLiteral("Source files(*.xml;*.json)|*.xml;*.json|All files(*)|*"),
            Q(HomeFolder()));
        if (file.isEmpty())
            return;
        ImportedSources imported = ImportSources(file.toStdString());
        std::string told;
        for (TileSource& source : imported.Sources) {
            source.Name = UniqueSourceName(m_sources, source.Name);
            told += (told.empty() ? "" : ", ") + ("\"" + source.Name + "\"");
            m_sources.push_back(std::move(source));
        }
        Save();
        ShowList(static_cast<int>(m_sources.size()) - 1);
        std::string message = "Imported " + told + ".";
        for (const std::string& note : imported.Notes)
            message += "\n" + note;
        m_dialogs.Message(Q(message));
    });
}

void TfrmSources::ButtonTestClick() {
    RunHandler(m_dialogs, [this] {
        const int index = Selected();
        if (index < 0 || m_test.valid())
            return;
        const std::string caFile = ReadStartSettings(SettingsFilePath(m_executableFolder)).CaFile;
        auto tls = std::make_shared<TlsContext>(caFile);
        ButtonTest->setEnabled(false);
        TestResult->setText(QStringLiteral("Fetching one tile..."));
        TestPicture->clear();
        m_test =
            std::async(std::launch::async, [source = m_sources[static_cast<std::size_t>(index)],
                                            tls] { return FetchTestTile(source, 0, tls); });
        m_testPoll->start();
    });
}

void TfrmSources::ShowTestResult() {
    if (!m_test.valid() || m_test.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    m_testPoll->stop();
    const TestFetch fetched = m_test.get();
    ButtonTest->setEnabled(true);
    const QString tile =
        QStringLiteral("Tile %1/%2/%3: ").arg(fetched.Z).arg(fetched.X).arg(fetched.Y);
    if (!fetched.Error.empty()) {
        TestResult->setText(tile + Q(fetched.Error));
        return;
    }
    QPixmap picture;
    picture.loadFromData(reinterpret_cast<const uchar*>(fetched.Body.data()),
                         static_cast<int>(fetched.Body.size()));
    TestPicture->setPixmap(picture);
    TestResult->setText(tile + QStringLiteral("%1 bytes in %2 ms from %3")
                            .arg(fetched.Body.size())
                            .arg(fetched.Milliseconds)
                            .arg(Q(fetched.Url)));
}
