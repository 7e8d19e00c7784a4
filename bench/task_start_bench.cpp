// Task start benchmark: builds a task of about a million tiles and writes its four files, then
// writes the same number of bytes plainly, and compares the two. Both end with an fsync, so the
// figures are those of the disk, not of the page cache.
//
// Last line: tiles=<n> bytes=<n> task_ms=<median> write_ms=<median> ratio=<task/write>
// rss_mb=<peak RSS>. Goals: ratio <= 1.5, rss_mb <= 64.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "base/Exception.h"
#include "engine/Unitclasstask.h"

namespace {

constexpr int Repeats = 5;
// The plain write streams from a buffer of this size, so that it does not raise the peak RSS
// that the benchmark reports for the task.
constexpr std::size_t PlainChunk = 1 << 20;

using Milliseconds = std::chrono::duration<double, std::milli>;

bool SyncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WritePlain(const std::string& path, unsigned long long bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const std::string chunk(PlainChunk, 'x');
    bool ok = true;
    while (ok && bytes > 0) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<unsigned long long>(bytes, PlainChunk));
        const ssize_t written = ::write(fd, chunk.data(), size);
        ok = written > 0;
        if (ok)
            bytes -= static_cast<unsigned long long>(written);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    std::string folder = (fs::temp_directory_path() / "quarrow-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    folder += "/";

    int tiles = 0;
    unsigned long long bytes = 0;
    std::vector<double> taskTimes;
    std::vector<double> writeTimes;
    int status = 0;
    try {
        for (int run = 0; run < Repeats; ++run) {
            const auto start = std::chrono::steady_clock::now();
            auto params = std::make_shared<TaskParams>();
            params->LeftLongitude = 100;
            params->RightLongitude = 111;
            params->TopLatitude = 44;
            params->BottomLatitude = 35.6;
            params->Zoom = 15;
            params->MapsType = 18;
            params->SavePath = folder;
            params->ProjectName = "bench.zav";
            const DownloadTask task(params);
            params->ThreadCount = std::min(params->ThreadCount, task.TileCount);
            task.WriteProjectFile();
            task.WriteListFile();
            if (!SyncFile(task.ListFile))
                throw Exception("Unable to sync " + task.ListFile);
            task.WriteLogHeader();
            task.CreateFailedFile();
            taskTimes.push_back(Milliseconds(std::chrono::steady_clock::now() - start).count());

            tiles = task.TileCount;
            bytes = 0;
            for (const std::string& file :
                 {task.ProjectFile(), task.ListFile, task.LogFile, task.FailedFile})
                bytes += fs::file_size(file);
        }
        const std::string plain = folder + "plain.bin";
        for (int run = 0; run < Repeats; ++run) {
            const auto start = std::chrono::steady_clock::now();
            if (!WritePlain(plain, bytes))
                throw quarrow::WriteError(plain);
            writeTimes.push_back(Milliseconds(std::chrono::steady_clock::now() - start).count());
            fs::remove(plain);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    if (status != 0)
        return status;

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double taskMs = Median(taskTimes);
    const double writeMs = Median(writeTimes);
    std::printf("tiles=%d bytes=%llu task_ms=%.1f write_ms=%.1f ratio=%.2f rss_mb=%.1f\n", tiles,
                bytes, taskMs, writeMs, taskMs / writeMs,
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
