// Bringing a task up to date against downloading it: quarrow-batch fetches a 10,000-tile task
// (100 x 100 at zoom 14) from the local tile service (a custom source with Workers=8 and
// TileDelay=0), then updates it with nothing changed at the service; three runs of both. Last,
// the service gives every 20th tile a new picture and the task is updated once more.
//
// Prints per run the seconds and the bytes the service sent for the download and the update, then
//   unchanged_ratio=        (the update's median seconds over the download's)
//   unchanged_bytes_ratio=  (the bytes of an update over those of a download)
//   changed_tiles= expected_changed=  (tiles whose file the last update replaced, and how many
//                                      the service changed)
// Goals: unchanged_ratio <= 0.3, unchanged_bytes_ratio <= 0.05, changed_tiles = expected_changed.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>

#include "geo/Commonfunc.h"
#include "tools/tileservice/TileService.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using quarrow::tileservice::ServiceOptions;
using quarrow::tileservice::TileService;

constexpr int Zoom = 14;
constexpr int X0 = 13487, Y0 = 6200, Side = 100;
constexpr int Runs = 3;
constexpr int ChangedEvery = 20;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

// Runs the program to its end, its standard error into the file; its wall seconds.
double Run(std::vector<std::string> words, const fs::path& errors) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + words[0]);
    posix_spawn_file_actions_destroy(&files);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("lost " + words[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(words[0] + " failed with status " + std::to_string(status) +
                                 ": " + Read(errors));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::map<std::string, std::string> Tiles(const fs::path& folder) {
    std::map<std::string, std::string> tiles;
    for (const auto& entry : fs::directory_iterator(folder))
        tiles[entry.path().filename().string()] = Read(entry.path());
    return tiles;
}

} // namespace

int main(int argc, char** argv) {
    // The service draws its tiles with Qt's fonts.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv);
    try {
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        const fs::path work = base / ("update_bench-" + std::to_string(::getpid()));
        fs::create_directories(work / "prog" / "ini");
        fs::create_directories(work / "prog" / "blankimg");
        struct Cleanup {
            fs::path Folder;
            ~Cleanup() {
                std::error_code ignored;
                fs::remove_all(Folder, ignored);
            }
        } cleanup{work};
        fs::copy_file(QUARROW_BATCH_PATH, work / "prog" / "quarrow-batch");
        Write(work / "prog" / "blankimg" / "blank.png", "blank");

        ServiceOptions options;
        options.Port = 0;
        auto service = std::make_unique<TileService>(options);
        const int port = service->Port();
        Write(work / "prog" / "ini" / "config.ini",
              "[Service]\r\nHost=127.0.0.1:" + std::to_string(port) + "\r\n");
        Write(work / "prog" / "ini" / "sources.ini",
              "[Local]\r\nMapView=http://127.0.0.1:" + std::to_string(port) +
                  "/xyz/normal/{z}/{x}/{y}.png\r\nWorkers=8\r\nTileDelay=0\r\n");
        char area[160];
        std::snprintf(area, sizeof area, "%.10f,%.10f,%.10f,%.10f",
                      quarrow::TileXToLon(X0 + 0.5, Zoom), quarrow::TileYToLat(Y0 + Side - 0.5, Zoom),
                      quarrow::TileXToLon(X0 + Side - 0.5, Zoom), quarrow::TileYToLat(Y0 + 0.5, Zoom));
        const std::string batch = (work / "prog" / "quarrow-batch").string();
        const fs::path errors = work / "errors.txt";

        std::vector<double> downloadSeconds, updateSeconds, downloadBytes, updateBytes;
        fs::path project;
        for (int run = 1; run <= Runs; ++run) {
            const fs::path folder = work / ("run" + std::to_string(run));
            std::uint64_t before = service->BytesSent();
            downloadSeconds.push_back(Run({batch, "--source", "Local", "--area", area, "--zoom",
                                           std::to_string(Zoom), "--name", "fresh", "--folder",
                                           folder.string()},
                                          errors));
            downloadBytes.push_back(static_cast<double>(service->BytesSent() - before));
            project = folder / "fresh.zav";
            before = service->BytesSent();
            updateSeconds.push_back(Run({batch, "--update", project.string()}, errors));
            updateBytes.push_back(static_cast<double>(service->BytesSent() - before));
            std::printf("run %d: download %.2f s %.0f bytes, update %.2f s %.0f bytes\n", run,
                        downloadSeconds.back(), downloadBytes.back(), updateSeconds.back(),
                        updateBytes.back());
            std::fflush(stdout);
            if (run < Runs)
                fs::remove_all(folder);
        }

        // The same service with every 20th tile changed.
        service.reset();
        options.Port = port;
        options.ChangedEvery = ChangedEvery;
        service = std::make_unique<TileService>(options);
        const fs::path tiles = project.parent_path() / "fresh";
        const auto old = Tiles(tiles);
        Run({batch, "--update", project.string()}, errors);
        const auto fresh = Tiles(tiles);
        long long changed = 0;
        for (const auto& [name, bytes] : fresh)
            if (old.count(name) && old.at(name) != bytes)
                ++changed;
        long long expected = 0;
        for (long long x = X0; x < X0 + Side; ++x)
            for (long long y = Y0; y < Y0 + Side; ++y)
                if ((y * (1LL << Zoom) + x) % ChangedEvery == 0)
                    ++expected;
        std::printf("last update: %s", Read(errors).c_str());
        std::printf("unchanged_ratio=%.3f\n", Median(updateSeconds) / Median(downloadSeconds));
        std::printf("unchanged_bytes_ratio=%.4f\n", Median(updateBytes) / Median(downloadBytes));
        std::printf("changed_tiles=%lld expected_changed=%lld\n", changed, expected);
        return changed == expected ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "update_bench: %s\n", error.what());
        return 1;
    }
}
