// flock(2) on the lock file. Its holder writes its process number into it for the message of the
// next comer. The holder removes the file while it still holds the lock; a process that opened
// the removed file in the meantime finds another file (or none) at the path after its lock, and
// opens the path again.
#include "TaskLock.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Exception.h"
#include "FileReplacer.h"
#include "base/RetryEintr.h"
#include "TaskFiles.h"
#include "base/TextRules.h"

namespace quarrow {

namespace {

std::string TaskName(const std::string& projectFile) {
    return ProjectBaseName(SplitFolder(projectFile).second);
}

// What a lock file holds: nothing yet, or its holder's process number and a line end.
bool HoldsALock(int fd) {
    char text[32] = {};
    const ssize_t read = RetryOnEintr([&] { return ::pread(fd, text, sizeof text, 0); });
    if (read < 0 || read == sizeof text)
        return false;
    const std::string_view held(text, static_cast<std::size_t>(read));
    return held.empty() ||
           held.find_first_not_of("0123456789\n") == std::string_view::npos;
}

// The process number that the holder wrote, or "unknown".
std::string HolderOf(int fd) {
    char text[32] = {};
    const ssize_t read = RetryOnEintr([&] { return ::pread(fd, text, sizeof text - 1, 0); });
    int pid = 0;
    if (read > 0) {
        const auto [end, error] = std::from_chars(text, text + read, pid);
        if (error == std::errc() && pid > 0)
            return std::to_string(pid);
    }
    return "unknown";
}

bool SameFile(int fd, const std::string& path) {
    struct stat open {}, named {};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace

TaskLock::TaskLock(const std::string& projectFile) : m_path(TaskFilesOf(projectFile).Lock) {
    for (int tries = 0; tries < 100; ++tries) {
        // Never through a planted link, never waiting on a FIFO, never truncated on opening.
        const int fd = RetryOnEintr([&] {
            return ::open(m_path.c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
        });
        if (fd < 0)
            throw Exception("Cannot create the lock file " + m_path + ": " + std::strerror(errno));
        // What stands at the name and is no lock of Quarrow's is nobody's to empty.
        struct stat facts {};
        if (::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode) || facts.st_nlink > 1 ||
            !HoldsALock(fd)) {
            ::close(fd);
            throw Exception("The file " + m_path +
                            " is in the way of the task's lock and is no lock of Quarrow's: move "
                            "it away to run the task.");
        }
        if (RetryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
            const int error = errno;
            const std::string holder = error == EWOULDBLOCK ? HolderOf(fd) : std::string();
            ::close(fd);
            if (error == EWOULDBLOCK)
                throw Exception("The task " + TaskName(projectFile) +
                                " is being downloaded by another Quarrow (process " + holder +
                                ").");
            throw Exception("Cannot lock the lock file " + m_path + ": " + std::strerror(error));
        }
        if (!SameFile(fd, m_path)) {
            ::close(fd); // its last holder removed it meanwhile
            continue;
        }
        const std::string pid = std::to_string(::getpid()) + "\n";
        // Without the number the lock holds all the same; the next comer reads "unknown".
        if (::ftruncate(fd, 0) == 0)
            RetryOnEintr([&] { return ::pwrite(fd, pid.data(), pid.size(), 0); });
        m_fd = fd;
        // What a killed run left half-written beside the task's files goes, now that no one
        // else writes them.
        const TaskFiles files = TaskFilesOf(projectFile);
        std::vector<std::string> names;
        for (const std::string* file :
             {&files.Project, &files.List, &files.Log, &files.Failed, &files.Area})
            names.push_back(SplitFolder(*file).second);
        const std::string folder = SplitFolder(projectFile).first;
        RemoveLeftoversOf(folder.empty() ? "." : folder, names);
        return;
    }
    throw Exception("Cannot lock the lock file " + m_path + ": it keeps being replaced.");
}

TaskLock::~TaskLock() {
    ::unlink(m_path.c_str());
    ::close(m_fd);
}

} // namespace quarrow
