// Text files as lines, 8-bit, CR LF on every platform.
#include "TextFile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Exception.h"
#include "FileReplacer.h"
#include "base/RetryEintr.h"

namespace quarrow {

namespace {

// The opened descriptor when it is a regular file (its size into size), else closed again: -1
// for none, NotRegularFile for a FIFO, a device or a folder.
int KeepRegularFile(int fd, std::uint64_t* size) {
    if (fd < 0)
        return -1;
    struct stat facts {};
    if (::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) {
        ::close(fd);
        return NotRegularFile;
    }
    if (size)
        *size = static_cast<std::uint64_t>(facts.st_size);
    return fd;
}

// The whole of an open file into text, then closes it; false as ReadWholeFile.
bool ReadOpenFile(int fd, std::uint64_t size, std::string& text, std::size_t limit) {
    struct Closer {
        int Fd;
        ~Closer() { ::close(Fd); }
    } closer{fd};
    if (size > limit)
        return false;
    text.clear();
    text.reserve(static_cast<std::size_t>(size));
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = RetryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (count < 0)
            return false;
        if (count == 0)
            return true;
        // A file that grows while it is read is held to the limit too.
        if (text.size() + static_cast<std::size_t>(count) > limit)
            return false;
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

} // namespace

int OpenRegularFile(const std::string& path, std::uint64_t* size) {
    return KeepRegularFile(
        RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }),
        size);
}

bool ReadWholeFile(const std::string& path, std::string& text, std::size_t limit) {
    std::uint64_t size = 0;
    const int fd = OpenRegularFile(path, &size);
    return fd >= 0 && ReadOpenFile(fd, size, text, limit);
}

int OpenFolder(const std::string& path) {
    return RetryOnEintr(
        [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
}

bool ReadFileBeneath(int folder, const std::string& relative, std::string& bytes,
                     std::size_t limit) {
    open_how how{};
    how.flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    // A link that stays beneath the folder is followed (trees share equal tiles so); one that
    // leads out of it, or is absolute, is refused.
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = RetryOnEintr([&] {
        return static_cast<int>(::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how));
    });
    if (fd < 0 && errno == ENOSYS) {
        // Kernels before 5.6: no link at the file itself, and no way up.
        if (relative.find("..") != std::string::npos || relative.starts_with('/'))
            return false;
        fd = RetryOnEintr([&] {
            return ::openat(folder, relative.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        });
    }
    std::uint64_t size = 0;
    fd = KeepRegularFile(fd, &size);
    return fd >= 0 && ReadOpenFile(fd, size, bytes, limit);
}

std::vector<LineSpan> ScanLines(std::string_view text) {
    std::vector<LineSpan> lines;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n')
            continue;
        const std::size_t textEnd = i;
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        lines.push_back({begin, textEnd, i + 1});
        begin = i + 1;
    }
    if (begin < text.size())
        lines.push_back({begin, text.size(), text.size()});
    return lines;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    for (const LineSpan& span : ScanLines(text))
        lines.emplace_back(text.substr(span.Begin, span.TextEnd - span.Begin));
    return lines;
}

std::vector<std::string> LoadLines(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text))
        throw ReadError(path);
    return SplitLines(text);
}

void SaveLines(const std::string& path, const std::vector<std::string>& lines) {
    FileReplacer file(path);
    for (const std::string& line : lines) {
        file.Write(line);
        file.Write("\r\n");
    }
    file.Commit();
}

} // namespace quarrow
