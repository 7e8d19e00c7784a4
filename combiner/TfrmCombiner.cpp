// The window reads the task through the engine for its summary and leaves the work to the core.
#include "TfrmCombiner.h"

#include <exception>
#include <filesystem>
#include <memory>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

#include "CombineTask.h"
#include "TileImage.h"
#include "engine/Locations.h"
#include "store/TaskFiles.h"
#include "engine/Unitclasstask.h"
#include "widgets/Dialogs.h"
#include "widgets/HandlerEdge.h"
#include "widgets/QtText.h"

namespace {

QString Number(long long value) {
    return QLocale::c().toString(value);
}

} // namespace

TfrmCombiner::TfrmCombiner(Dialogs& dialogs, const QString& executableFolder, QWidget* parent)
    : QWidget(parent), m_dialogs(dialogs), m_executableFolder(executableFolder) {
    BuildControls();
}

TfrmCombiner::~TfrmCombiner() {
    m_worker.request_stop();
    if (m_worker.joinable())
        m_worker.join();
}

void TfrmCombiner::BuildControls() {
    setObjectName(QStringLiteral("frmCombiner"));
    setWindowTitle(QStringLiteral("Map Combiner"));
    auto* grid = new QGridLayout(this);
    grid->setColumnStretch(1, 1);
    grid->setHorizontalSpacing(8);

    m_task = new QLineEdit(this);
    m_task->setObjectName(QStringLiteral("EditTask"));
    m_task->setReadOnly(true);
    m_task->setPlaceholderText(QStringLiteral("Open a task's project file (.zav)"));
    m_open = new QPushButton(QStringLiteral("&Open..."), this);
    m_open->setObjectName(QStringLiteral("ButtonOpen"));
    m_add = new QPushButton(QStringLiteral("&Add..."), this);
    m_add->setObjectName(QStringLiteral("ButtonAddTask"));
    m_add->setToolTip(QStringLiteral("Another task of the same source and map type, for one "
                                     "file that keeps tiles (MBTiles, OsmAnd, Locus, PMTiles) "
                                     "or one tile tree with every zoom level"));
    grid->addWidget(new QLabel(QStringLiteral("Task:"), this), 0, 0);
    grid->addWidget(m_task, 0, 1);
    auto* taskButtons = new QHBoxLayout;
    taskButtons->addWidget(m_open);
    taskButtons->addWidget(m_add);
    grid->addLayout(taskButtons, 0, 2);

    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("LabelTask"));
    grid->addWidget(m_summary, 1, 1, 1, 2);

    m_output = new QLineEdit(this);
    m_output->setObjectName(QStringLiteral("EditOutput"));
    m_browse = new QPushButton(QStringLiteral("&Save as..."), this);
    m_browse->setObjectName(QStringLiteral("ButtonBrowseOutput"));
    grid->addWidget(new QLabel(QStringLiteral("Output:"), this), 2, 0);
    grid->addWidget(m_output, 2, 1);
    grid->addWidget(m_browse, 2, 2);
    m_format = new QComboBox(this);
    m_format->setObjectName(QStringLiteral("ComboFormat"));
    for (const quarrow::combiner::FormatRow& row : quarrow::combiner::OutputFormats())
        m_format->addItem(QString::fromLatin1(row.Label), static_cast<int>(row.Format));
    m_format->setToolTip(QStringLiteral("A picture is of one task; the other formats take "
                                        "several tasks with all their zoom levels."));
    grid->addWidget(new QLabel(QStringLiteral("Format:"), this), 3, 0);
    grid->addWidget(m_format, 3, 1, 1, 2);

    auto* look = new QHBoxLayout;
    m_fit = new QCheckBox(QStringLiteral("&Fit to the device"), this);
    m_fit->setObjectName(QStringLiteral("CheckFit"));
    m_fit->setToolTip(QStringLiteral("A Garmin map of more pieces than the device takes is "
                                     "written at half the scale (a quarter, ...) that fits"));
    m_quality = new QSpinBox(this);
    m_quality->setObjectName(QStringLiteral("SpinQuality"));
    m_quality->setRange(1, 100);
    m_quality->setValue(quarrow::combiner::DefaultJpegQuality);
    auto* qualityLabel = new QLabel(QStringLiteral("JPEG &quality:"), this);
    qualityLabel->setBuddy(m_quality);
    look->addWidget(m_fit);
    look->addSpacing(16);
    look->addWidget(qualityLabel);
    look->addWidget(m_quality);
    look->addStretch(1);
    grid->addLayout(look, 4, 1, 1, 2);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("ProgressBar1"));
    m_progress->setRange(0, 1000);
    m_progress->setValue(0);
    m_progress->setFormat(QStringLiteral("%p%"));
    grid->addWidget(m_progress, 5, 0, 1, 3);
    m_status = new QLabel(QStringLiteral("Ready."), this);
    m_status->setObjectName(QStringLiteral("LabelStatus"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(m_status, 6, 0, 1, 3);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_combine = new QPushButton(QStringLiteral("&Combine"), this);
    m_combine->setObjectName(QStringLiteral("ButtonCombine"));
    m_combine->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("ButtonCancel"));
    buttons->addWidget(m_combine);
    buttons->addWidget(m_cancel);
    grid->addLayout(buttons, 7, 0, 1, 3);
    grid->setRowStretch(8, 1);

    connect(m_format, &QComboBox::activated, this, &TfrmCombiner::FormatChosen);
    connect(m_format, &QComboBox::currentIndexChanged, this, &TfrmCombiner::ShowFormatOptions);
    connect(m_output, &QLineEdit::textEdited, this, &TfrmCombiner::OutputTyped);
    connect(m_open, &QPushButton::clicked, this, &TfrmCombiner::ButtonOpenClick);
    connect(m_browse, &QPushButton::clicked, this, &TfrmCombiner::ButtonBrowseOutputClick);
    connect(m_add, &QPushButton::clicked, this, &TfrmCombiner::ButtonAddTaskClick);
    connect(m_combine, &QPushButton::clicked, this, &TfrmCombiner::ButtonCombineClick);
    connect(m_cancel, &QPushButton::clicked, this, &TfrmCombiner::ButtonCancelClick);
    SetRunning(false);
    ShowFormatOptions();
    resize(560, sizeHint().height());
}

void TfrmCombiner::ShowFormatOptions() {
    using quarrow::combiner::OutputFormat;
    const auto format = static_cast<OutputFormat>(m_format->currentData().toInt());
    m_fit->setEnabled(format == OutputFormat::Kmz);
    m_quality->setEnabled(format == OutputFormat::Kmz || format == OutputFormat::GeoTiff);
}

void TfrmCombiner::FormatChosen() {
    const auto format =
        static_cast<quarrow::combiner::OutputFormat>(m_format->currentData().toInt());
    const QString extension = QString::fromLatin1(quarrow::combiner::RowOf(format).Extension);
    // The name offered for the task stays the one offered, in the format now chosen.
    if (!m_offered.isEmpty() && m_output->text() == m_offered) {
        OfferOutput(format);
        return;
    }
    QString output = m_output->text().trimmed();
    while (output.endsWith(QLatin1Char('/')))
        output.chop(1);
    const QFileInfo file(output);
    if (output.isEmpty())
        return;
    // The name without the extension it has, then the format's own.
    const QString stem =
        file.suffix().isEmpty() ? output : output.left(output.size() - file.suffix().size() - 1);
    m_output->setText(extension == QLatin1String("/") ? stem + QLatin1Char('/') : stem + extension);
}

void TfrmCombiner::OutputTyped() {
    const auto named = quarrow::combiner::FormatOfOutput(m_output->text().trimmed().toStdString());
    if (!named)
        return;
    const auto shown =
        static_cast<quarrow::combiner::OutputFormat>(m_format->currentData().toInt());
    // Two formats share an extension: the one shown stays when it is one of them.
    if (std::string_view(quarrow::combiner::RowOf(shown).Extension) ==
        quarrow::combiner::RowOf(*named).Extension)
        return;
    m_format->setCurrentIndex(m_format->findData(static_cast<int>(*named)));
}

void TfrmCombiner::SetRunning(bool running) {
    m_open->setEnabled(!running);
    m_output->setReadOnly(running);
    m_combine->setEnabled(!running && !m_projectFile.isEmpty());
    m_cancel->setEnabled(running);
}

void TfrmCombiner::OpenTask(const QString& projectFile) {
    RunHandler(m_dialogs, [&] {
        const auto params = std::make_shared<TaskParams>(
            quarrow::ReadTaskParams(QFileInfo(projectFile).absoluteFilePath().toStdString()));
        const DownloadTask task(params, DownloadTask::ReadOnly{});
        m_projectFile = QFileInfo(projectFile).absoluteFilePath();
        m_moreTasks.clear();
        // Shown as the user gave it; the work uses the full path.
        m_task->setText(projectFile);
        const long long columns = static_cast<long long>(task.MaxX) - task.MinX + 1;
        const long long rows = static_cast<long long>(task.MaxY) - task.MinY + 1;
        const int side = task.TileSide();
        m_summary->setText(QStringLiteral("Zoom %1: %2 x %3 tiles (%4), %5 x %6 pixels")
                               .arg(params->Zoom)
                               .arg(Number(columns), Number(rows), Number(task.TileCount),
                                    Number(columns * side), Number(rows * side)));
        OfferOutput(static_cast<quarrow::combiner::OutputFormat>(m_format->currentData().toInt()));
        m_progress->setValue(0);
        m_status->setText(QStringLiteral("Ready."));
        SetRunning(false);
    });
}

void TfrmCombiner::OfferOutput(quarrow::combiner::OutputFormat format) {
    // Beside the project file as the user named it.
    const QFileInfo project(m_task->text());
    m_offered = project.path() + QLatin1Char('/') +
                Q(quarrow::combiner::DefaultOutputName(
                    quarrow::ProjectBaseName(project.fileName().toStdString()), format));
    m_output->setText(m_offered);
}

void TfrmCombiner::ButtonBrowseOutputClick() {
    RunHandler(m_dialogs, [this] {
        const auto format =
            static_cast<quarrow::combiner::OutputFormat>(m_format->currentData().toInt());
        const quarrow::combiner::FormatRow& row = quarrow::combiner::RowOf(format);
        const QString extension = QString::fromLatin1(row.Extension);
        // A tile tree is a folder: typed, not saved as a file.
        const QString filter =
            extension == QLatin1String("/")
                ? QStringLiteral("All files(*)|*")
                : QString::fromLatin1(row.Label) + QStringLiteral("|*") + extension;
        const QString chosen =
            m_dialogs.SaveFile(QStringLiteral("Save the output as"), filter, m_output->text());
        if (chosen.isEmpty())
            return;
        m_output->setText(chosen);
        OutputTyped();
    });
}

void TfrmCombiner::ButtonOpenClick() {
    RunHandler(m_dialogs, [&] {
        // The last task's folder, else the save folder of the settings: where the tasks are.
        const QString initial = !m_projectFile.isEmpty()
                                    ? QFileInfo(m_projectFile).absolutePath()
                                    : QString::fromStdString(quarrow::DefaultSaveFolder(
                                          m_executableFolder.toStdString()));
        const QString file = m_dialogs.OpenFile(QStringLiteral("Open a task"),
                                                QStringLiteral("Projects(*.zav)|*.zav"), initial);
        if (!file.isEmpty())
            OpenTask(file);
    });
}

void TfrmCombiner::AddTask(const QString& projectFile) {
    RunHandler(m_dialogs, [&] {
        if (m_projectFile.isEmpty()) {
            OpenTask(projectFile);
            return;
        }
        const QString path = QFileInfo(projectFile).absoluteFilePath();
        const auto params =
            std::make_shared<TaskParams>(quarrow::ReadTaskParams(path.toStdString()));
        if (path == m_projectFile || m_moreTasks.contains(path))
            return;
        m_moreTasks << path;
        m_task->setText(m_task->text() + QStringLiteral("; ") + projectFile);
        m_summary->setText(
            m_summary->text() +
            QStringLiteral(" + zoom %1 (%2 tasks)").arg(params->Zoom).arg(m_moreTasks.size() + 1));
        // Several tasks make one file that keeps tiles, or a tree: MBTiles unless one is chosen.
        const auto chosen =
            static_cast<quarrow::combiner::OutputFormat>(m_format->currentData().toInt());
        if (quarrow::combiner::RowOf(chosen).Image) {
            m_format->setCurrentIndex(
                m_format->findData(static_cast<int>(quarrow::combiner::OutputFormat::MBTiles)));
            FormatChosen();
        }
    });
}

void TfrmCombiner::ButtonAddTaskClick() {
    RunHandler(m_dialogs, [&] {
        const QString initial = !m_projectFile.isEmpty()
                                    ? QFileInfo(m_projectFile).absolutePath()
                                    : QString::fromStdString(quarrow::DefaultSaveFolder(
                                          m_executableFolder.toStdString()));
        const QString file = m_dialogs.OpenFile(QStringLiteral("Add a task"),
                                                QStringLiteral("Projects(*.zav)|*.zav"), initial);
        if (!file.isEmpty())
            AddTask(file);
    });
}

void TfrmCombiner::ButtonCombineClick() {
    RunHandler(m_dialogs, [&] {
        if (m_projectFile.isEmpty() || Running())
            return;
        QString output = m_output->text().trimmed();
        // A bare name goes beside the task.
        if (!output.isEmpty() && !output.contains(QLatin1Char('/')))
            output = QFileInfo(m_projectFile).absolutePath() + QLatin1Char('/') + output;
        // A file of the user's is replaced only with their word.
        if (!output.endsWith(QLatin1Char('/')) && QFileInfo(output).isFile() &&
            !m_dialogs.ConfirmReplace(
                QStringLiteral("%1 exists. Replace it?").arg(QDir::toNativeSeparators(output))))
            return;
        if (m_worker.joinable())
            m_worker.join();
        m_finished = false;
        SetRunning(true);
        m_progress->setValue(0);
        m_status->setText(QStringLiteral("Combining..."));
        std::vector<std::string> projects{m_projectFile.toStdString()};
        for (const QString& more : m_moreTasks)
            projects.push_back(more.toStdString());
        quarrow::combiner::CombineOptions options;
        options.Format =
            static_cast<quarrow::combiner::OutputFormat>(m_format->currentData().toInt());
        options.Fit = m_fit->isChecked();
        options.Quality = m_quality->value();
        m_worker = std::jthread([this, projects = std::move(projects), options,
                                 target = output.toStdString()](std::stop_token stop) {
            int shown = -1;
            const auto progress = [&](long long done, long long total) {
                // One signal per step of the bar, however many tiles.
                const int step = total > 0 ? static_cast<int>(done * 1000 / total) : 1000;
                if (step != shown || done == total) {
                    shown = step;
                    m_mailbox.Post([this, done, total] { ShowProgress(done, total); });
                }
            };
            const auto finish = [this](bool ok, bool cancelled, QString text) {
                m_mailbox.Post([this, ok, cancelled, text = std::move(text)] {
                    ShowFinished(ok, cancelled, text);
                });
            };
            try {
                const auto result =
                    quarrow::combiner::Combine(projects, target, options, progress, stop);
                if (result.Cancelled) {
                    finish(true, true, QStringLiteral("Cancelled: nothing was written."));
                    return;
                }
                // Each halving of a fitted Garmin map, above the closing line.
                QString notes;
                for (const std::string& note : result.Notes)
                    notes += Q(note) + QLatin1Char('\n');
                QString written;
                for (const std::string& file : result.Files)
                    written += (written.isEmpty() ? QString() : QStringLiteral(", ")) +
                               QFileInfo(Q(file)).fileName();
                finish(true, false,
                       notes + QStringLiteral("Done: %1 tiles, %2 (left %3)%4. Wrote %5.")
                                   .arg(Number(result.Tiles),
                                        Q(quarrow::combiner::MissingText(result)),
                                        quarrow::combiner::RowOf(*options.Format).Archive
                                            ? QStringLiteral("out")
                                            : QStringLiteral("white"),
                                        Q(quarrow::combiner::ScaleText(result, options)), written));
            } catch (const std::exception& error) {
                finish(false, false, Q(error.what()));
            }
        });
    });
}

void TfrmCombiner::ButtonCancelClick() {
    m_worker.request_stop();
}

void TfrmCombiner::ShowProgress(long long done, long long total) {
    if (m_finished)
        return;
    m_progress->setValue(total > 0 ? static_cast<int>(done * 1000 / total) : 1000);
    m_status->setText(QStringLiteral("Combining: %1 of %2 tiles").arg(Number(done), Number(total)));
}

void TfrmCombiner::ShowFinished(bool ok, bool cancelled, const QString& text) {
    m_finished = true;
    SetRunning(false);
    if (ok && !cancelled)
        m_progress->setValue(1000);
    else
        m_progress->setValue(0);
    m_status->setText(ok ? text : QStringLiteral("Failed."));
    if (!ok)
        m_dialogs.Error(text);
    emit Done();
}
