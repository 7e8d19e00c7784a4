// The local tile server on what was downloaded: every kind of archive answers the task's tiles
// byte for byte, with 404, 304 and ranges; what cannot be served is refused at the start; and
// the map page shows the tiles where they belong in a real browser, from a file and from the
// server.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <gtest/gtest.h>

#include "combiner/CombineTask.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/TaskMaker.h"
#include "tests/support/TempDir.h"
#include "tests/tools/RawClient.h"
#include "tools/tileservice/ServedArchives.h"
#include "tools/tileservice/TileService.h"

namespace quarrow::tileservice {
namespace {

using test::ReadFileBytes;
using test::TempDir;

constexpr int Zoom = 13, X0 = 6740, Y0 = 3100;

// Six tiles, each a colour of its own; the one at (X0 + 2, Y0 + 1) is missing.
bool Missing(int x, int y) {
    return x == X0 + 2 && y == Y0 + 1;
}

QColor ColourOf(int x, int y) {
    return QColor::fromHsv(((x - X0) + 3 * (y - Y0)) * 60, 255, 220);
}

std::string SolidPng(const QColor& colour) {
    QImage image(256, 256, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

// The task and every archive the combiner makes of it, by the name each is served under.
struct Archives {
    TempDir Dir;
    std::string Task;
    std::vector<std::string> Paths;

    Archives() {
        Task = test::WriteTask(Dir.Path(), "task", Zoom, X0, Y0, 3, 2, [](int x, int y) {
            return Missing(x, y) ? std::string() : SolidPng(ColourOf(x, y));
        });
        Paths = {Task};
        const std::pair<const char*, combiner::OutputFormat> outputs[] = {
            {"mb.mbtiles", combiner::OutputFormat::MBTiles},
            {"pm.pmtiles", combiner::OutputFormat::PMTiles},
            {"osmand.sqlitedb", combiner::OutputFormat::OsmAnd},
            {"locus.sqlitedb", combiner::OutputFormat::RMaps},
            {"tree/", combiner::OutputFormat::Xyz}};
        for (const auto& [name, format] : outputs) {
            combiner::CombineOptions options;
            options.Format = format;
            combiner::Combine({Task}, Dir.Path() + name, options);
            Paths.push_back(Dir.Path() + name);
        }
    }

    std::string TileFile(int x, int y) const {
        return Dir.Path() + "task/zavm_" + std::to_string(x) + "_" + std::to_string(y) + "_13.png";
    }
};

struct Reply {
    int Code = 0;
    std::string Head;
    std::string Body;
    std::string Header(std::string_view name) const {
        const std::size_t at = Head.find("\r\n" + std::string(name) + ": ");
        if (at == std::string::npos)
            return {};
        const std::size_t from = at + name.size() + 4;
        return Head.substr(from, Head.find("\r\n", from) - from);
    }
};

Reply Ask(int port, std::string_view target, std::string_view headers = "") {
    RawClient client(port);
    client.Send("GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                std::string(headers) + "\r\n");
    const std::string answer = client.ReadAnswer();
    Reply reply;
    const std::size_t end = answer.find("\r\n\r\n");
    if (answer.size() < 12 || end == std::string::npos)
        return reply;
    reply.Code = std::stoi(answer.substr(9, 3));
    reply.Head = answer.substr(0, end + 2);
    reply.Body = answer.substr(end + 4);
    return reply;
}

TEST(ServedArchives, EveryKindAnswersTheTasksTilesAndNothingElse) {
    const Archives archives;
    // A link planted in the tree that leads out of it is not followed.
    const std::string planted = archives.Dir.Path() + "tree/13/6741/3100.png";
    std::filesystem::remove(planted);
    std::filesystem::create_symlink(archives.TileFile(X0 + 1, Y0), planted);
    // One that stays in the tree is followed, as trees that share equal tiles have them.
    const std::string shared = archives.Dir.Path() + "tree/shared.png";
    std::filesystem::rename(archives.Dir.Path() + "tree/13/6740/3101.png", shared);
    std::filesystem::create_symlink("../../shared.png", archives.Dir.Path() + "tree/13/6740/3101.png");

    ServiceOptions options;
    options.Port = 0;
    options.Served = std::make_shared<ServedArchives>(archives.Paths);
    const TileService service(options);
    const int port = service.Port();
    const std::vector<std::string> names = {"task", "mb", "pm", "osmand", "locus", "tree"};
    for (std::size_t i = 0; i < names.size(); ++i)
        ASSERT_EQ(names[i], options.Served->Items()[i].Name);

    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        for (int x = X0; x < X0 + 3; ++x)
            for (int y = Y0; y < Y0 + 2; ++y) {
                const std::string target = "/" + name + "/13/" + std::to_string(x) + "/" +
                                           std::to_string(y) + ".png";
                const Reply reply = Ask(port, target);
                if (Missing(x, y) || (name == "tree" && x == X0 + 1 && y == Y0)) {
                    EXPECT_EQ(404, reply.Code) << target;
                    continue;
                }
                ASSERT_EQ(200, reply.Code) << target;
                EXPECT_EQ("image/png", reply.Header("Content-Type"));
                EXPECT_EQ("*", reply.Header("Access-Control-Allow-Origin"));
                EXPECT_TRUE(reply.Body == ReadFileBytes(archives.TileFile(x, y))) << target;
                const std::string etag = reply.Header("ETag");
                EXPECT_EQ(304, Ask(port, target, "If-None-Match: " + etag + "\r\n").Code);
                EXPECT_EQ(200, Ask(port, target, "If-None-Match: \"other\"\r\n").Code);
            }
        for (const std::string wrong :
             {"/12/3370/1550.png", "/13/6740/3100.jpg", "/13/6740/3100", "/13/-1/3100.png",
              "/13/6740/99999999999.png", "/13/6740/../../../../etc/passwd",
              "/../../etc/passwd", "/leaflet/../tilejson.json", "/leaflet/../../task.zav"})
            EXPECT_EQ(404, Ask(port, "/" + name + wrong).Code) << name << wrong;

        const Reply json = Ask(port, "/" + name + "/tilejson.json");
        ASSERT_EQ(200, json.Code);
        EXPECT_NE(std::string::npos,
                  json.Body.find("\"tiles\": [\"http://127.0.0.1:" + std::to_string(port) + "/" +
                                 name + "/{z}/{x}/{y}.png\"]"))
            << json.Body;
        EXPECT_NE(std::string::npos, json.Body.find("\"minzoom\": 13,\n  \"maxzoom\": 13"));
        const Reply page = Ask(port, "/" + name + "/");
        EXPECT_NE(std::string::npos, page.Body.find("L.tileLayer('{z}/{x}/{y}.png'"));
        EXPECT_EQ(200, Ask(port, "/" + name + "/leaflet/leaflet.css").Code);
        const Reply moved = Ask(port, "/" + name);
        EXPECT_EQ(301, moved.Code);
        EXPECT_EQ("/" + name + "/", moved.Header("Location"));
    }

    // The PMTiles archive as it is, in ranges.
    const std::string file = ReadFileBytes(archives.Dir.Path() + "pm.pmtiles");
    const std::string size = std::to_string(file.size());
    struct RangeCase {
        std::string Range;
        int Code;
        std::string Body;
        std::string ContentRange;
    };
    const RangeCase ranges[] = {
        {"", 200, file, ""},
        {"bytes=0-6", 206, "PMTiles", "bytes 0-6/" + size},
        {"bytes=-4", 206, file.substr(file.size() - 4), "bytes " + std::to_string(file.size() - 4) +
                                                            "-" + std::to_string(file.size() - 1) +
                                                            "/" + size},
        {"bytes=100-", 206, file.substr(100), "bytes 100-" + std::to_string(file.size() - 1) + "/" + size},
        {"bytes=5-999999999", 206, file.substr(5), "bytes 5-" + std::to_string(file.size() - 1) + "/" + size},
        {"bytes=" + size + "-", 416, "Range Not Satisfiable\n", "bytes */" + size},
        {"bytes=0-1,4-5", 200, file, ""}, // a list of ranges: the whole file
        {"bytes=7-3", 200, file, ""},     // no range at all
    };
    for (const RangeCase& c : ranges) {
        const Reply reply =
            Ask(port, "/pm.pmtiles", c.Range.empty() ? "" : "Range: " + c.Range + "\r\n");
        EXPECT_EQ(c.Code, reply.Code) << c.Range;
        EXPECT_TRUE(reply.Body == c.Body) << c.Range;
        EXPECT_EQ(c.ContentRange, reply.Header("Content-Range")) << c.Range;
    }
    EXPECT_EQ(404, Ask(port, "/mb.pmtiles").Code);
}

TEST(ServedArchives, WhatCannotBeServedIsRefusedAtTheStartWithItsReason) {
    const TempDir dir;
    const std::string fifo = dir.Path() + "pipe.mbtiles";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    test::WriteFileBytes(dir.Path() + "broken.mbtiles", "SQLite format 3 but not really");
    test::WriteFileBytes(dir.Path() + "broken.pmtiles", std::string("PMTiles\x03", 8) + "short");
    // A whole header whose root directory lies beyond the file's end.
    std::string header("PMTiles\x03", 8);
    for (const std::uint64_t value : {1000, 40, 0, 0, 127, 0, 127, 0})
        for (int i = 0; i < 8; ++i)
            header += static_cast<char>((value >> (8 * i)) & 0xFF);
    header.resize(127, '\0');
    header[97] = 2;  // gzip directories
    header[99] = 2;  // png
    header[101] = 14;
    test::WriteFileBytes(dir.Path() + "cut.pmtiles", header);
    test::WriteFileBytes(dir.Path() + "notes.txt", "hello");
    std::filesystem::create_directory(dir.Path() + "empty");
    std::filesystem::create_directory(dir.Path() + "vector");
    test::WriteFileBytes(dir.Path() + "vector/tilejson.json",
                         "{\"tiles\": [\"{z}/{x}/{y}.pbf\"], \"minzoom\": 0, \"maxzoom\": 14}");
    const std::pair<std::string, std::string> cases[] = {
        {dir.Path() + "none.mbtiles", "does not exist"},
        {fifo, "is no regular file"},
        {dir.Path() + "broken.mbtiles", "is no MBTiles file"},
        {dir.Path() + "broken.pmtiles", "is no PMTiles archive"},
        {dir.Path() + "cut.pmtiles", "is a damaged PMTiles archive"},
        {dir.Path() + "notes.txt", "is none of what Quarrow serves"},
        {dir.Path() + "empty", "holds no tile tree"},
        {dir.Path() + "vector", "holds tiles of a kind Quarrow does not serve"},
    };
    for (const auto& [path, reason] : cases) {
        const test::ProgramRun run =
            test::RunProgram(TILESERVICE_PATH, {"--serve", path, "--port", "0"}, {},
                             std::chrono::seconds(20));
        EXPECT_EQ(2, run.ExitCode) << path;
        EXPECT_NE(std::string::npos, run.Err.find(path + " " + reason)) << run.Err;
        EXPECT_EQ("", run.Out);
    }
}

// --- The page in a real browser ---

// Chromium's screenshot of the page; empty when it made none.
QImage Screenshot(const std::string& browser, const std::string& url, const TempDir& dir) {
    const std::string shot = dir.Path() + "shot.png";
    std::filesystem::remove(shot);
    const test::ProgramRun run = test::RunProgram(
        browser,
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
         "--hide-scrollbars", "--no-first-run",
         "--user-data-dir=" + dir.Path() + "profile", "--window-size=800,600",
         "--virtual-time-budget=10000", "--screenshot=" + shot, url},
        {}, std::chrono::seconds(50));
    EXPECT_EQ(0, run.ExitCode) << run.Err;
    return QImage(QString::fromStdString(shot));
}

// Each tile's colour found where the map puts the tiles: a square of 256 pixels, its neighbours
// 256 pixels to the right and below.
void ExpectTilesInPlace(const QImage& shot, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_FALSE(shot.isNull());
    struct Box {
        int Left = 1 << 20, Top = 1 << 20, Right = -1, Bottom = -1;
        long Pixels = 0;
    };
    std::map<std::pair<int, int>, Box> boxes;
    for (int py = 0; py < shot.height(); ++py)
        for (int px = 0; px < shot.width(); ++px) {
            const QColor seen = shot.pixelColor(px, py);
            for (int x = X0; x < X0 + 3; ++x)
                for (int y = Y0; y < Y0 + 2; ++y) {
                    const QColor want = ColourOf(x, y);
                    if (std::abs(seen.red() - want.red()) > 3 ||
                        std::abs(seen.green() - want.green()) > 3 ||
                        std::abs(seen.blue() - want.blue()) > 3)
                        continue;
                    Box& box = boxes[{x, y}];
                    box.Left = std::min(box.Left, px);
                    box.Top = std::min(box.Top, py);
                    box.Right = std::max(box.Right, px);
                    box.Bottom = std::max(box.Bottom, py);
                    ++box.Pixels;
                }
        }
    const Box& first = boxes[{X0, Y0}];
    for (int x = X0; x < X0 + 3; ++x)
        for (int y = Y0; y < Y0 + 2; ++y) {
            const Box& box = boxes[{x, y}];
            if (Missing(x, y)) {
                EXPECT_EQ(0, box.Pixels);
                continue;
            }
            EXPECT_GT(box.Pixels, 256 * 256 * 8 / 10) << x << "," << y;
            EXPECT_EQ(255, box.Right - box.Left) << x << "," << y;
            EXPECT_EQ(255, box.Bottom - box.Top) << x << "," << y;
            EXPECT_EQ(first.Left + 256 * (x - X0), box.Left) << x << "," << y;
            EXPECT_EQ(first.Top + 256 * (y - Y0), box.Top) << x << "," << y;
        }
}

TEST(MapPage, ShowsTheTilesWhereTheyBelongFromAFileAndFromTheServer) {
    const char* own = std::getenv("QUARROW_CHROMIUM");
    const std::string browser = own && *own ? own : "/usr/bin/chromium";
    if (::access(browser.c_str(), X_OK) != 0)
        GTEST_SKIP() << "No browser at " << browser
                     << ": install Debian's chromium (scripts/install-deps.sh does) to run it.";
    const Archives archives;
    ExpectTilesInPlace(Screenshot(browser, "file://" + archives.Dir.Path() + "tree/index.html",
                                  archives.Dir),
                       "the tree's index.html");

    ServiceOptions options;
    options.Port = 0;
    options.Served = std::make_shared<ServedArchives>(std::vector<std::string>{archives.Task});
    const TileService service(options);
    ExpectTilesInPlace(Screenshot(browser,
                                  "http://127.0.0.1:" + std::to_string(service.Port()) + "/task/",
                                  archives.Dir),
                       "the server's page of the task");
}

} // namespace
} // namespace quarrow::tileservice
