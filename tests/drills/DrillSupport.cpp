#include "DrillSupport.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "geo/Commonfunc.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/ServiceProcess.h"
#include "tools/tileservice/TileRenderer.h"

extern char** environ;

namespace quarrow::drill {

namespace {

std::string CoordinateText(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 8);
    return std::string(text, result.ptr);
}

} // namespace

DriverProcess::DriverProcess(const std::vector<std::string>& arguments,
                             const std::string& outputFile, Limits limits)
    : m_outputFile(outputFile) {
    // Everything the child needs is made before fork: after it only async-signal-safe calls.
    std::vector<std::string> texts{DRIVER_PATH};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment{"QT_QPA_PLATFORM=offscreen"};
    for (char** entry = environ; *entry; ++entry) {
        if (std::string_view(*entry).substr(0, 16) != "QT_QPA_PLATFORM=")
            environment.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0)
        throw std::runtime_error("cannot create " + outputFile);
    m_pid = fork();
    if (m_pid == 0) {
        if (limits.FileSizeLimit > 0) {
            const rlimit limit{static_cast<rlim_t>(limits.FileSizeLimit),
                               static_cast<rlim_t>(limits.FileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);
        }
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(output);
    if (m_pid < 0)
        throw std::runtime_error("cannot start the driver");
}

DriverProcess::~DriverProcess() {
    if (Running()) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

void DriverProcess::Signal(int signal) const {
    if (m_pid > 0 && !m_status)
        kill(m_pid, signal);
}

std::optional<int> DriverProcess::WaitForExit(std::chrono::milliseconds wait) {
    WaitUntil(
        [this] {
            int status = 0;
            if (!m_status && waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_status = status;
            return m_status.has_value();
        },
        wait);
    return m_status;
}

std::string DriverProcess::Output() const {
    return test::ReadFileBytes(m_outputFile);
}

std::vector<std::string> DriverProcess::Lines(const std::string& kind) const {
    std::vector<std::string> lines;
    std::istringstream output(Output());
    const std::string prefix = kind + "| ";
    for (std::string line; std::getline(output, line);) {
        if (line.starts_with(prefix))
            lines.push_back(line.substr(prefix.size()));
    }
    return lines;
}

std::vector<Tile> TaskTiles(int columns, int rows) {
    std::vector<Tile> tiles;
    for (int x = FirstColumn; x < FirstColumn + columns; ++x) {
        for (int y = FirstRow; y < FirstRow + rows; ++y) {
            tiles.push_back({x, y,
                             "zavs_" + std::to_string(x) + "_" + std::to_string(y) + "_" +
                                 std::to_string(Zoom) + ".png"});
        }
    }
    return tiles;
}

std::vector<std::string> DriverArguments(const std::string& programFolder, int columns, int rows,
                                         const std::string& savePath, const std::string& taskName) {
    // Tile centres: far from every edge, so the texts cover exactly these tiles.
    return {programFolder,
            CoordinateText(TileXToLon(FirstColumn + 0.5, Zoom)),
            CoordinateText(TileXToLon(FirstColumn + columns - 0.5, Zoom)),
            CoordinateText(TileYToLat(FirstRow + 0.5, Zoom)),
            CoordinateText(TileYToLat(FirstRow + rows - 0.5, Zoom)),
            std::to_string(Zoom),
            savePath,
            taskName};
}

void InstallProgram(const std::string& programFolder, int servicePort) {
    std::filesystem::create_directory(programFolder + "ini");
    std::filesystem::create_directory(programFolder + "blankimg");
    test::WriteFileBytes(programFolder + "ini/config.ini",
                         "[Service]\r\nHost=127.0.0.1:" + std::to_string(servicePort) + "\r\n");
    test::WriteFileBytes(programFolder + "blankimg/blank.png", BlankImage);
}

std::string ServedBytes(const Tile& tile) {
    return tileservice::RenderTilePng({tileservice::MapKind::Satellite, Zoom, tile.X, tile.Y});
}

void SleepBriefly() {
    std::this_thread::sleep_for(10ms);
}

std::unique_ptr<tileservice::ServiceProcess> StartService(std::vector<std::string> options) {
    if (std::find(options.begin(), options.end(), "--port") == options.end())
        options.insert(options.begin(), {"--port", "0"});
    return std::make_unique<tileservice::ServiceProcess>(TILESERVICE_PATH, options);
}

int ExitCode(const std::optional<int>& status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

int CountContaining(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(part) != std::string::npos;
    }));
}

} // namespace quarrow::drill
