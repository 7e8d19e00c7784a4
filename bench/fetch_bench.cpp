// CPU time per tile fetch of our HTTP client against curl: both fetch the same URLs, one after
// the other over one kept connection, from the local tile service started for the purpose; once
// over plain HTTP, once over HTTPS (a self-signed certificate made with the openssl program).
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "download/Tls.h"
#include "download/httpclient.h"
#include "tools/tileservice/ServiceProcess.h"

extern char** environ;

namespace {

constexpr int Fetches = 2000;
constexpr int Rounds = 3; // the best round of each counts, so a busy moment does not decide

double Seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double CpuSeconds(const rusage& usage) {
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// The same 50 tiles over HTTPS, in the XYZ form of the service.
std::vector<std::string> SecureTileUrls(int port) {
    static constexpr std::array<const char*, 3> Kinds{"normal", "satellite", "terrain"};
    std::vector<std::string> urls;
    for (int i = 0; i < Fetches; ++i) {
        const int n = i % 50;
        urls.push_back("https://127.0.0.1:" + std::to_string(port) + "/xyz/" +
                       Kinds[static_cast<std::size_t>(n % 3)] + "/12/" +
                       std::to_string(2140 + n % 10) + "/" + std::to_string(1330 + n / 10) +
                       ".png");
    }
    return urls;
}

// The same 50 tiles of zoom level 12, map type by map type, cycled to the fetch count.
std::vector<std::string> TileUrls(int port) {
    static constexpr std::array<const char*, 3> Kinds{"normal", "satellite", "terrain"};
    std::vector<std::string> distinct;
    for (int i = 0; i < 50; ++i) {
        distinct.push_back("http://127.0.0.1:" + std::to_string(port) +
                           "/maptiler/v2/maptile/newest/" + Kinds[static_cast<std::size_t>(i % 3)] +
                           ".day/12/" + std::to_string(2140 + i % 10) + "/" +
                           std::to_string(1330 + i / 10) + "/256/png8");
    }
    std::vector<std::string> urls;
    for (int i = 0; i < Fetches; ++i) {
        urls.push_back(distinct[static_cast<std::size_t>(i) % distinct.size()]);
    }
    return urls;
}

// CPU seconds of this process for fetching every URL with one client, as a worker does.
double OursOnce(const std::vector<std::string>& urls, std::size_t& bytes,
                std::shared_ptr<const quarrow::TlsContext> tls = nullptr) {
    rusage before{};
    rusage after{};
    getrusage(RUSAGE_SELF, &before);
    TIdHTTP http;
    // Over TLS as a custom source's client: its connection kept across the tiles.
    http.Tls = std::move(tls);
    http.Rules.KeepAliveByHost = http.Tls != nullptr;
    bytes = 0;
    for (const std::string& url : urls) {
        std::string buffer;
        http.Get(url, buffer);
        bytes += buffer.size();
    }
    getrusage(RUSAGE_SELF, &after);
    return CpuSeconds(after) - CpuSeconds(before);
}

// CPU seconds of one curl process that fetches every URL of its configuration file.
double CurlOnce(const std::string& configFile, const std::string& caFile = {}) {
    std::vector<std::string> words = {"curl", "-sSf", "-K", configFile};
    if (!caFile.empty()) {
        words.push_back("--cacert");
        words.push_back(caFile);
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (const int error = posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ);
        error != 0) {
        throw std::runtime_error("cannot start curl: error " + std::to_string(error));
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("lost the curl process");
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("curl failed with status " + std::to_string(status));
    }
    return CpuSeconds(usage);
}

std::string WriteCurlConfig(const std::vector<std::string>& urls) {
    std::string path = (std::filesystem::temp_directory_path() / "fetch_bench_XXXXXX").string();
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    std::string text;
    for (const std::string& url : urls) {
        text += "url = \"" + url + "\"\noutput = \"/dev/null\"\n";
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) {
        unlink(path.c_str());
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

// The same comparison over HTTPS with a certificate made for the run.
int SecureRun() {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("fetch_bench_tls_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string cert = (folder / "cert.pem").string(), key = (folder / "key.pem").string();
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
        "-nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
        " -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
        throw std::runtime_error("cannot make a certificate with the openssl program");
    }
    quarrow::tileservice::ServiceProcess service(
        TILESERVICE_PATH, {"--port", "0", "--tls-cert", cert, "--tls-key", key});
    const std::vector<std::string> urls = SecureTileUrls(service.Port());
    auto tls = std::make_shared<const quarrow::TlsContext>(cert);
    std::size_t bytes = 0;
    OursOnce(std::vector<std::string>(urls.begin(), urls.begin() + 50), bytes, tls);
    const std::string configFile = WriteCurlConfig(urls);
    double ours = 1e9;
    double curl = 1e9;
    for (int round = 1; round <= Rounds; ++round) {
        const double oursRound = OursOnce(urls, bytes, tls);
        const double curlRound = CurlOnce(configFile, cert);
        std::printf("https round %d: ours %.3f s, curl %.3f s CPU for %d fetches (%zu bytes)\n",
                    round, oursRound, curlRound, Fetches, bytes);
        ours = std::min(ours, oursRound);
        curl = std::min(curl, curlRound);
    }
    unlink(configFile.c_str());
    std::filesystem::remove_all(folder);
    if (const int code = service.Stop(); code != 0) {
        std::fprintf(stderr, "fetch_bench: the HTTPS tile service ended with %d\n", code);
        return 1;
    }
    const double oursUs = ours * 1e6 / Fetches;
    const double curlUs = curl * 1e6 / Fetches;
    std::printf("https fetches=%d ours_us=%.2f curl_us=%.2f tls_ratio=%.3f\n", Fetches, oursUs,
                curlUs, oursUs / curlUs);
    return 0;
}

} // namespace

int main() {
    // Line by line, so the figures keep their order among the service's messages.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        quarrow::tileservice::ServiceProcess service(TILESERVICE_PATH, {"--port", "0"});
        const std::vector<std::string> urls = TileUrls(service.Port());
        std::printf("tile service: %s\n", service.FirstLine().c_str());

        // Every tile drawn once beforehand, so both clients are served from the service's cache.
        std::size_t bytes = 0;
        OursOnce(std::vector<std::string>(urls.begin(), urls.begin() + 50), bytes);

        const std::string configFile = WriteCurlConfig(urls);
        double ours = 1e9;
        double curl = 1e9;
        for (int round = 1; round <= Rounds; ++round) {
            const double oursRound = OursOnce(urls, bytes);
            const double curlRound = CurlOnce(configFile);
            std::printf("round %d: ours %.3f s, curl %.3f s CPU for %d fetches (%zu bytes)\n",
                        round, oursRound, curlRound, Fetches, bytes);
            ours = std::min(ours, oursRound);
            curl = std::min(curl, curlRound);
        }
        unlink(configFile.c_str());
        const int code = service.Stop();
        if (code != 0) {
            std::fprintf(stderr, "fetch_bench: the tile service ended with %d\n", code);
            return 1;
        }
        const double oursUs = ours * 1e6 / Fetches;
        const double curlUs = curl * 1e6 / Fetches;
        std::printf("fetches=%d ours_us=%.2f curl_us=%.2f ratio=%.3f\n", Fetches, oursUs, curlUs,
                    oursUs / curlUs);
        return SecureRun();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fetch_bench: %s\n", error.what());
        return 1;
    }
}
