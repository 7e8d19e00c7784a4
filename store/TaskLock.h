// One task, one process: a task being downloaded holds an advisory lock on a file beside its
// project file, which the kernel releases when the process ends, however it ends.
#pragma once

#include <string>

namespace quarrow {

class TaskLock {
public:
    // Takes the lock of the task of this project file. Throws an Exception "The task NAME is
    // being downloaded by another Quarrow (process PID)." when another process holds it, and one
    // naming the lock file when that cannot be made.
    explicit TaskLock(const std::string& projectFile);
    // Removes the lock file and releases the lock.
    ~TaskLock();
    TaskLock(const TaskLock&) = delete;
    TaskLock& operator=(const TaskLock&) = delete;

private:
    int m_fd = -1;
    std::string m_path;
};

} // namespace quarrow
