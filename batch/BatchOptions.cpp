#include "BatchOptions.h"

#include <map>

#include "base/NumberText.h"
#include "base/TextRules.h"
#include "engine/Unitclasstask.h"

namespace quarrow {

namespace {

[[noreturn]] void Fail(const std::string& option, const std::string& why) {
    throw BatchUsageError(option + ": " + why);
}

// The edges as a command line names them, before the window's own checks see them.
void CheckAreaEdges(const std::vector<std::string>& parts) {
    const char* const names[] = {"west", "south", "east", "north"};
    double edges[4] = {};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<double> edge = ParseCoordinate(parts[i]);
        if (!edge)
            Fail("--area", "the " + std::string(names[i]) + " edge \"" + parts[i] +
                               "\" is not a number");
        const int limit = i % 2 == 0 ? 180 : 85;
        if (!(*edge >= -limit && *edge <= limit))
            Fail("--area", "the " + std::string(names[i]) + " edge " + parts[i] +
                               " is not within -" + std::to_string(limit) + " to " +
                               std::to_string(limit));
        edges[i] = *edge;
    }
    if (edges[0] > edges[2])
        Fail("--area", "the west edge " + parts[0] + " is east of the east edge " + parts[2]);
    if (edges[1] > edges[3])
        Fail("--area", "the south edge " + parts[1] + " is north of the north edge " + parts[3]);
}

int Zoom(const std::string& text, const std::string& whole) {
    const std::optional<int> zoom = ParseInteger(text);
    if (!zoom || *zoom < MinZoomLevel || *zoom > MaxZoomLevel)
        Fail("--zoom",
             "\"" + whole + "\" is not a zoom level from 1 to 18 or a range such as 13-15");
    return *zoom;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

} // namespace

BatchOptions ParseBatchOptions(const std::vector<std::string>& arguments) {
    BatchOptions options;
    std::map<std::string, std::string> given; // option -> value, each at most once
    const std::map<std::string, bool> known = {
        {"--area", true},     {"--area-file", true},
        {"--corridor", true}, {"--closed-tracks-as-polygons", false},
        {"--zoom", true},     {"--type", true},
        {"--source", true},   {"--name", true},
        {"--folder", true},   {"--workers", true},
        {"--dry-run", false}, {"--verbose", false},
        {"--replace", false},
        {"--resume", true},   {"--retry-failed", true},
        {"--retry-blanks", true},
        {"--update", true},   {"--older-than", true},
        {"--force", false},   {"--help", false},
        {"--version", false},
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> value;
        if (name == "-h")
            name = "--help";
        if (const std::size_t equals = name.find('=');
            name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const auto option = known.find(name);
        if (option == known.end())
            throw BatchUsageError(name.rfind("-", 0) == 0 ? name + ": no such option"
                                                          : "\"" + name + "\": not an option");
        if (given.count(name))
            Fail(name, "given twice");
        if (option->second && !value) {
            if (i + 1 >= arguments.size())
                Fail(name, "needs a value");
            value = arguments[++i];
        } else if (!option->second && value) {
            Fail(name, "takes no value");
        }
        given[name] = value.value_or("");
    }

    if (given.count("--help")) {
        options.What = BatchOptions::Mode::Help;
        return options;
    }
    if (given.count("--version")) {
        options.What = BatchOptions::Mode::Version;
        return options;
    }
    options.Verbose = given.count("--verbose") > 0;
    if (given.count("--update")) {
        for (const auto& [name, value] : given)
            if (name != "--update" && name != "--verbose" && name != "--older-than" &&
                name != "--force")
                Fail(name, "cannot go with --update");
        options.What = BatchOptions::Mode::Update;
        options.ProjectFile = given["--update"];
        if (options.ProjectFile.empty())
            Fail("--update", "needs a project file");
        if (given.count("--older-than")) {
            const std::optional<int> days = ParseDecimal(given["--older-than"]);
            if (!days || *days < 0 || *days > MaxOlderThanDays)
                Fail("--older-than", "\"" + given["--older-than"] + "\" is not a number of days");
            options.OlderThanDays = *days;
        }
        options.Force = given.count("--force") > 0;
        return options;
    }
    for (const char* name : {"--older-than", "--force"})
        if (given.count(name))
            Fail(name, "goes with --update");
    for (const char* mode : {"--resume", "--retry-failed", "--retry-blanks"}) {
        if (!given.count(mode))
            continue;
        for (const auto& [name, value] : given)
            if (name != mode && name != "--verbose")
                Fail(name, std::string("cannot go with ") + mode);
        const std::string_view which = mode;
        options.What = which == "--resume"         ? BatchOptions::Mode::Resume
                       : which == "--retry-failed" ? BatchOptions::Mode::RetryFailed
                                                   : BatchOptions::Mode::RetryBlanks;
        options.ProjectFile = given[mode];
        if (options.ProjectFile.empty())
            Fail(mode, "needs a project file");
        return options;
    }

    if (given.count("--area") == given.count("--area-file"))
        throw BatchUsageError(given.count("--area") ? "--area and --area-file: give only one"
                                                    : "--area or --area-file is needed");
    if (given.count("--area")) {
        std::vector<std::string> parts = Split(given["--area"], ',');
        if (parts.size() != 4)
            Fail("--area", "\"" + given["--area"] + "\" is not four numbers W,S,E,N");
        CheckAreaEdges(parts);
        options.Area = std::move(parts);
    } else {
        options.AreaFile = given["--area-file"];
    }
    if (given.count("--corridor")) {
        if (!given.count("--area-file"))
            Fail("--corridor", "goes with --area-file");
        const std::optional<double> km = ParseCoordinate(given["--corridor"]);
        if (!km || !(*km > 0 && *km <= 100))
            Fail("--corridor", "\"" + given["--corridor"] + "\" is not a width from 0 to 100 km");
        options.CorridorKm = km;
    }
    options.ClosedTracksAsPolygons = given.count("--closed-tracks-as-polygons") > 0;

    if (!given.count("--zoom"))
        throw BatchUsageError("--zoom is needed");
    const std::string zoom = given["--zoom"];
    if (const std::size_t dash = zoom.find('-'); dash != std::string::npos && dash > 0) {
        options.FirstZoom = Zoom(zoom.substr(0, dash), zoom);
        options.LastZoom = Zoom(zoom.substr(dash + 1), zoom);
        if (options.FirstZoom > options.LastZoom)
            Fail("--zoom", "\"" + zoom + "\" runs backwards");
    } else {
        options.FirstZoom = options.LastZoom = Zoom(zoom, zoom);
        options.ZoomText = zoom;
    }

    if (given.count("--type")) {
        const std::string type = given["--type"];
        if (type == "map")
            options.MapsType = 17;
        else if (type == "satellite")
            options.MapsType = 18;
        else if (type == "terrain")
            options.MapsType = 19;
        else
            Fail("--type", "\"" + type + "\" is not map, satellite or terrain");
    }
    options.SourceName = given.count("--source") ? given["--source"] : "";
    for (const char* needed : {"--name", "--folder"})
        if (!given.count(needed))
            throw BatchUsageError(std::string(needed) + " is needed");
    options.TaskName = given["--name"];
    options.Folder = given["--folder"];
    if (given.count("--workers")) {
        const std::optional<int> workers = ParseInteger(given["--workers"]);
        if (!workers || *workers < 1 || *workers > 8)
            Fail("--workers", "\"" + given["--workers"] + "\" is not a number from 1 to 8");
        options.Workers = workers;
    }
    options.DryRun = given.count("--dry-run") > 0;
    options.Replace = given.count("--replace") > 0;
    return options;
}

std::string BatchUsage(const std::string& settingsFile) {
    return "Usage:\n"
           "  quarrow-batch --area W,S,E,N | --area-file FILE [--corridor KM]\n"
           "                --zoom Z | --zoom Z1-Z2  [--type map|satellite|terrain]\n"
           "                [--source NAME] --name TASK --folder DIR [--workers N] [--dry-run]\n"
           "                [--replace]\n"
           "  quarrow-batch --resume TASK.zav\n"
           "  quarrow-batch --retry-failed TASK.zav\n"
           "  quarrow-batch --retry-blanks TASK.zav\n"
           "  quarrow-batch --update TASK.zav [--older-than DAYS] [--force]\n"
           "\n"
           "Downloads the map tiles of an area as Quarrow's window does, into the same task\n"
           "files, so a task started here continues there and the other way round.\n"
           "\n"
           "  --area W,S,E,N     the rectangle: west, south, east, north in degrees\n"
           "  --area-file FILE   a GPX, KML or GeoJSON file: only the tiles along its tracks\n"
           "                     and lines, or inside its polygons\n"
           "  --corridor KM      the width on each side of tracks and lines (default 2)\n"
           "  --closed-tracks-as-polygons\n"
           "                     a GPX track that ends where it began encloses an area\n"
           "  --zoom Z, Z1-Z2    a zoom level from 1 to 18, or a range: one task per level,\n"
           "                     named TASK_z13.zav, TASK_z14.zav, ...\n"
           "  --type T           map (default), satellite or terrain\n"
           "  --source NAME      a tile source of the sources file (default: the built-in)\n"
           "  --name TASK        the task's name (its project file is TASK.zav)\n"
           "  --folder DIR       the folder of the task's files and tiles\n"
           "  --workers N        at most N workers (1 to 8) for a new task of a custom source;\n"
           "                     a resumed task keeps the count it began with\n"
           "  --dry-run          print each zoom level's tiles, size and time; write nothing\n"
           "  --replace          start anew a task of the name whose entries differ (its files\n"
           "                     are replaced); without it such a task is refused\n"
           "  --resume TASK.zav  continue a task where it stopped\n"
           "  --retry-failed TASK.zav\n"
           "                     fetch the tiles of the task's failed list again\n"
           "  --retry-blanks TASK.zav\n"
           "                     ask again for every tile of the task that is the blank image;\n"
           "                     one the service still does not have stays blank\n"
           "  --update TASK.zav  bring a task's tiles up to date: each is asked for with the\n"
           "                     validators it was saved with; an unchanged one costs no\n"
           "                     download; a stopped update goes on with the same command\n"
           "  --older-than DAYS  only the tiles checked more than DAYS days ago\n"
           "  --force            also the tiles that their service said are still fresh\n"
           "  --verbose          echo the log lines on standard output\n"
           "  --help, --version\n"
           "\n"
           "Exit status: 0 every tile saved (or the blank image in its place), or an update\n"
           "whole; 3 some tiles failed (see TASK_failed.ftl); 2 bad arguments or a task that is\n"
           "refused; 130 or 143 stopped by SIGINT or SIGTERM (the task can be resumed); 1\n"
           "anything else.\n"
           "\n"
           "Settings: " +
           settingsFile + "\n";
}

} // namespace quarrow
