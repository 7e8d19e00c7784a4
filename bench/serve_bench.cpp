// The local tile server against nginx: 10,000 tiles (100 x 100 at zoom 14, 8 KB each) served by
// quarrow-tileservice --serve from an MBTiles file, and the same tiles from a tile tree by nginx
// (started here on 127.0.0.1 with two workers, as many as the machine's cores here), each asked
// by 8 keep-alive clients in this process for a few seconds, interleaved, three runs each. Every
// answer is checked (200 and the tile's length).
//
// Prints per run the requests per second of each server, then
//   serve_ratio=    Quarrow's median over nginx's (goal >= 0.8)
//   serve_rss_mb=   the most memory Quarrow's server held (goal <= 64)
//   xyz_ratio=      Quarrow serving the tree itself, over nginx
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/MBTilesWriter.h"
#include "archive/XyzTreeWriter.h"
#include "tools/tileservice/ServiceProcess.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int Zoom = 14, X0 = 13487, Y0 = 6200, Side = 100;
constexpr int Clients = 8, Runs = 3;
constexpr auto RunTime = std::chrono::seconds(4);
constexpr std::size_t TileBytes = 8192;

std::string TileOf(int x, int y) {
    // A PNG's signature and header, then bytes of the tile's own.
    std::string tile("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\1\0\0\0\1\0\x08\x06\0\0\0\0\0\0\0", 33);
    std::mt19937 random(static_cast<unsigned>(x * 1000 + y));
    while (tile.size() < TileBytes)
        tile += static_cast<char>(random());
    return tile;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// One keep-alive client asking tiles from its own place in the shuffled list until the time ends.
long Client(int port, const std::string& prefix, const std::vector<std::pair<int, int>>& tiles,
            std::size_t start, Clock::time_point until, std::atomic<long>& wrong) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        ++wrong;
        return 0;
    }
    long done = 0;
    std::string pending;
    char buffer[65536];
    for (std::size_t i = start; Clock::now() < until; ++i) {
        const auto& [x, y] = tiles[i % tiles.size()];
        const std::string request = "GET " + prefix + std::to_string(Zoom) + "/" +
                                    std::to_string(x) + "/" + std::to_string(y) +
                                    ".png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()))
            break;
        std::size_t end = std::string::npos, length = 0;
        for (;;) {
            if (end == std::string::npos && (end = pending.find("\r\n\r\n")) != std::string::npos) {
                const std::size_t at = pending.find("Content-Length: ");
                length = at < end ? std::strtoul(pending.c_str() + at + 16, nullptr, 10) : 0;
                end += 4;
            }
            if (end != std::string::npos && pending.size() >= end + length)
                break;
            const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
            if (count <= 0) {
                ::close(fd);
                ++wrong;
                return done;
            }
            pending.append(buffer, static_cast<std::size_t>(count));
        }
        if (pending.compare(0, 12, "HTTP/1.1 200") != 0 || length != TileBytes)
            ++wrong;
        pending.erase(0, end + length);
        ++done;
    }
    ::close(fd);
    return done;
}

double RequestsPerSecond(int port, const std::string& prefix,
                         const std::vector<std::pair<int, int>>& tiles) {
    std::atomic<long> wrong{0};
    std::vector<long> counts(Clients);
    const auto start = Clock::now();
    const auto until = start + RunTime;
    {
        std::vector<std::jthread> threads;
        for (int c = 0; c < Clients; ++c)
            threads.emplace_back([&, c] {
                counts[static_cast<std::size_t>(c)] =
                    Client(port, prefix, tiles, tiles.size() / Clients * static_cast<std::size_t>(c),
                           until, wrong);
            });
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (wrong > 0)
        throw std::runtime_error(std::to_string(wrong.load()) + " wrong answers from port " +
                                 std::to_string(port) + prefix);
    long total = 0;
    for (const long count : counts)
        total += count;
    return static_cast<double>(total) / seconds;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long PeakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

class Nginx {
public:
    Nginx(const std::string& work, const std::string& root) : m_port(FreePort()) {
        const std::string conf = work + "/nginx.conf";
        std::ofstream(conf) << "daemon off;\nworker_processes 2;\npid " << work << "/nginx.pid;\n"
                            << "error_log " << work << "/nginx-error.log;\n"
                            << "events { worker_connections 1024; }\n"
                            << "http {\n  access_log off;\n  sendfile on;\n  tcp_nodelay on;\n"
                            << "  keepalive_requests 100000000;\n"
                            << "  types { image/png png; }\n"
                            << "  client_body_temp_path " << work << "/body;\n"
                            << "  server {\n    listen 127.0.0.1:" << m_port << ";\n    root "
                            << root << ";\n  }\n}\n";
        const char* nginx = std::getenv("NGINX");
        const std::string program = nginx ? nginx : "/usr/sbin/nginx";
        std::vector<std::string> args = {program, "-p", work, "-c", conf, "-e", work + "/nginx-error.log"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("nginx cannot be started: " + program);
        // Ready when it accepts.
        for (int i = 0; i < 200; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(m_port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (up)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        throw std::runtime_error("nginx did not start; see " + work + "/nginx-error.log");
    }
    ~Nginx() {
        ::kill(m_pid, SIGQUIT);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    int Port() const { return m_port; }

private:
    int m_port;
    pid_t m_pid = -1;
};

} // namespace

int main() {
    try {
        const fs::path work = fs::temp_directory_path() / ("serve_bench-" + std::to_string(::getpid()));
        fs::remove_all(work);
        fs::create_directories(work);
        quarrow::archive::ArchiveInfo info;
        info.Name = "bench";
        info.MinZoom = info.MaxZoom = Zoom;
        info.West = 116.3;
        info.East = 116.5;
        info.South = 39.8;
        info.North = 40.0;
        std::vector<std::pair<int, int>> tiles;
        {
            quarrow::archive::MBTilesWriter mbtiles((work / "bench.mbtiles").string(), info);
            quarrow::archive::XyzTreeWriter tree((work / "tree").string(), info);
            for (int x = X0; x < X0 + Side; ++x)
                for (int y = Y0; y < Y0 + Side; ++y) {
                    const std::string tile = TileOf(x, y);
                    mbtiles.AddTile(Zoom, x, y, tile, "");
                    tree.AddTile(Zoom, x, y, tile, "");
                    tiles.emplace_back(x, y);
                }
            mbtiles.Finish();
            tree.Finish();
        }
        std::shuffle(tiles.begin(), tiles.end(), std::mt19937(7));

        quarrow::tileservice::ServiceProcess quarrow(
            TILESERVICE_PATH, {"--serve", (work / "bench.mbtiles").string(), "--serve",
                               (work / "tree").string(), "--port", "0"});
        const Nginx nginx(work.string(), (work / "tree").string());
        std::vector<double> ours, theirs, ourTree;
        for (int run = 0; run < Runs; ++run) {
            ours.push_back(RequestsPerSecond(quarrow.Port(), "/bench/", tiles));
            theirs.push_back(RequestsPerSecond(nginx.Port(), "/", tiles));
            ourTree.push_back(RequestsPerSecond(quarrow.Port(), "/tree/", tiles));
            std::printf("run %d: quarrow_mbtiles_rps=%.0f nginx_rps=%.0f quarrow_xyz_rps=%.0f\n",
                        run + 1, ours.back(), theirs.back(), ourTree.back());
            std::fflush(stdout);
        }
        const long rss = PeakRssKb(quarrow.Pid());
        std::printf("serve_ratio=%.2f\nserve_rss_mb=%.1f\nxyz_ratio=%.2f\n",
                    Median(ours) / Median(theirs), static_cast<double>(rss) / 1024,
                    Median(ourTree) / Median(theirs));
        quarrow.Stop();
        fs::remove_all(work);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "serve_bench: %s\n", error.what());
        return 1;
    }
}
