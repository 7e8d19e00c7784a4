// Starting and stopping the tile service program.
#include "ServiceProcess.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "base/RetryEintr.h"

extern char** environ;

namespace quarrow::tileservice {
namespace {

std::string SystemText(int error) {
    return std::system_category().message(error);
}

int WaitForExit(pid_t pid) {
    int status = 0;
    if (RetryOnEintr([&] { return ::waitpid(pid, &status, 0); }) < 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

ServiceProcess::ServiceProcess(const std::string& program,
                               const std::vector<std::string>& arguments,
                               std::chrono::milliseconds wait) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make a pipe: " + SystemText(errno));
    }
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    const int error =
        ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    m_output = pipeEnds[0];
    if (error != 0) {
        ::close(m_output);
        throw std::runtime_error("cannot start " + program + ": " + SystemText(error));
    }

    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (const std::size_t lf = m_firstLine.find('\n'); lf != std::string::npos) {
            m_firstLine.resize(lf);
            break;
        }
        pollfd entry{m_output, POLLIN, 0};
        const int ready = RetryOnEintr([&] {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            return left.count() > 0 ? ::poll(&entry, 1, static_cast<int>(left.count())) : 0;
        });
        char chunk[256];
        const ssize_t count =
            ready > 0 ? RetryOnEintr([&] { return ::read(m_output, chunk, sizeof chunk); }) : 0;
        if (count <= 0) {
            const int code = Stop();
            throw std::runtime_error(program + " gave no first line (exit code " +
                                     std::to_string(code) + ")");
        }
        m_firstLine.append(chunk, static_cast<std::size_t>(count));
    }

    constexpr std::string_view Lead = "listening on ";
    const std::size_t colon = m_firstLine.rfind(':');
    const char* const portEnd = m_firstLine.data() + m_firstLine.size();
    const auto [end, parseError] =
        colon == std::string::npos
            ? std::from_chars_result{nullptr, std::errc::invalid_argument}
            : std::from_chars(m_firstLine.data() + colon + 1, portEnd, m_port);
    if (!m_firstLine.starts_with(Lead) || parseError != std::errc() || end != portEnd) {
        const std::string line = m_firstLine;
        Stop();
        throw std::runtime_error(program + " began with an unexpected line: \"" + line + "\"");
    }
}

ServiceProcess::~ServiceProcess() {
    Stop();
}

int ServiceProcess::Stop() {
    if (m_pid <= 0) {
        return -1;
    }
    ::kill(m_pid, SIGTERM);
    const int code = WaitForExit(m_pid);
    m_pid = -1;
    ::close(m_output);
    m_output = -1;
    return code;
}

} // namespace quarrow::tileservice
