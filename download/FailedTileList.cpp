// The failed-tile list; the line rules of the whole file are those of TextFile.
#include "FailedTileList.h"

#include "store/TextFile.h"

namespace quarrow {

std::string FailureEntryLine(std::string_view path, std::string_view url) {
    std::string line;
    line.reserve(path.size() + 1 + url.size());
    line.append(path).append("|").append(url);
    return line;
}

FailureEntry SplitFailureEntry(std::string_view line) {
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos)
        return {std::string(), std::string(line)};
    return {std::string(line.substr(0, bar)), std::string(line.substr(bar + 1))};
}

std::vector<std::string> ReadFailedList(const std::string& path) {
    return LoadLines(path);
}

void WriteFailedList(const std::string& path, const std::vector<std::string>& lines) {
    SaveLines(path, lines);
}

} // namespace quarrow
