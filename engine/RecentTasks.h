// The tasks opened or started last, newest first, kept in a file of their own beside the settings
// (the settings file keeps its own keys only).
#pragma once

#include <string>
#include <vector>

namespace quarrow {

inline constexpr std::size_t MaxRecentTasks = 10;

// "recent.txt" in the settings folder of the programs in this folder.
std::string RecentTasksFilePath(const std::string& executableFolder);

// The project files the file names, newest first: at most MaxRecentTasks absolute paths, each
// once; a line that is no absolute path of text (a hand-edited or foreign file) is left out.
std::vector<std::string> ReadRecentTasks(const std::string& listFile);

// The list with the project file first (moved there when it was listed), the oldest past the
// limit dropped; written whole. Throws as a task file's write does.
void AddRecentTask(const std::string& listFile, const std::string& projectFile);

// The list without the project file.
void RemoveRecentTask(const std::string& listFile, const std::string& projectFile);

} // namespace quarrow
