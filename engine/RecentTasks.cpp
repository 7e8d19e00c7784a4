#include "RecentTasks.h"

#include <algorithm>

#include "Locations.h"
#include "store/TextFile.h"
#include "base/TextRules.h"

namespace quarrow {

namespace {

// Ten paths of the longest a file system allows, with their line ends.
constexpr std::size_t MaxListBytes = MaxRecentTasks * 4098;

} // namespace

std::string RecentTasksFilePath(const std::string& executableFolder) {
    return SettingsFolder(executableFolder) + "recent.txt";
}

std::vector<std::string> ReadRecentTasks(const std::string& listFile) {
    std::string text;
    std::vector<std::string> tasks;
    if (!ReadWholeFile(listFile, text, MaxListBytes))
        return tasks;
    for (std::size_t at = 0; at < text.size() && tasks.size() < MaxRecentTasks;) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.ends_with('\r'))
            line.pop_back();
        if (line.starts_with('/') && !HasControl(line) && IsUtf8(line) &&
            std::find(tasks.begin(), tasks.end(), line) == tasks.end())
            tasks.push_back(std::move(line));
    }
    return tasks;
}

void AddRecentTask(const std::string& listFile, const std::string& projectFile) {
    std::vector<std::string> tasks = ReadRecentTasks(listFile);
    std::erase(tasks, projectFile);
    tasks.insert(tasks.begin(), projectFile);
    if (tasks.size() > MaxRecentTasks)
        tasks.resize(MaxRecentTasks);
    SaveLines(listFile, tasks);
}

void RemoveRecentTask(const std::string& listFile, const std::string& projectFile) {
    std::vector<std::string> tasks = ReadRecentTasks(listFile);
    if (std::erase(tasks, projectFile) > 0)
        SaveLines(listFile, tasks);
}

} // namespace quarrow
