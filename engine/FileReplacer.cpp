// The temporary file is named after the target with the process id and a counter, created
// exclusively, so that two writers never share one.
#include "FileReplacer.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Exception.h"

namespace quarrow {
namespace {

std::atomic<unsigned> TempCounter{0};
constexpr int TempAttempts = 100;

// A symbolic link is followed, so the file it names is replaced and the link kept.
std::string ResolveTarget(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_symlink(path, ec)) {
        const auto resolved = std::filesystem::canonical(path, ec);
        if (!ec)
            return resolved.string();
    }
    return path;
}

} // namespace

FileReplacer::FileReplacer(std::string path) : m_path(std::move(path)) {
    const std::string target = ResolveTarget(m_path);

    // Opening without truncation tells whether a direct write would be allowed.
    mode_t mode = 0666;
    bool keepMode = false;
    const int existing = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (existing >= 0) {
        struct stat info {};
        if (::fstat(existing, &info) == 0) {
            mode = info.st_mode & 07777;
            keepMode = true;
        }
        ::close(existing);
    } else if (errno != ENOENT) {
        throw WriteError(m_path);
    }

    for (int attempt = 0; attempt < TempAttempts && m_fd < 0; ++attempt) {
        m_tempPath = target + ".tmp-" + std::to_string(::getpid()) + "-" +
                     std::to_string(TempCounter.fetch_add(1));
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
    m_buffer.reserve(2 * BufferSize); // room for what is appended beyond BufferSize
}

FileReplacer::~FileReplacer() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed && !m_tempPath.empty())
        ::unlink(m_tempPath.c_str());
}

void FileReplacer::Write(std::string_view bytes) {
    if (m_buffer.size() + bytes.size() < BufferSize) {
        m_buffer.append(bytes);
        return;
    }
    Flush();
    if (bytes.size() >= BufferSize)
        WriteAll(bytes.data(), bytes.size());
    else
        m_buffer.append(bytes);
}

void FileReplacer::Commit() {
    Flush();
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        Fail();
    if (std::rename(m_tempPath.c_str(), ResolveTarget(m_path).c_str()) != 0)
        Fail();
    m_committed = true;
}

void FileReplacer::Flush() {
    WriteAll(m_buffer.data(), m_buffer.size());
    m_buffer.clear();
}

void FileReplacer::WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            Fail();
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void FileReplacer::Fail() {
    throw WriteError(m_path);
}

void ReplaceFile(const std::string& path, std::string_view bytes) {
    FileReplacer file(path);
    file.Write(bytes);
    file.Commit();
}

} // namespace quarrow
