// The child's output goes to two files of a temporary folder, read once it has ended.
#include "ProgramRun.h"

#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TempDir.h"

namespace quarrow::test {

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& unset, std::chrono::milliseconds wait,
                      const std::function<bool()>& interruptWhen, int signal) {
    TempDir folder;
    const std::string out = folder.Path() + "out", err = folder.Path() + "err";
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const std::string& name : unset)
            ::unsetenv(name.c_str());
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ProgramRun run;
    const auto end = std::chrono::steady_clock::now() + wait;
    int status = 0;
    bool interrupted = false;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (interruptWhen && !interrupted && interruptWhen()) {
            ::kill(pid, signal);
            interrupted = true;
        }
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (status != -1 && WIFEXITED(status))
        run.ExitCode = WEXITSTATUS(status);
    else if (status != -1 && WIFSIGNALED(status))
        run.ExitCode = 128 + WTERMSIG(status);
    run.Out = ReadFileBytes(out);
    run.Err = ReadFileBytes(err);
    return run;
}

} // namespace quarrow::test
