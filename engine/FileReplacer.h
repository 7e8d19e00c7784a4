// Writing a file through a temporary file beside it, so that a failed write never leaves a
// truncated or half-written file under the file's name.
#pragma once

#include <string>
#include <string_view>

namespace quarrow {

// Streams bytes through a buffer of fixed size into a temporary file in the target's folder;
// Commit() puts it in the target's place. Without Commit() the temporary file is removed. Every
// failure throws WriteError(path). An existing target that may not be written is refused, as a
// direct write would be, and its permissions are kept.
class FileReplacer {
public:
    static constexpr std::size_t BufferSize = 64 * 1024;

    explicit FileReplacer(std::string path);
    ~FileReplacer();
    FileReplacer(const FileReplacer&) = delete;
    FileReplacer& operator=(const FileReplacer&) = delete;

    void Write(std::string_view bytes);
    // For a caller that composes in place: append to Buffer(), then call Written(), which
    // writes the buffer out once it holds BufferSize bytes or more.
    std::string& Buffer() noexcept { return m_buffer; }
    void Written() {
        if (m_buffer.size() >= BufferSize)
            Flush();
    }
    void Commit();

private:
    void Flush();
    void WriteAll(const char* data, std::size_t size);
    [[noreturn]] void Fail();

    std::string m_path;
    std::string m_tempPath;
    int m_fd = -1;
    std::string m_buffer;
    bool m_committed = false;
};

// Creates or replaces the file with exactly these bytes.
void ReplaceFile(const std::string& path, std::string_view bytes);

} // namespace quarrow
