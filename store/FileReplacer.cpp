// The temporary file is named after the target with the process id and a counter, created
// exclusively, so that two writers never share one; a lock holder's has a fixed name.
#include "FileReplacer.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Exception.h"
#include "base/RetryEintr.h"
#include "base/TextRules.h"

namespace quarrow {
namespace {

std::atomic<unsigned> TempCounter{0};
constexpr int TempAttempts = 100;

std::string TempNameOf(const std::string& target, Writer writer) {
    if (writer == Writer::LockHolder)
        return target + ".tmp";
    return target + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(TempCounter.fetch_add(1));
}


} // namespace

FileReplacer::FileReplacer(std::string path, Flush flush, Writer writer)
    : m_path(std::move(path)), m_target(m_path), m_flush(flush) {
    // A link planted at the name is replaced, never written through: the rename below takes
    // the name itself. Opening without truncation (and without following a link or waiting on a
    // FIFO) tells whether a direct write would be allowed.
    mode_t mode = 0666;
    bool keepMode = false;
    const int existing =
        ::open(m_target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (existing < 0 && (errno == ELOOP || errno == ENXIO)) {
        // A link or a FIFO at the name: what is written takes its place.
    } else if (existing >= 0) {
        struct stat info {};
        if (::fstat(existing, &info) == 0) {
            mode = info.st_mode & 07777;
            keepMode = true;
        }
        ::close(existing);
    } else if (errno != ENOENT) {
        throw WriteError(m_path);
    }

    if (writer == Writer::LockHolder) {
        m_tempPath = TempNameOf(m_target, writer);
        try {
            m_fd = CreateFreshFile(m_tempPath);
        } catch (const Exception&) {
            throw WriteError(m_path);
        }
    }
    for (int attempt = 0; attempt < TempAttempts && m_fd < 0; ++attempt) {
        m_tempPath = TempNameOf(m_target, writer);
        m_fd = ::open(m_tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST)
            break;
    }
    if (m_fd < 0) {
        m_tempPath.clear();
        throw WriteError(m_path);
    }
    if (keepMode && ::fchmod(m_fd, mode) != 0) {
        // The destructor does not run for a constructor that throws.
        ::close(m_fd);
        ::unlink(m_tempPath.c_str());
        throw WriteError(m_path);
    }
}

FileReplacer::~FileReplacer() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed && !m_tempPath.empty())
        ::unlink(m_tempPath.c_str());
}

void FileReplacer::Write(std::string_view bytes) {
    Written(); // the buffer may have been filled in place
    if (m_buffer.size() + bytes.size() < BufferSize) {
        m_buffer.append(bytes);
        return;
    }
    // Top the buffer up to one block, then pass the whole blocks that follow straight through.
    if (!m_buffer.empty()) {
        const std::size_t room = BufferSize - m_buffer.size();
        m_buffer.append(bytes.substr(0, room));
        bytes.remove_prefix(room);
        WriteAll(m_buffer.data(), m_buffer.size());
    }
    const std::size_t whole = bytes.size() - bytes.size() % BufferSize;
    WriteAll(bytes.data(), whole);
    m_buffer.assign(bytes.substr(whole));
}

void FileReplacer::Commit() {
    WriteAll(m_buffer.data(), m_buffer.size());
    m_buffer.clear();
    const int fd = m_fd;
    m_fd = -1;
    const bool flushed = m_flush == Flush::Later || ::fsync(fd) == 0;
    if (::close(fd) != 0 || !flushed)
        Fail();
    if (std::rename(m_tempPath.c_str(), m_target.c_str()) != 0)
        Fail();
    m_committed = true;
    if (m_flush == Flush::Now)
        FlushFolderOf(m_target);
}

void FileReplacer::WriteBlocks() {
    const std::size_t whole = m_buffer.size() - m_buffer.size() % BufferSize;
    WriteAll(m_buffer.data(), whole);
    m_buffer.erase(0, whole);
}

void FileReplacer::WriteAll(const char* data, std::size_t size) {
    if (!WriteWhole(m_fd, std::string_view(data, size)))
        Fail();
}

void FileReplacer::Fail() {
    throw WriteError(m_path);
}

BackgroundFileReplacer::BackgroundFileReplacer(std::string path)
    : m_file(std::move(path)),
      m_writer([this](const std::stop_token& stop) { WriteHandedBlocks(stop); }) {}

void BackgroundFileReplacer::HandOver(std::size_t size) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_blockWaiting || m_error; });
    if (m_error)
        std::rethrow_exception(m_error);
    // m_handed is the writer's emptied buffer: it takes what follows the block and becomes the
    // buffer that is composed further.
    m_handed.assign(m_composing, size);
    m_composing.resize(size);
    m_composing.swap(m_handed);
    m_blockWaiting = true;
    m_changed.notify_all();
}

void BackgroundFileReplacer::Commit() {
    HandOver(m_composing.size());
    {
        const std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_changed.notify_all();
    m_writer.join();
    if (m_error)
        std::rethrow_exception(m_error);
    m_file.Commit();
}

void BackgroundFileReplacer::WriteHandedBlocks(const std::stop_token& stop) {
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (!m_changed.wait(lock, stop, [this] { return m_blockWaiting || m_finished; }) ||
                !m_blockWaiting)
                return;
            m_writing.swap(m_handed);
            m_blockWaiting = false;
        }
        m_changed.notify_all();
        try {
            m_file.Write(m_writing);
        } catch (...) {
            const std::lock_guard lock(m_mutex);
            m_error = std::current_exception();
            m_changed.notify_all();
            return;
        }
        m_writing.clear();
    }
}

namespace {

// A file made whole before it gets its name: an unnamed file, written, then linked in. A free name
// costs one change of its folder instead of the temporary name's three; a regular file there is
// replaced by a rename from a temporary name, keeping its permissions, so every tile is written
// once. False when the system cannot (no O_TMPFILE, no /proc) or the name holds anything else (a
// link, a folder): the caller takes the long way then. Nothing is left behind on failure.
bool CreateWhole(const std::string& path, std::string_view bytes, Flush flush, Writer writer) {
#ifdef O_TMPFILE
    std::optional<mode_t> replacing;
    struct stat held {};
    if (::lstat(path.c_str(), &held) == 0) {
        if (!S_ISREG(held.st_mode))
            return false;
        // Refused as a direct write would be.
        const int existing = RetryOnEintr(
            [&] { return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW); });
        if (existing < 0)
            return false;
        ::close(existing);
        replacing = held.st_mode & 07777;
    } else if (errno != ENOENT) {
        return false;
    }
    std::string folder = SplitFolder(path).first;
    if (folder.empty())
        folder = ".";
    const int fd = RetryOnEintr(
        [&] { return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); });
    if (fd < 0)
        return false;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const auto linkAs = [&self](const std::string& name) {
        return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    };
    bool made = WriteWhole(fd, bytes) && (!replacing || ::fchmod(fd, *replacing) == 0) &&
                (flush == Flush::Later || ::fsync(fd) == 0);
    std::string name = path;
    if (made && replacing) {
        made = false;
        for (int attempt = 0; attempt < TempAttempts && !made; ++attempt) {
            name = TempNameOf(path, writer);
            // A lock holder's name may hold what a killed run left: it gives way once.
            if (writer == Writer::LockHolder && attempt > 0 && ::unlink(name.c_str()) != 0)
                break;
            made = linkAs(name);
            if (!made && (errno != EEXIST || (writer == Writer::LockHolder && attempt > 0)))
                break;
        }
    } else if (made) {
        made = linkAs(name);
    }
    // A failed close may mean the bytes are not all on disk: the name is taken back.
    if (::close(fd) != 0 && made) {
        ::unlink(name.c_str());
        return false;
    }
    if (made && replacing && std::rename(name.c_str(), path.c_str()) != 0) {
        ::unlink(name.c_str());
        return false;
    }
    if (made && flush == Flush::Now)
        FlushFolderOf(path);
    return made;
#else
    static_cast<void>(path);
    static_cast<void>(bytes);
    static_cast<void>(flush);
    static_cast<void>(writer);
    return false;
#endif
}

} // namespace

bool WriteWhole(int fd, std::string_view bytes, std::optional<std::uint64_t> at) {
    while (!bytes.empty()) {
        const ssize_t written = RetryOnEintr([&] {
            return at ? ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(*at))
                      : ::write(fd, bytes.data(), bytes.size());
        });
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
        if (at)
            *at += static_cast<std::uint64_t>(written);
    }
    return true;
}

void ReplaceFile(const std::string& path, std::string_view bytes, Flush flush, Writer writer) {
    if (CreateWhole(path, bytes, flush, writer))
        return;
    FileReplacer file(path, flush, writer);
    file.Write(bytes);
    file.Commit();
}

void FlushFolderOf(const std::string& path) {
    std::string folder = SplitFolder(path).first;
    if (folder.empty())
        folder = ".";
    const int fd = RetryOnEintr(
        [&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0)
        return;
    // A folder that cannot be flushed (some file systems refuse) leaves the name as the system
    // keeps it; the file's bytes are flushed already.
    ::fsync(fd);
    ::close(fd);
}

void RemoveLeftoversOf(const std::string& folder, const std::vector<std::string>& names) {
    const auto number = [](std::string_view text) {
        return !text.empty() && text.size() <= 9 &&
               text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        for (const std::string& own : names) {
            const std::string head = own + ".tmp-";
            if (!name.starts_with(head))
                continue;
            const std::string_view tail = std::string_view(name).substr(head.size());
            const std::size_t dash = tail.find('-');
            const std::string_view pid = tail.substr(0, dash);
            if (dash == std::string_view::npos || !number(pid) || !number(tail.substr(dash + 1)))
                continue;
            // A living writer's is its own (another program, say, that writes the file too).
            if (::kill(std::stoi(std::string(pid)), 0) == 0 || errno != ESRCH)
                continue;
            // A link or folder there is removed, never followed; a folder with content stays.
            std::filesystem::remove(entry->path(), error);
            error.clear();
        }
    }
}

int CreateFreshFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw WriteError(path, std::string(": ") + std::strerror(errno));
    const int fd = RetryOnEintr([&] {
        return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    });
    if (fd < 0)
        throw WriteError(path, std::string(": ") + std::strerror(errno));
    return fd;
}

std::FILE* OpenFreshFile(const std::string& path) {
    const int fd = CreateFreshFile(path);
    std::FILE* file = ::fdopen(fd, "w+b");
    if (!file) {
        const int error = errno;
        ::close(fd);
        throw WriteError(path, std::string(": ") + std::strerror(error));
    }
    return file;
}

} // namespace quarrow
