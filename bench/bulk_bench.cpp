// The bulk path against curl: quarrow-batch (a custom source with Workers=8 and TileDelay=0) and
// curl --parallel --parallel-max 8 fetch the same 10,000 tiles (100 x 100 at zoom 14, 14 KB each)
// from one local server, interleaved, three runs each, over plain HTTP and over HTTPS (a
// certificate made with the openssl program). The server is this process: static bytes from
// memory, a thread per connection, one write per answer. Its own CPU time is measured beside the
// clients', to show that it is not what the clients wait for. The tiles go to a memory file system
// where there is one (BULK_BENCH_DIR names another folder).
//
// Prints per run the wall and CPU seconds of each client, then
//   cpu_ratio= wall_ratio= https_cpu_ratio= https_wall_ratio=  (Quarrow's median over curl's)
//   server_cpu_share=  (the server's CPU over the wall time of the runs, in cores)
//   small_task_s=  (an 8-tile task, from quarrow-batch's start to its exit)
//   small_ratio=  (that task's median wall time over curl's for the same 8 URLs)
// Goals: cpu_ratio <= 1.0, wall_ratio <= 1.0, https_cpu_ratio <= 1.0, small_task_s <= 0.3,
// small_ratio <= 3 (the task's own files are written durably; curl writes none).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "geo/Commonfunc.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int Zoom = 14;
constexpr int X0 = 13487, Y0 = 6200, Side = 100;
constexpr int Runs = 3;

double CpuSeconds(const rusage& usage) {
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A PNG as the download's checks read it (signature, IHDR of a tile, IEND), 14 KB in all.
std::string TileBody() {
    const auto big32 = [](std::uint32_t value) {
        std::string bytes(4, '\0');
        for (int i = 3; i >= 0; --i, value >>= 8)
            bytes[static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
        return bytes;
    };
    const auto chunk = [&](const std::string& type, const std::string& data) {
        return big32(static_cast<std::uint32_t>(data.size())) + type + data + big32(0);
    };
    std::string filler(14000, '\0');
    for (std::size_t i = 0; i < filler.size(); ++i)
        filler[i] = static_cast<char>('a' + i * 7 % 26);
    return "\x89PNG\r\n\x1A\n" +
           chunk("IHDR", big32(256) + big32(256) + std::string("\x08\x06\0\0\0", 5)) +
           chunk("tEXt", filler) + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
}

// The static server: every request head gets the same answer, on a kept connection.
class StaticServer {
public:
    StaticServer(std::string body, SSL_CTX* tls) : m_tls(tls) {
        m_answer = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body;
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listen, 64) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("the server cannot listen");
        m_port = ntohs(address.sin_port);
        m_accepting = std::thread([this] { Accept(); });
    }
    ~StaticServer() {
        ::shutdown(m_listen, SHUT_RDWR);
        m_accepting.join();
        ::close(m_listen);
        for (std::thread& connection : m_connections)
            connection.join();
    }
    int Port() const { return m_port; }

private:
    void Accept() {
        for (;;) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            m_connections.emplace_back([this, fd] { Serve(fd); });
        }
    }
    void Serve(int fd) {
        SSL* ssl = nullptr;
        if (m_tls) {
            ssl = SSL_new(m_tls);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                ::close(fd);
                return;
            }
        }
        std::string pending;
        char buffer[16384];
        for (;;) {
            const long got = ssl ? SSL_read(ssl, buffer, sizeof buffer)
                                 : ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            pending.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t end; (end = pending.find("\r\n\r\n")) != std::string::npos;) {
                pending.erase(0, end + 4);
                const bool sent =
                    ssl ? SSL_write(ssl, m_answer.data(), static_cast<int>(m_answer.size())) > 0
                        : ::send(fd, m_answer.data(), m_answer.size(), MSG_NOSIGNAL) ==
                              static_cast<ssize_t>(m_answer.size());
                if (!sent)
                    break;
            }
        }
        if (ssl)
            SSL_free(ssl);
        ::close(fd);
    }

    SSL_CTX* m_tls;
    std::string m_answer;
    int m_listen = -1;
    int m_port = 0;
    std::thread m_accepting;
    std::vector<std::thread> m_connections; // the accepting thread's alone until it is joined
};

struct Measured {
    double Wall = 0;
    double Cpu = 0;
};

// Runs the program to its end; its wall and CPU seconds.
Measured Run(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + words[0]);
    posix_spawn_file_actions_destroy(&quiet);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR)
            throw std::runtime_error("lost " + words[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(words[0] + " failed with status " + std::to_string(status));
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            CpuSeconds(usage)};
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// Every tile of the run's folder holds the body.
void Check(const std::string& folder, const std::string& body) {
    int tiles = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        if (bytes != body)
            throw std::runtime_error(entry.path().string() + " differs from the served tile");
        ++tiles;
    }
    if (tiles != Side * Side)
        throw std::runtime_error(folder + " holds " + std::to_string(tiles) + " tiles");
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: bulk_bench [QUARROW_BATCH]\n");
        return 2;
    }
    const std::string program = argc == 2 ? argv[1] : QUARROW_BATCH_PATH;
    // In memory where the system has a memory file system: the clients are measured, not the
    // disk's journal, whose pace changes from run to run.
    // BULK_BENCH_DIR puts them on a disk instead, to see what the flush of the saved tiles costs.
    std::error_code noShm;
    const char* chosen = std::getenv("BULK_BENCH_DIR");
    const fs::path base = chosen && *chosen ? fs::path(chosen)
                          : fs::is_directory("/dev/shm", noShm) ? fs::path("/dev/shm")
                                                                : fs::temp_directory_path();
    const fs::path work = base / ("bulk_bench_" + std::to_string(::getpid()));
    int status = 0;
    try {
        fs::create_directories(work / "prog" / "ini");
        fs::create_directories(work / "prog" / "blankimg");
        fs::copy_file(program, work / "prog" / "quarrow-batch");
        fs::permissions(work / "prog" / "quarrow-batch", fs::perms::owner_all);
        // The blank that Quarrow ships: a tile of another size is told from it by its size alone.
        fs::copy_file(BLANK_IMAGE_PATH, work / "prog" / "blankimg" / "blank.png");
        const std::string body = TileBody();
        const std::string cert = (work / "cert.pem").string(), key = (work / "key.pem").string();
        if (std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                         "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                         key + " -out " + cert + " 2>/dev/null")
                            .c_str()) != 0)
            throw std::runtime_error("openssl cannot make a certificate");
        SSL_CTX* tls = SSL_CTX_new(TLS_server_method());
        if (SSL_CTX_use_certificate_file(tls, cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_use_PrivateKey_file(tls, key.c_str(), SSL_FILETYPE_PEM) != 1)
            throw std::runtime_error("the server cannot use its certificate");
        StaticServer plain(body, nullptr), secure(body, tls);

        const auto url = [&](bool https, int x, int y) {
            return std::string(https ? "https" : "http") + "://127.0.0.1:" +
                   std::to_string(https ? secure.Port() : plain.Port()) + "/t/" +
                   std::to_string(Zoom) + "/" + std::to_string(x) + "/" + std::to_string(y) +
                   ".png";
        };
        Write((work / "prog" / "ini" / "config.ini").string(), "[Tls]\r\nCaFile=" + cert + "\r\n");
        std::string sources;
        for (const bool https : {false, true})
            sources += std::string("[") + (https ? "Secure" : "Plain") + "]\r\nMapView=" +
                       url(https, 0, 0).substr(0, url(https, 0, 0).find("/t/")) +
                       "/t/{z}/{x}/{y}.png\r\nWorkers=8\r\nTileDelay=0\r\n\r\n";
        Write((work / "prog" / "ini" / "sources.ini").string(), sources);
        for (const bool https : {false, true}) {
            std::string config;
            for (int x = X0; x < X0 + Side; ++x)
                for (int y = Y0; y < Y0 + Side; ++y)
                    config += "url = \"" + url(https, x, y) + "\"\noutput = \"" +
                              std::to_string(x) + "_" + std::to_string(y) + ".png\"\n";
            Write((work / (https ? "curl-https.cfg" : "curl-http.cfg")).string(), config);
        }
        char areaText[160];
        std::snprintf(areaText, sizeof areaText, "%.10f,%.10f,%.10f,%.10f",
                      quarrow::TileXToLon(X0 + 0.5, Zoom),
                      quarrow::TileYToLat(Y0 + Side - 0.5, Zoom),
                      quarrow::TileXToLon(X0 + Side - 0.5, Zoom), quarrow::TileYToLat(Y0 + 0.5, Zoom));

        rusage serverBefore{}, serverAfter{};
        double clientsWall = 0;
        getrusage(RUSAGE_SELF, &serverBefore);
        struct Series {
            std::vector<double> Wall, Cpu;
        } ours[2], curl[2];
        for (int run = 1; run <= Runs; ++run) {
            for (const bool https : {false, true}) {
                const std::string tag = std::string(https ? "https" : "http") + std::to_string(run);
                const fs::path q = work / ("q-" + tag), c = work / ("c-" + tag);
                const Measured quarrow = Run(
                    {(work / "prog" / "quarrow-batch").string(), "--source",
                     https ? "Secure" : "Plain", "--area", areaText, "--zoom",
                     std::to_string(Zoom), "--name", "bulk", "--folder", q.string()});
                Check((q / "bulk").string(), body);
                fs::create_directories(c);
                std::vector<std::string> curlWords = {
                    "curl",        "--parallel", "--parallel-max", "8", "-sSf", "--output-dir",
                    c.string(),    "-K",         (work / (https ? "curl-https.cfg" : "curl-http.cfg")).string()};
                if (https) {
                    curlWords.push_back("--cacert");
                    curlWords.push_back(cert);
                }
                const Measured curled = Run(curlWords);
                Check(c.string(), body);
                fs::remove_all(q);
                fs::remove_all(c);
                ours[https].Wall.push_back(quarrow.Wall);
                ours[https].Cpu.push_back(quarrow.Cpu);
                curl[https].Wall.push_back(curled.Wall);
                curl[https].Cpu.push_back(curled.Cpu);
                clientsWall += quarrow.Wall + curled.Wall;
                std::printf("%s: quarrow-batch wall=%.2f s cpu=%.2f s   curl wall=%.2f s cpu=%.2f s\n",
                            tag.c_str(), quarrow.Wall, quarrow.Cpu, curled.Wall, curled.Cpu);
                std::fflush(stdout);
            }
        }
        getrusage(RUSAGE_SELF, &serverAfter);

        // A small task: 8 tiles, from the program's start to its exit, five times.
        char smallArea[160];
        std::snprintf(smallArea, sizeof smallArea, "%.10f,%.10f,%.10f,%.10f",
                      quarrow::TileXToLon(X0 + 0.5, Zoom), quarrow::TileYToLat(Y0 + 3.5, Zoom),
                      quarrow::TileXToLon(X0 + 1.5, Zoom), quarrow::TileYToLat(Y0 + 0.5, Zoom));
        std::string smallConfig;
        for (int x = X0; x < X0 + 2; ++x)
            for (int y = Y0; y < Y0 + 4; ++y)
                smallConfig += "url = \"" + url(false, x, y) + "\"\noutput = \"" +
                               std::to_string(x) + "_" + std::to_string(y) + ".png\"\n";
        Write((work / "curl-small.cfg").string(), smallConfig);
        std::vector<double> small, smallCurl;
        for (int run = 1; run <= 5; ++run) {
            const fs::path q = work / ("small-" + std::to_string(run));
            const fs::path c = work / ("small-curl-" + std::to_string(run));
            small.push_back(Run({(work / "prog" / "quarrow-batch").string(), "--source", "Plain",
                                 "--area", smallArea, "--zoom", std::to_string(Zoom), "--name",
                                 "small", "--folder", q.string()})
                                .Wall);
            if (std::distance(fs::directory_iterator(q / "small"), {}) != 8)
                throw std::runtime_error("the small task did not save its 8 tiles");
            fs::create_directories(c);
            smallCurl.push_back(Run({"curl", "--parallel", "--parallel-max", "8", "-sSf",
                                     "--output-dir", c.string(), "-K",
                                     (work / "curl-small.cfg").string()})
                                    .Wall);
        }
        const double serverCpu = CpuSeconds(serverAfter) - CpuSeconds(serverBefore);
        std::printf("cpu_ratio=%.2f wall_ratio=%.2f https_cpu_ratio=%.2f https_wall_ratio=%.2f "
                    "server_cpu_share=%.2f small_task_s=%.3f small_ratio=%.2f\n",
                    Median(ours[0].Cpu) / Median(curl[0].Cpu),
                    Median(ours[0].Wall) / Median(curl[0].Wall),
                    Median(ours[1].Cpu) / Median(curl[1].Cpu),
                    Median(ours[1].Wall) / Median(curl[1].Wall), serverCpu / clientsWall,
                    Median(small), Median(small) / Median(smallCurl));
        SSL_CTX_free(tls);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bulk_bench: %s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return status;
}
