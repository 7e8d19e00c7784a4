// Runs the tile service program as a child process for tests and benchmarks: starts it, learns
// its port from the first output line, and stops it with SIGTERM.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quarrow::tileservice {

class ServiceProcess {
public:
    // Starts the program with the arguments and waits at most `wait` for its first line, which
    // must read "listening on <address>:<port>". Throws std::runtime_error otherwise (the child
    // is stopped and reaped first).
    ServiceProcess(const std::string& program, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds wait = std::chrono::seconds(10));
    ~ServiceProcess(); // stops the child unless Stop() did
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    const std::string& FirstLine() const noexcept { return m_firstLine; }
    int Port() const noexcept { return m_port; }
    pid_t Pid() const noexcept { return m_pid; }

    // Sends SIGTERM and reaps the child: its exit code, or 128 + the signal that ended it.
    int Stop();

private:
    pid_t m_pid = -1;
    int m_output = -1; // read end of the child's standard output
    std::string m_firstLine;
    int m_port = 0;
};

} // namespace quarrow::tileservice
