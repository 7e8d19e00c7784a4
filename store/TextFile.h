// Text files as lines: every line ends in CR LF when written; CR LF, lone CR and lone LF end a
// line when read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow {

// Where one line lies in a text: its characters from Begin to TextEnd, its line end (if any)
// from TextEnd to End.
struct LineSpan {
    std::size_t Begin;
    std::size_t TextEnd;
    std::size_t End;
};

// The lines of a text; a line end at the end of the text adds no empty line.
std::vector<LineSpan> ScanLines(std::string_view text);

// The lines' texts, by the rule of ScanLines.
std::vector<std::string> SplitLines(std::string_view text);

// The most a file of a task is read: a log of millions of lines fits, /dev/zero does not.
inline constexpr std::size_t DefaultReadLimit = std::size_t{1} << 30;

// What OpenRegularFile found at a path that is there but is no regular file.
inline constexpr int NotRegularFile = -2;

// The file opened for reading without waiting on a FIFO: its descriptor, -1 when it cannot be
// opened, NotRegularFile (closed again) for a FIFO, a device or a folder. size, when given,
// receives the file's size.
int OpenRegularFile(const std::string& path, std::uint64_t* size = nullptr);

// The whole file as bytes into text; false when it cannot be opened or read, when it is no
// regular file (a FIFO, a device: never waited on) or when it holds more than the limit.
bool ReadWholeFile(const std::string& path, std::string& text,
                   std::size_t limit = DefaultReadLimit);

// A folder held open, for reading files beneath it; -1 when it cannot be opened or is no folder.
int OpenFolder(const std::string& path);

// The regular file at relative beneath the open folder, never one outside it (by "..", an absolute
// path or a link that leads out); false as ReadWholeFile.
bool ReadFileBeneath(int folder, const std::string& relative, std::string& bytes,
                     std::size_t limit);

// Throws an Exception "Unable to read " + path when the file cannot be read.
std::vector<std::string> LoadLines(const std::string& path);

// Creates or replaces the file; an empty list gives 0 bytes. Throws an Exception
// "Unable to write to " + path when the file cannot be written.
void SaveLines(const std::string& path, const std::vector<std::string>& lines);

} // namespace quarrow
