// Runs one of the project's programs as a child process and takes its exit status and output.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace quarrow::test {

struct ProgramRun {
    int ExitCode = -1; // -1 when it did not exit by itself within the wait; 128 + N for signal N
    std::string Out;
    std::string Err;
};

// The program with its arguments, its environment without the variables named, killed when it
// has not ended within the wait.
// When interruptWhen is given, it is asked while the program runs, and the first time it holds
// the program gets the signal (SIGINT, as from Ctrl-C, unless another is named).
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& unset = {},
                      std::chrono::milliseconds wait = std::chrono::seconds(30),
                      const std::function<bool()>& interruptWhen = {}, int signal = SIGINT);

} // namespace quarrow::test
