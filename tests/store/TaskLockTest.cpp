// One task, one process: a second taker is refused with the holder's process number, and a
// holder killed with SIGKILL leaves the task free at once.
#include "store/TaskLock.h"
#include "store/TaskFiles.h"

#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/Exception.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

std::string RefusalOf(const std::string& projectFile) {
    try {
        TaskLock lock(projectFile);
    } catch (const Exception& error) {
        return error.Message();
    }
    return "";
}

TEST(TaskLock, ASecondProcessIsRefusedUntilTheFirstEndsHoweverItEnds) {
    test::TempDir dir;
    const std::string project = dir.Path() + "bj.zav";
    EXPECT_EQ(dir.Path() + "bj.lock", TaskFilesOf(project).Lock);

    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // The other Quarrow: takes the task and keeps it until it is killed.
        TaskLock lock(project);
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    char byte = 0;
    ASSERT_EQ(1, ::read(ready[0], &byte, 1));
    EXPECT_EQ("The task bj is being downloaded by another Quarrow (process " +
                  std::to_string(holder) + ").",
              RefusalOf(project));
    ::kill(holder, SIGKILL);
    int status = 0;
    ::waitpid(holder, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);

    // The kernel released the lock with the process: the task is free at once.
    {
        TaskLock lock(project);
        EXPECT_NE("", RefusalOf(project)); // one holder at a time, in this process too
    }
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "bj.lock")); // removed by its holder
    // A link planted at the lock file's name is not followed.
    std::filesystem::create_symlink(dir.Path() + "elsewhere", dir.Path() + "bj.lock");
    EXPECT_NE("", RefusalOf(project));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "elsewhere"));
}

} // namespace
} // namespace quarrow
