// The failed-tile list: one "tile path|tile URL" line per tile given up, CR LF after each.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarrow {

struct FailureEntry {
    std::string Path;
    std::string Url;
};

// The pane line of a failed tile.
std::string FailureEntryLine(std::string_view path, std::string_view url);

// Splits at the first "|"; a line without one is an empty path and the whole line as URL.
FailureEntry SplitFailureEntry(std::string_view line);

// Whole-file reading and writing; the line rules are those of TextFile.h.
std::vector<std::string> ReadFailedList(const std::string& path);
void WriteFailedList(const std::string& path, const std::vector<std::string>& lines);

} // namespace quarrow
