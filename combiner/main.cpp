// stavik: the window, started empty (an Open dialog) or with a project file; or, given a project
// file and an output, the same work without a window, its progress printed. The options are in
// UsageText below.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <QPixmap>
#include <QTimer>

#include "CombineTask.h"
#include "TfrmCombiner.h"
#include "engine/Locations.h"
#include "base/TextRules.h"
#include "engine/Version.h"
#include "widgets/Dialogs.h"

namespace {

const char* const UsageHead =
    "Usage: stavik [TASK.zav]\n"
    "       stavik [--format NAME] [--max-pieces N] [--fit] [--quality Q] TASK.zav\n"
    "              [TASK2.zav ...] OUTPUT\n"
    "       stavik --xyz TASK.zav [TASK2.zav ...] FOLDER\n"
    "       stavik --screenshot PICTURE.png TASK.zav\n"
    "       stavik --help | --version\n"
    "\n"
    "Combines the tiles of a Quarrow task into one image or one map file. With a task and an\n"
    "output it works without a window and prints its progress; otherwise it opens its window\n"
    "(with the task). The output's extension names its format, or --format does:\n";

const char* const UsageTail =
    "  A picture (BMP, PNG, GeoTIFF, OziExplorer, Garmin) is of one task; the other formats\n"
    "  take several tasks (of one source and map type) with all their zoom levels.\n"
    "  --format NAME             the output's format, whatever its name ends in\n"
    "  --max-pieces N            the pieces a Garmin device takes (100; some take 500)\n"
    "  --fit                     a Garmin map of more pieces is written at half the scale (a\n"
    "                            quarter, ...) that fits, instead of being refused\n"
    "  --quality Q               the JPEG quality (1 to 100) of a Garmin map's pieces and of a\n"
    "                            GeoTIFF of JPEG tiles (85)\n"
    "  --xyz                     the same as --format xyz\n"
    "  --screenshot PICTURE.png  combine the task to its default output in the window, save a\n"
    "                            picture of the window, then quit (no display needed)\n"
    "  --help                    show this text\n"
    "  --version                 show the version\n"
    "Exit status: 0 written; 1 a task that cannot be read or an output that cannot be\n"
    "written; 2 a mistake in the arguments (an output of no known extension included);\n"
    "128+N stopped by signal N (SIGINT: 130), nothing written.\n";

// The usage, with one line a format from the table of formats.
std::string UsageText() {
    std::string text = UsageHead;
    for (const quarrow::combiner::FormatRow& row : quarrow::combiner::OutputFormats()) {
        char line[160];
        std::snprintf(line, sizeof line, "    %-9s %-10s %s\n", row.Name, row.Extension, row.Label);
        text += line;
    }
    return text + UsageTail;
}

volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnSignal(int signal) {
    g_signal = signal;
}

int Wrong(const std::string& why) {
    std::fprintf(stderr, "stavik: %s\n%s", why.c_str(), UsageText().c_str());
    return 2;
}

// Without a window: one line per percent reached, the files written at the end. Ctrl-C or a
// SIGTERM cancels as the window's Cancel does: the temporary files go, an old output stays.
int CombineWithoutWindow(const std::vector<std::string>& tasks, const std::string& output,
                         const quarrow::combiner::CombineOptions& options) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::stop_source cancel;
    try {
        int shown = -1;
        const auto progress = [&shown, &cancel](long long done, long long total) {
            // Looked at after every tile, on this thread: the handler itself only records.
            if (g_signal != 0)
                cancel.request_stop();
            const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
            if (percent != shown) {
                shown = percent;
                std::printf("%3d%%  %lld of %lld tiles\n", percent, done, total);
                std::fflush(stdout);
            }
        };
        const auto result =
            quarrow::combiner::Combine(tasks, output, options, progress, cancel.get_token());
        if (result.Cancelled) {
            std::fprintf(stderr, "stavik: cancelled: nothing was written.\n");
            return 128 + (g_signal != 0 ? static_cast<int>(g_signal) : SIGINT);
        }
        const std::string missing = quarrow::combiner::MissingText(result);
        for (const std::string& note : result.Notes)
            std::printf("%s\n", note.c_str());
        if (result.Width > 0)
            std::printf("%lld tiles, %s, %lld x %lld pixels%s\n", result.Tiles, missing.c_str(),
                        result.Width, result.Height,
                        quarrow::combiner::ScaleText(result, options).c_str());
        else
            std::printf("%lld tiles, %s\n", result.Tiles, missing.c_str());
        for (const std::string& file : result.Files)
            std::printf("wrote %s\n", file.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "stavik: %s\n", error.what());
        return 1;
    }
}

QString ExecutableFolder() {
    QString folder = QCoreApplication::applicationDirPath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words;
    std::string picture;
    quarrow::combiner::CombineOptions options;
    // Read before any window exists, so that help, version and mistakes need no display.
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help") {
            std::fputs(UsageText().c_str(), stdout);
            std::printf("\nSettings: %s\n",
                        quarrow::SettingsFilePath(quarrow::RunningProgramFolder()).c_str());
            return 0;
        }
        if (argument == "--version") {
            std::printf("stavik (Quarrow) %s\n", std::string(quarrow::QuarrowVersion).c_str());
            return 0;
        }
        if (argument == "--xyz") {
            options.Format = quarrow::combiner::OutputFormat::Xyz;
        } else if (argument == "--format") {
            if (i + 1 >= argc)
                return Wrong("--format needs a format's name");
            options.Format = quarrow::combiner::FormatNamed(argv[++i]);
            if (!options.Format)
                return Wrong(std::string("no format \"") + argv[i] + "\"");
        } else if (argument == "--max-pieces") {
            const std::optional<int> pieces =
                i + 1 < argc ? quarrow::ParseDecimal(argv[i + 1]) : std::nullopt;
            if (!pieces || *pieces < 1 || *pieces > quarrow::combiner::MaxKmzPieces)
                return Wrong("--max-pieces needs a number of pieces from 1 to " +
                             std::to_string(quarrow::combiner::MaxKmzPieces));
            options.MaxPieces = *pieces;
            ++i;
        } else if (argument == "--fit") {
            options.Fit = true;
        } else if (argument == "--quality") {
            const std::optional<int> quality =
                i + 1 < argc ? quarrow::ParseDecimal(argv[i + 1]) : std::nullopt;
            if (!quality || *quality < 1 || *quality > 100)
                return Wrong("--quality needs a JPEG quality from 1 to 100");
            options.Quality = *quality;
            ++i;
        } else if (argument == "--screenshot") {
            if (i + 1 >= argc)
                return Wrong("--screenshot needs a picture file");
            picture = argv[++i];
        } else if (argument.starts_with("-")) {
            return Wrong("unknown option " + argument);
        } else {
            words.push_back(argument);
        }
    }
    if (!picture.empty() && words.size() != 1)
        return Wrong("--screenshot needs one task");
    if (options.Format && (words.size() < 2 || !picture.empty()))
        return Wrong("--format and --xyz need the tasks and an output");
    if (words.size() > 2) {
        const auto format =
            options.Format ? options.Format : quarrow::combiner::FormatOfOutput(words.back());
        if (!format || quarrow::combiner::RowOf(*format).Image)
            return Wrong("several tasks go into a file that keeps tiles, or a tile tree");
    }
    if (words.size() >= 2 && !options.Format && !quarrow::combiner::FormatOfOutput(words.back()))
        return Wrong("the output " + words.back() + " must end in " +
                     quarrow::combiner::ExtensionsText() + ": its extension names the format");
    if (words.size() >= 2)
        return CombineWithoutWindow(std::vector<std::string>(words.begin(), words.end() - 1),
                                    words.back(), options);
    if (!picture.empty())
        setenv("QT_QPA_PLATFORM", "offscreen", 0);

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Map Combiner"));
    // The person at the desktop is asked (replace an output?); a picture's run asks no one.
    DesktopDialogs desktop;
    Dialogs unattended;
    Dialogs& dialogs = picture.empty() ? desktop : unattended;
    TfrmCombiner window(dialogs, ExecutableFolder());
    window.show();

    if (!picture.empty()) {
        // The window after combining the task to its default output, as a picture.
        int status = 1;
        QObject::connect(&window, &TfrmCombiner::Done, &window, [&] {
            status = window.grab().save(QString::fromLocal8Bit(picture.c_str())) ? 0 : 1;
            QApplication::quit();
        });
        window.OpenTask(QString::fromLocal8Bit(words[0].c_str()));
        window.ButtonCombineClick();
        if (!window.Running())
            return 1;
        QApplication::exec();
        return status;
    }
    if (words.size() == 1)
        window.OpenTask(QString::fromLocal8Bit(words[0].c_str()));
    else
        // Once the window is up, so the dialog has it as its owner.
        QTimer::singleShot(0, &window, &TfrmCombiner::ButtonOpenClick);
    return QApplication::exec();
}
