// What the drills share: the driver program run as a child process, a program folder that names
// the service, and a small task's entries and tiles.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quarrow::tileservice {
class ServiceProcess;
}

namespace quarrow::drill {

using namespace std::chrono_literals;

// The main window's driver as a child process on the offscreen platform; its output goes to a
// file in the folder given. The destructor kills a child that is still running.
class DriverProcess {
public:
    struct Limits {
        // RLIMIT_FSIZE of the child in bytes; 0 leaves it unlimited. SIGXFSZ is then ignored,
        // so a write past the limit fails with EFBIG instead of ending the process.
        long long FileSizeLimit = 0;
    };

    DriverProcess(const std::vector<std::string>& arguments, const std::string& outputFile,
                  Limits limits);
    DriverProcess(const std::vector<std::string>& arguments, const std::string& outputFile)
        : DriverProcess(arguments, outputFile, Limits{}) {}
    ~DriverProcess();
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    void Signal(int signal) const;
    // The wait status once the child has ended within the wait; nullopt while it runs.
    std::optional<int> WaitForExit(std::chrono::milliseconds wait);
    bool Running() const noexcept { return !m_status; }

    // The output lines of one kind ("log", "failed", "message", ...), without their "kind| ".
    std::vector<std::string> Lines(const std::string& kind) const;
    std::string Output() const;

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::string m_outputFile;
};

// The zoom level, first column and first row of every drill's task.
inline constexpr int Zoom = 12;
inline constexpr int FirstColumn = 2141;
inline constexpr int FirstRow = 1420;

struct Tile {
    int X;
    int Y;
    std::string Name; // the file name the main window gives it (default map type)
};

// A task of columns x rows tiles from FirstColumn, FirstRow, in the order of sequence numbers.
std::vector<Tile> TaskTiles(int columns, int rows);

// The driver's arguments for that task.
std::vector<std::string> DriverArguments(const std::string& programFolder, int columns, int rows,
                                         const std::string& savePath, const std::string& taskName);

// The settings file naming the service and the blank image, in a program folder.
void InstallProgram(const std::string& programFolder, int servicePort);
inline const std::string BlankImage = "blank image";

// The tile service program on a port of its own choice, unless the options name one.
std::unique_ptr<tileservice::ServiceProcess> StartService(std::vector<std::string> options = {});

// The exit code of a child that exited; -1 for one still running or ended by a signal.
int ExitCode(const std::optional<int>& status);

// How many of the lines hold the text.
int CountContaining(const std::vector<std::string>& lines, const std::string& part);

// The bytes the tile service serves for a tile of the default map type.
std::string ServedBytes(const Tile& tile);

void SleepBriefly(); // 10 ms

// Polls until the condition holds; false when the time is up.
template <typename Condition> bool WaitUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        SleepBriefly();
    }
    return true;
}

} // namespace quarrow::drill
