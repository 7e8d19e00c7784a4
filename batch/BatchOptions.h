// quarrow-batch's command line: what it asks for, or why it cannot be read.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quarrow {

struct BatchOptions {
    enum class Mode { Task, Resume, RetryFailed, RetryBlanks, Update, Help, Version };
    Mode What = Mode::Task;

    // --area W,S,E,N: the four texts as given, kept as typed so a Start with them resumes.
    std::optional<std::vector<std::string>> Area;
    std::string AreaFile;
    std::optional<double> CorridorKm;
    bool ClosedTracksAsPolygons = false;
    int FirstZoom = 0;
    int LastZoom = 0;
    std::string ZoomText; // as given, for a single zoom level
    int MapsType = 17;
    std::string SourceName; // empty: the built-in source
    std::string TaskName;
    std::string Folder;
    std::optional<int> Workers;
    bool DryRun = false;
    bool Replace = false; // a task of the name that exists is written anew
    bool Verbose = false;
    std::string ProjectFile; // of --resume, --retry-failed, --retry-blanks and --update
    int OlderThanDays = 0;   // of --update: 0 for every tile
    bool Force = false;      // of --update
};

// The options of argv[1..]; throws a BatchUsageError naming the argument that is wrong.
BatchOptions ParseBatchOptions(const std::vector<std::string>& arguments);

class BatchUsageError {
public:
    explicit BatchUsageError(std::string message) : m_message(std::move(message)) {}
    const std::string& Message() const noexcept { return m_message; }

private:
    std::string m_message;
};

// The --help text.
std::string BatchUsage(const std::string& settingsFile);

} // namespace quarrow
