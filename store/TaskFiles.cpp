#include "TaskFiles.h"

#include <string_view>

namespace quarrow {

namespace {
constexpr std::string_view ProjectExtension = ".zav";
constexpr std::string_view ListTail = "_list.txt", LogTail = "_log.txt",
                           FailedTail = "_failed.ftl", AreaTail = "_area.geojson",
                           RecordsTail = "_tiles.db", LockTail = ".lock";
constexpr std::string_view Tails[] = {ListTail,  LogTail,     FailedTail,
                                      AreaTail, RecordsTail, LockTail};
} // namespace

std::string ProjectBaseName(const std::string& projectName) {
    if (projectName.ends_with(ProjectExtension))
        return projectName.substr(0, projectName.size() - ProjectExtension.size());
    return projectName;
}

TaskFiles TaskFilesOf(const std::string& folder, const std::string& projectName) {
    const std::string base = folder + ProjectBaseName(projectName);
    const auto named = [&base](std::string_view tail) { return base + std::string(tail); };
    return {folder + projectName, named(ListTail), named(LogTail),     named(FailedTail),
            base + "/",           named(AreaTail), named(RecordsTail), named(LockTail)};
}

std::string_view TaskFileTailOf(const std::string& projectName) {
    const std::string base = ProjectBaseName(projectName);
    for (std::string_view tail : Tails)
        if (base.size() > tail.size() && base.ends_with(tail))
            return tail;
    return {};
}

TaskFiles TaskFilesOf(const std::string& projectFile) {
    const std::size_t slash = projectFile.rfind('/');
    const std::size_t split = slash == std::string::npos ? 0 : slash + 1;
    return TaskFilesOf(projectFile.substr(0, split), projectFile.substr(split));
}

std::filesystem::path ReachedPath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec).lexically_normal();
    const std::filesystem::path reached = std::filesystem::weakly_canonical(absolute, ec);
    return ec ? absolute : reached;
}

std::string ProjectOfFailedList(const std::string& listPath) {
    if (!listPath.ends_with(FailedTail))
        return {};
    return listPath.substr(0, listPath.size() - FailedTail.size()) + std::string(ProjectExtension);
}

} // namespace quarrow
