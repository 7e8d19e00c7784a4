// The local tile service program: reads its options, listens, tells where on its first output
// line and serves until SIGINT or SIGTERM.
#include "ServedArchives.h"
#include "TileService.h"
#include "base/Exception.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <vector>

#include <QGuiApplication>

namespace {

using quarrow::tileservice::ServiceOptions;
using quarrow::tileservice::TileService;

constexpr std::string_view Usage =
    "Usage: tileservice [options]\n"
    "Answers GET /maptiler/v2/maptile/newest/{normal|satellite|terrain}.day/{z}/{x}/{y}/256/png8\n"
    "with a drawn 256x256 PNG of that tile, and GET "
    "/xyz/{normal|satellite|terrain}/{z}/{x}/{y}.png\n"
    "(or .jpg, .webp) with a PNG (or JPEG, WebP) of it.\n"
    "With --serve it serves tiles from disk instead, each PATH under its name:\n"
    "/NAME/{z}/{x}/{y}.png (or .jpg, .webp), /NAME/tilejson.json for GIS programs,\n"
    "/NAME/ a map page, and /NAME.pmtiles a PMTiles archive as it is.\n"
    "\n"
    "  --serve PATH       serve a task's .zav, an .mbtiles, .pmtiles or .sqlitedb file or a\n"
    "                     tile tree's folder (repeat for several; port 8643 unless told)\n"
    "  --address A        IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port P           port to listen on, 0 for any free one (default 8642)\n"
    "  --share-404 F      share of requests answered 404 Not Found (0..1, default 0)\n"
    "  --share-403 F      share of requests answered 403 Forbidden\n"
    "  --share-302 F      share of requests answered 302 Found\n"
    "  --share-500 F      share of requests answered 500 Internal Server Error\n"
    "  --share-reset F    share of requests answered by resetting the connection\n"
    "  --share-429 F      share of requests answered 429 Too Many Requests\n"
    "  --retry-after N    the Retry-After seconds of a 429 answer (default 1)\n"
    "  --tls-cert FILE    serve HTTPS with this PEM certificate (and chain)\n"
    "  --tls-key FILE     the certificate's PEM key\n"
    "  --delay-ms N       wait N milliseconds before every answer (default 0)\n"
    "  --seed N           seed of the fault draws (default 1)\n"
    "  --max-age N        tile answers say \"Cache-Control: max-age=N\"\n"
    "  --changed-every N  every Nth tile has a newer picture and validators (an update sees them)\n"
    "  --help             show this text\n"
    "\n"
    "The first output line is \"listening on <address>:<port>\".\n";

struct UsageError {
    std::string Message;
};

template <typename Number>
Number ParseNumber(std::string_view option, std::string_view text, Number lowest, Number highest) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= lowest) ||
        !(value <= highest)) {
        throw UsageError{"invalid value for " + std::string(option) + ": \"" + std::string(text) +
                         "\""};
    }
    return value;
}

// What is served from disk; the port it is served on unless --port says.
constexpr int ServePort = 8643;

// Options as "--name value" or "--name=value". nullopt when --help was asked for.
std::optional<ServiceOptions> ParseOptions(int argc, char** argv,
                                           std::vector<std::string>& served) {
    ServiceOptions options;
    bool portGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        std::optional<std::string_view> value;
        if (name == "--help" || name == "-h") {
            return std::nullopt;
        }
        if (const std::size_t equals = name.find('=');
            name.starts_with("--") && equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        double* share = name == "--share-404"     ? &options.Share404
                        : name == "--share-403"   ? &options.Share403
                        : name == "--share-302"   ? &options.Share302
                        : name == "--share-500"   ? &options.Share500
                        : name == "--share-reset" ? &options.ShareReset
                        : name == "--share-429"   ? &options.Share429
                                                  : nullptr;
        const bool known = share || name == "--address" || name == "--port" ||
                           name == "--delay-ms" || name == "--seed" || name == "--retry-after" ||
                           name == "--tls-cert" || name == "--tls-key" ||
                           name == "--max-age" || name == "--changed-every" ||
                           name == "--serve";
        if (!known) {
            throw UsageError{"unknown option \"" + std::string(name) + "\""};
        }
        if (!value) {
            if (i + 1 >= argc) {
                throw UsageError{"option " + std::string(name) + " needs a value"};
            }
            value = argv[++i];
        }
        if (share) {
            *share = ParseNumber(name, *value, 0.0, 1.0);
        } else if (name == "--address") {
            options.Address = std::string(*value);
        } else if (name == "--port") {
            options.Port = ParseNumber(name, *value, 0, 65535);
            portGiven = true;
        } else if (name == "--serve") {
            served.emplace_back(*value);
        } else if (name == "--delay-ms") {
            options.DelayMs = ParseNumber(name, *value, 0, std::numeric_limits<int>::max());
        } else if (name == "--retry-after") {
            options.RetryAfterSeconds = ParseNumber(name, *value, 0, 86400);
        } else if (name == "--tls-cert") {
            options.TlsCert = std::string(*value);
        } else if (name == "--tls-key") {
            options.TlsKey = std::string(*value);
        } else if (name == "--max-age") {
            options.MaxAgeSeconds = ParseNumber(name, *value, 0, std::numeric_limits<int>::max());
        } else if (name == "--changed-every") {
            options.ChangedEvery = ParseNumber(name, *value, 0, std::numeric_limits<int>::max());
        } else {
            options.Seed = ParseNumber(name, *value, 0U, std::numeric_limits<unsigned>::max());
        }
    }
    if (!served.empty() && !portGiven) {
        options.Port = ServePort;
    }
    if (const std::string problem = quarrow::tileservice::ValidateOptions(options);
        !problem.empty()) {
        throw UsageError{problem};
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<ServiceOptions> options;
    std::vector<std::string> served;
    try {
        options = ParseOptions(argc, argv, served);
    } catch (const UsageError& error) {
        std::cerr << "tileservice: " << error.Message << "\nTry \"tileservice --help\".\n";
        return 2;
    }
    if (!options) {
        std::cout << Usage << std::flush;
        return 0;
    }
    if (!served.empty()) {
        try {
            options->Served = std::make_shared<quarrow::tileservice::ServedArchives>(served);
        } catch (const quarrow::Exception& error) {
            std::cerr << "tileservice: " << error.what() << "\n";
            return 2;
        }
        for (const std::string& warning : options->Served->Warnings()) {
            std::cerr << "tileservice: " << warning << "\n";
        }
    }

    // Every thread inherits this mask, so the signals reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Tiles are drawn into images only; no display is needed.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Qt sees no options of ours.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QGuiApplication application(qtArgc, qtArgv);

    std::unique_ptr<TileService> service;
    try {
        service = std::make_unique<TileService>(*options);
    } catch (const std::exception& error) {
        std::cerr << "tileservice: " << error.what() << "\n";
        return 1;
    }
    std::cout << "listening on " << options->Address << ":" << service->Port() << std::endl;
    if (options->Served) {
        for (const auto& item : options->Served->Items()) {
            std::cout << "serving " << item.Path << " at http://" << options->Address << ":"
                      << service->Port() << "/" << item.Name << "/" << std::endl;
        }
    }

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    service.reset();
    return 0;
}
