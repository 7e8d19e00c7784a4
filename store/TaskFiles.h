// Every file of a task is named from its project file: one rule for the window, quarrow-batch,
// the companions and the re-download, so no two of them can disagree on a neighbour's name.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quarrow {

// A project file's name without its ".zav": the base of the task's other files' names.
std::string ProjectBaseName(const std::string& projectName);

// The files of the task whose project file is folder + name ("maps/" and "bj.zav").
struct TaskFiles {
    std::string Project;    // maps/bj.zav
    std::string List;       // maps/bj_list.txt
    std::string Log;        // maps/bj_log.txt
    std::string Failed;     // maps/bj_failed.ftl
    std::string TileFolder; // maps/bj/
    std::string Area;       // maps/bj_area.geojson, a shape's task's
    std::string Records;    // maps/bj_tiles.db
    std::string Lock;       // maps/bj.lock
};

TaskFiles TaskFilesOf(const std::string& folder, const std::string& projectName);
// The same from the project file's path.
TaskFiles TaskFilesOf(const std::string& projectFile);

// The tail of another task's file that the name's base ends in ("_list.txt" for "t_list.txt"),
// or empty: the tile folder of such a task would take that task's file's name.
std::string_view TaskFileTailOf(const std::string& projectName);

// The place the system reaches by the path: absolute, links followed as far as it exists, "."
// and ".." resolved; so that two spellings of one file compare equal.
std::filesystem::path ReachedPath(const std::string& path);

// The project file beside a failed list ("maps/bj.zav" for "maps/bj_failed.ftl"); empty when the
// name is no failed list's.
std::string ProjectOfFailedList(const std::string& listPath);

} // namespace quarrow
