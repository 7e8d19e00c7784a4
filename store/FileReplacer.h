// Writing a file through a temporary file beside it, so that a failed write never leaves a
// truncated or half-written file under the file's name.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quarrow {

// When a replaced file's bytes reach the disk: before it takes its name, with its folder flushed
// after (a task's own files, which a power cut must not empty), or with the next flush of its
// file system (the tiles, flushed together before the positions that count them are saved).
enum class Flush { Now, Later };

// Who writes the file: anyone, so the temporary file's name is the writer's own (process and
// counter), or only the holder of the task's lock (a task's tiles), so the temporary file is the
// target's name with ".tmp" and the next write takes over one that a killed run left behind.
enum class Writer { Any, LockHolder };

// Streams bytes through a buffer of fixed size into a temporary file in the target's folder;
// Commit() puts it in the target's place. Without Commit() the temporary file is removed. Every
// failure throws WriteError(path). An existing target that may not be written is refused, as a
// direct write would be, and its permissions are kept; a link at the name is replaced, never
// written through.
//
// Every write but the last is of whole blocks of BufferSize bytes: a write that starts inside a
// page of the file costs the kernel about twice as much as one that starts on a page boundary.
class FileReplacer {
public:
    static constexpr std::size_t BufferSize = 1024 * 1024; // a whole number of pages

    explicit FileReplacer(std::string path, Flush flush = Flush::Now, Writer writer = Writer::Any);
    ~FileReplacer();
    FileReplacer(const FileReplacer&) = delete;
    FileReplacer& operator=(const FileReplacer&) = delete;

    void Write(std::string_view bytes);
    // For a caller that composes in place: append to Buffer(), then call Written(), which
    // writes out the buffer's whole blocks once it holds one.
    std::string& Buffer() noexcept { return m_buffer; }
    void Written() {
        if (m_buffer.size() >= BufferSize)
            WriteBlocks();
    }
    void Commit();

private:
    void WriteBlocks();
    void WriteAll(const char* data, std::size_t size);
    [[noreturn]] void Fail();

    std::string m_path;
    std::string m_target; // the name the file takes
    std::string m_tempPath;
    int m_fd = -1;
    std::string m_buffer;
    Flush m_flush;
    bool m_committed = false;
};

// A FileReplacer whose writing runs on a thread of its own, so that composing the next block
// overlaps writing the last one. At most one block waits between the two threads, so memory
// stays at a few blocks whatever the file's size. A failed write is thrown from the next Written()
// or from Commit(); the temporary file is removed as for a FileReplacer.
class BackgroundFileReplacer {
public:
    explicit BackgroundFileReplacer(std::string path);
    BackgroundFileReplacer(const BackgroundFileReplacer&) = delete;
    BackgroundFileReplacer& operator=(const BackgroundFileReplacer&) = delete;

    // As FileReplacer's: append to Buffer(), then call Written(). Buffer() is the same string
    // throughout; Written() leaves in it what follows the blocks it handed over.
    std::string& Buffer() noexcept { return m_composing; }
    void Written() {
        if (m_composing.size() >= FileReplacer::BufferSize)
            HandOver(m_composing.size() - m_composing.size() % FileReplacer::BufferSize);
    }
    void Commit();

private:
    // Passes the first `size` bytes of the buffer to the writer once it has taken the last ones.
    void HandOver(std::size_t size);
    void WriteHandedBlocks(const std::stop_token& stop);

    FileReplacer m_file; // the writer's alone until it has been joined
    std::string m_composing;
    std::string m_writing;
    std::mutex m_mutex;
    std::condition_variable_any m_changed;
    std::string m_handed;        // guarded by m_mutex
    bool m_blockWaiting = false; // guarded by m_mutex
    bool m_finished = false;     // guarded by m_mutex
    std::exception_ptr m_error;  // guarded by m_mutex
    std::jthread m_writer;       // last: stopped and joined before the members above go
};

// Creates or replaces the file with exactly these bytes.
void ReplaceFile(const std::string& path, std::string_view bytes, Flush flush = Flush::Now,
                 Writer writer = Writer::Any);

// Flushes the folder that holds the path, so that a name it was given survives a power cut.
void FlushFolderOf(const std::string& path);

// Removes the temporary files that writers of these files (names in the folder) left when their
// process was killed: a name's own ".tmp-PROCESS-N" whose process is gone. For the holder of a
// task's lock, whose files no one else writes meanwhile.
void RemoveLeftoversOf(const std::string& folder, const std::vector<std::string>& names);

// A new, empty file at path for a writer's own temporary file: what stands at the name (a file
// left by an earlier run, a planted link) is removed first, never written through, and the file
// is created exclusively, without following a link. Returns its descriptor, open for reading and
// writing; throws WriteError(path).
int CreateFreshFile(const std::string& path);
// The same as a stream ("w+b").
std::FILE* OpenFreshFile(const std::string& path);

// Writes every byte, through interrupted and short writes: at the descriptor's position, or at
// the offset when one is given. False on failure, with errno set.
bool WriteWhole(int fd, std::string_view bytes, std::optional<std::uint64_t> at = std::nullopt);

} // namespace quarrow
