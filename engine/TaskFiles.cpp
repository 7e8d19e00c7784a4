#include "TaskFiles.h"

#include <string_view>

namespace quarrow {

namespace {
constexpr std::string_view ProjectExtension = ".zav";
constexpr std::string_view FailedTail = "_failed.ftl";
} // namespace

std::string ProjectBaseName(const std::string& projectName) {
    if (projectName.ends_with(ProjectExtension))
        return projectName.substr(0, projectName.size() - ProjectExtension.size());
    return projectName;
}

TaskFiles TaskFilesOf(const std::string& folder, const std::string& projectName) {
    const std::string base = folder + ProjectBaseName(projectName);
    return {folder + projectName,   base + "_list.txt",     base + "_log.txt",
            base + std::string(FailedTail), base + "/",     base + "_area.geojson",
            base + "_tiles.db",     base + ".lock"};
}

TaskFiles TaskFilesOf(const std::string& projectFile) {
    const std::size_t slash = projectFile.rfind('/');
    const std::size_t split = slash == std::string::npos ? 0 : slash + 1;
    return TaskFilesOf(projectFile.substr(0, split), projectFile.substr(split));
}

std::string ProjectOfFailedList(const std::string& listPath) {
    if (!listPath.ends_with(FailedTail))
        return {};
    return listPath.substr(0, listPath.size() - FailedTail.size()) + std::string(ProjectExtension);
}

} // namespace quarrow
