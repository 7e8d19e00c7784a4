// Lines as a task's log and failed-tile list hold them: each followed by CR LF, kept as the bytes
// of the file, so a save is one write. The main window's panes show one; the program without
// windows keeps its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow {

class LineStore {
public:
    // A line that holds line ends of its own (CR LF, lone CR, lone LF) becomes the lines that a
    // file holding it would read back as; an empty line stays one empty line. Returns how many
    // lines were added.
    std::size_t Append(std::string_view line);
    void SetLines(const std::vector<std::string>& lines);
    void Clear();

    std::size_t Count() const noexcept { return m_starts.size(); }
    std::size_t Bytes() const noexcept { return m_bytes.size(); }
    std::string_view Line(std::size_t index) const;
    std::vector<std::string> Lines() const;

    // Replaces the content with the file's lines. Throws an Exception "Unable to read " + path.
    void Load(const std::string& path);
    // Creates or replaces the file, every line followed by CR LF; a failed save leaves the old
    // file whole. Throws an Exception "Unable to write to " + path.
    void Save(const std::string& path) const;

private:
    void Add(std::string_view line);

    std::string m_bytes;
    std::vector<std::size_t> m_starts; // where each line starts in m_bytes
};

} // namespace quarrow
