#include "TileBatch.h"

#include <cerrno>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "base/RetryEintr.h"
#include "base/TextRules.h"

namespace quarrow {
namespace {

constexpr std::size_t FewFiles = 64;

// An open file's or folder's flush; errno's text when it failed.
std::optional<std::string> Flush(const std::string& path, int flags, int (*flush)(int)) {
    const int fd = RetryOnEintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC); });
    if (fd < 0)
        return std::string(std::strerror(errno)) + " (" + path + ")";
    const int result = flush(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0)
        return std::string(std::strerror(error)) + " (" + path + ")";
    return std::nullopt;
}

int FlushData(int fd) {
    struct stat facts {};
    if (::fstat(fd, &facts) != 0)
        return -1;
    if (!S_ISREG(facts.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return ::fdatasync(fd);
}

bool SyncfsReachesData(const std::string& folder) {
    constexpr long Fuse = 0x65735546, Nfs = 0x6969, Smb2 = 0xFE534D42, Cifs = 0xFF534D42;
    struct statfs facts {};
    return ::statfs(folder.c_str(), &facts) == 0 && facts.f_type != Fuse &&
           facts.f_type != Nfs && facts.f_type != Smb2 && facts.f_type != Cifs;
}

} // namespace

std::optional<std::string> FlushWritten(const std::string& folder,
                                        const std::vector<std::string>& paths) {
    if (paths.empty())
        return std::nullopt;
    // A failed syncfs is final: the files' own flushes after it would find the error taken. A few
    // files are flushed one by one: a syncfs waits for every program's writes to the disk.
    if (paths.size() > FewFiles && SyncfsReachesData(folder))
        return Flush(folder, O_RDONLY | O_DIRECTORY, [](int fd) { return ::syncfs(fd); });
    std::set<std::string> folders;
    for (const std::string& path : paths) {
        if (auto failed = Flush(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, FlushData))
            return failed;
        const std::string holder = SplitFolder(path).first;
        folders.insert(holder.empty() ? "." : holder);
    }
    // The names; a file system that cannot flush a folder (EINVAL) keeps them as it does.
    for (const std::string& holder : folders)
        if (auto failed = Flush(holder, O_RDONLY | O_DIRECTORY,
                                [](int fd) { return ::fsync(fd) == 0 || errno == EINVAL ? 0 : -1; }))
            return failed;
    return std::nullopt;
}

TileBatch::TileBatch(std::string folder, Flusher flusher)
    : m_folder(std::move(folder)), m_flusher(std::move(flusher)) {}

TileBatch TileBatch::Take() {
    TileBatch taken(m_folder, m_flusher);
    taken.m_paths.swap(m_paths);
    taken.m_failure = m_failure;
    return taken;
}

void TileBatch::Merge(const TileBatch& committed) {
    if (!m_failure)
        m_failure = committed.m_failure;
}

void TileBatch::Commit(std::initializer_list<std::function<void()>> steps) {
    if (!m_failure) {
        m_failure = m_flusher(m_folder, m_paths);
        m_paths.clear();
    }
    if (m_failure)
        throw Exception(std::string(TilesNotSavedLead) + *m_failure);
    for (const auto& step : steps)
        step();
}

} // namespace quarrow
