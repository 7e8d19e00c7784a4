// Tests of the local tile service: tile paths, the drawn images, and the HTTP exchange on
// 127.0.0.1 with its injected faults, and the program's options and lifecycle.
#include "tools/tileservice/TileService.h"
#include "tools/tileservice/TilePath.h"
#include "tools/tileservice/TileRenderer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "download/httpclient.h"
#include "tests/tools/RawClient.h"
#include "tools/tileservice/ServiceProcess.h"

extern char** environ;

namespace quarrow::tileservice {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view PngSignature("\x89PNG\r\n\x1a\n", 8);

std::string TilePath(std::string_view kind, int z, int x, int y) {
    return "/maptiler/v2/maptile/newest/" + std::string(kind) + ".day/" + std::to_string(z) + "/" +
           std::to_string(x) + "/" + std::to_string(y) + "/256/png8";
}

// ---------------------------------------------------------------------------------------------
// Tile paths

struct PathCase {
    std::string Target;
    std::optional<TileRequest> Expected;
};

void PrintTo(const PathCase& c, std::ostream* out) {
    *out << '"' << c.Target << '"';
}

class TilePathTable : public testing::TestWithParam<PathCase> {};

TEST_P(TilePathTable, ReadsTheTileOrRefuses) {
    const PathCase& c = GetParam();
    const std::optional<TileRequest> tile = ParseTilePath(c.Target);
    ASSERT_EQ(tile.has_value(), c.Expected.has_value());
    if (tile) {
        EXPECT_EQ(tile->Kind, c.Expected->Kind);
        EXPECT_EQ(tile->Z, c.Expected->Z);
        EXPECT_EQ(tile->X, c.Expected->X);
        EXPECT_EQ(tile->Y, c.Expected->Y);
    }
}

constexpr std::string_view Base = "/maptiler/v2/maptile/newest/";

INSTANTIATE_TEST_SUITE_P(
    Valid, TilePathTable,
    testing::Values(
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0/0/256/png8",
                 TileRequest{MapKind::Normal, 1, 0, 0}},
        PathCase{"/maptiler/v2/maptile/newest/satellite.day/13/6742/3101/256/png8",
                 TileRequest{MapKind::Satellite, 13, 6742, 3101}},
        PathCase{"/maptiler/v2/maptile/newest/terrain.day/18/215828/99247/256/png8",
                 TileRequest{MapKind::Terrain, 18, 215828, 99247}},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/0/0/0/256/png8",
                 TileRequest{MapKind::Normal, 0, 0, 0}},
        // The last tile of the deepest level: 2^22 - 1.
        PathCase{"/maptiler/v2/maptile/newest/terrain.day/22/4194303/4194303/256/png8",
                 TileRequest{MapKind::Terrain, 22, 4194303, 4194303}},
        // Absolute form, as sent to a proxy; the scheme's letter case does not matter.
        PathCase{"http://127.0.0.1:8642/maptiler/v2/maptile/newest/normal.day/3/7/5/256/png8",
                 TileRequest{MapKind::Normal, 3, 7, 5}},
        PathCase{"HTTP://tiles.example/maptiler/v2/maptile/newest/satellite.day/2/3/1/256/png8",
                 TileRequest{MapKind::Satellite, 2, 3, 1}}));

INSTANTIATE_TEST_SUITE_P(
    OtherPaths, TilePathTable,
    testing::Values(
        PathCase{"/", std::nullopt}, PathCase{"", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/roads.day/1/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.night/1/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/Normal.day/1/0/0/256/png8", std::nullopt},
        PathCase{"/Maptiler/v2/maptile/newest/normal.day/1/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v1/maptile/newest/normal.day/1/0/0/256/png8", std::nullopt},
        PathCase{"maptiler/v2/maptile/newest/normal.day/1/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0/0/512/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0/0/256/png", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0/0/256/png8/", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0/0/256/png8?x=1", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0/0/256/png8#top", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day//0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0//256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/256/png8", std::nullopt},
        PathCase{"http://127.0.0.1:8642", std::nullopt},
        PathCase{"ftp://h/maptiler/v2/maptile/newest/normal.day/1/0/0/256/png8", std::nullopt}));

INSTANTIATE_TEST_SUITE_P(OutsideTheGrid, TilePathTable,
                         testing::Values(PathCase{TilePath("normal", 0, 1, 0), std::nullopt},
                                         PathCase{TilePath("normal", 0, 0, 1), std::nullopt},
                                         PathCase{TilePath("satellite", 1, 2, 0), std::nullopt},
                                         PathCase{TilePath("satellite", 1, 0, 2), std::nullopt},
                                         PathCase{TilePath("terrain", 13, 8192, 0), std::nullopt},
                                         PathCase{TilePath("terrain", 22, 4194304, 0),
                                                  std::nullopt},
                                         PathCase{TilePath("terrain", 23, 0, 0), std::nullopt},
                                         PathCase{TilePath("terrain", 99, 0, 0), std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    NotPlainDecimal, TilePathTable,
    testing::Values(
        PathCase{"/maptiler/v2/maptile/newest/normal.day/-1/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/-0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/+1/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/01/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/2/00/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/2/0/03/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/0x1/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/1.0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/ 1/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/1/1 /256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/a/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/%31/0/256/png8", std::nullopt},
        // Huge numbers neither overflow into the grid nor are cut to fit.
        PathCase{"/maptiler/v2/maptile/newest/normal.day/4294967297/0/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/1/4294967296/0/256/png8", std::nullopt},
        PathCase{"/maptiler/v2/maptile/newest/normal.day/22/0/"
                 "99999999999999999999999999999999/256/png8",
                 std::nullopt}));

TEST(TilePath, NamesEveryMapKindAsTheUrlDoes) {
    EXPECT_EQ(MapKindName(MapKind::Normal), "normal");
    EXPECT_EQ(MapKindName(MapKind::Satellite), "satellite");
    EXPECT_EQ(MapKindName(MapKind::Terrain), "terrain");
    for (const MapKind kind : {MapKind::Normal, MapKind::Satellite, MapKind::Terrain}) {
        const std::optional<TileRequest> tile = ParseTilePath(
            std::string(Base) + std::string(MapKindName(kind)) + ".day/5/6/7/256/png8");
        ASSERT_TRUE(tile.has_value());
        EXPECT_EQ(tile->Kind, kind);
    }
}

// ---------------------------------------------------------------------------------------------
// Tile images

QImage Decode(const std::string& png) {
    return QImage::fromData(QByteArray(png.data(), static_cast<qsizetype>(png.size())), "PNG");
}

TEST(TileImage, IsA256PixelSquarePng) {
    for (const MapKind kind : {MapKind::Normal, MapKind::Satellite, MapKind::Terrain}) {
        const std::string png = RenderTilePng({kind, 12, 2148, 1332});
        ASSERT_TRUE(png.starts_with(PngSignature));
        const QImage image = Decode(png);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.width(), 256);
        EXPECT_EQ(image.height(), 256);
    }
}

TEST(TileImage, IsDrawnTheSameEveryTime) {
    const TileRequest tile{MapKind::Terrain, 9, 300, 170};
    const std::string first = DrawTilePng(tile);
    EXPECT_EQ(DrawTilePng(tile), first);
    EXPECT_EQ(RenderTilePng(tile), first);
    EXPECT_EQ(RenderTilePng(tile), first);
}

TEST(TileImage, DiffersPerMapKindAndPerTile) {
    const QImage normal = Decode(RenderTilePng({MapKind::Normal, 5, 10, 12}));
    const QImage satellite = Decode(RenderTilePng({MapKind::Satellite, 5, 10, 12}));
    const QImage terrain = Decode(RenderTilePng({MapKind::Terrain, 5, 10, 12}));
    // Corners sit on the border, so compare the ground a little inside.
    const QColor groundN = normal.pixelColor(40, 20);
    const QColor groundS = satellite.pixelColor(40, 20);
    const QColor groundT = terrain.pixelColor(40, 20);
    EXPECT_NE(groundN, groundS);
    EXPECT_NE(groundN, groundT);
    EXPECT_NE(groundS, groundT);
    // The same map kind at other coordinates carries another text.
    EXPECT_NE(RenderTilePng({MapKind::Normal, 5, 10, 12}),
              RenderTilePng({MapKind::Normal, 5, 12, 10}));
    EXPECT_NE(RenderTilePng({MapKind::Normal, 5, 10, 12}),
              RenderTilePng({MapKind::Normal, 6, 10, 12}));
}

// A frame of one colour around every tile shows where tiles meet in a mosaic.
TEST(TileImage, HasABorderOfOneColour) {
    for (const MapKind kind : {MapKind::Normal, MapKind::Satellite, MapKind::Terrain}) {
        const QImage image = Decode(RenderTilePng({kind, 7, 64, 40}));
        const QRgb border = image.pixel(0, 0);
        for (int i = 0; i < 256; ++i) {
            for (const auto& [x, y] : {std::pair{i, 0}, std::pair{i, 255}, std::pair{0, i},
                                       std::pair{255, i}, std::pair{i, 1}, std::pair{254, i}}) {
                ASSERT_EQ(image.pixel(x, y), border) << "at " << x << "," << y;
            }
        }
        // The inner ground is not the frame's colour.
        EXPECT_NE(image.pixel(3, 3), border);
    }
}

// The address is written across the middle: that band holds many more colours than the ground.
TEST(TileImage, CarriesWrittenText) {
    const QImage image = Decode(RenderTilePng({MapKind::Normal, 12, 2148, 1332}));
    std::vector<QRgb> seen;
    for (int y = 100; y < 160; ++y) {
        for (int x = 20; x < 236; ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (std::find(seen.begin(), seen.end(), pixel) == seen.end()) {
                seen.push_back(pixel);
            }
        }
    }
    // Anti-aliased glyph edges give many shades; a blank band gives a handful.
    EXPECT_GT(seen.size(), 20U);
}

// ---------------------------------------------------------------------------------------------
// HTTP, through raw sockets so that the bytes on the wire are seen as sent

std::string Get(std::string_view target, std::string_view extraHeaders = "",
                std::string_view version = "HTTP/1.1") {
    return "GET " + std::string(target) + " " + std::string(version) + "\r\nHost: 127.0.0.1\r\n" +
           std::string(extraHeaders) + "\r\n";
}

// The validators of a tile's first picture.
std::string Validators(const TileRequest& tile) {
    return "ETag: \"" + std::string(MapKindName(tile.Kind)) + "-" + std::to_string(tile.Z) + "-" +
           std::to_string(tile.X) + "-" + std::to_string(tile.Y) + "-png-v1\"\r\n" +
           "Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n";
}

std::string PngAnswer(const TileRequest& tile, const std::string& more = "") {
    const std::string png = RenderTilePng(tile);
    return "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
           std::to_string(png.size()) + "\r\n" + Validators(tile) + more + "\r\n" + png;
}

const std::string NotFound =
    "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\nNot Found\n";

// Answers compared whole, but shown by their heads: PNG bodies are no reading matter.
testing::AssertionResult SameAnswer(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return testing::AssertionSuccess();
    }
    const auto shown = [](const std::string& answer) {
        const std::size_t end = answer.find("\r\n\r\n");
        return end == std::string::npos || answer.size() - end > 200
                   ? answer.substr(0, end) + "\n(" + std::to_string(answer.size()) + " bytes)"
                   : answer;
    };
    return testing::AssertionFailure() << "answer:\n"
                                       << shown(actual) << "\nexpected:\n"
                                       << shown(expected);
}

ServiceOptions OnAnyPort() {
    ServiceOptions options;
    options.Port = 0;
    return options;
}

TEST(TileServiceHttp, ListensOnTheLoopbackAddressAndTellsItsPort) {
    const TileService service(OnAnyPort());
    EXPECT_GT(service.Port(), 0);
    RawClient client(service.Port());
    EXPECT_TRUE(client.Connected());
}

TEST(TileServiceHttp, AnswersTwoRequestsOnOneConnection) {
    const TileService service(OnAnyPort());
    RawClient client(service.Port());
    const TileRequest first{MapKind::Normal, 12, 2148, 1332};
    const TileRequest second{MapKind::Satellite, 13, 6742, 3101};
    ASSERT_TRUE(client.Send(Get(TilePath("normal", 12, 2148, 1332))));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(), PngAnswer(first)));
    ASSERT_TRUE(
        client.Send(Get(TilePath("satellite", 13, 6742, 3101), "Connection: Keep_Alive\r\n")));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(), PngAnswer(second)));
}

TEST(TileServiceHttp, AnswersPipelinedRequestsInOrder) {
    const TileService service(OnAnyPort());
    RawClient client(service.Port());
    ASSERT_TRUE(client.Send(Get(TilePath("terrain", 3, 1, 2)) + Get("/nothing") +
                            Get(TilePath("terrain", 3, 2, 1))));
    EXPECT_TRUE(
        SameAnswer(client.ReadAnswer(), PngAnswer({MapKind::Terrain, 3, 1, 2})));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(), NotFound));
    EXPECT_TRUE(
        SameAnswer(client.ReadAnswer(), PngAnswer({MapKind::Terrain, 3, 2, 1})));
}

TEST(TileServiceHttp, AnswersOtherPathsAndTilesOutsideTheGridWith404AndStaysOpen) {
    const TileService service(OnAnyPort());
    RawClient client(service.Port());
    for (const std::string& target :
         {std::string("/"), std::string("/favicon.ico"), TilePath("normal", 2, 4, 0),
          TilePath("normal", 23, 0, 0), TilePath("hybrid", 1, 0, 0)}) {
        ASSERT_TRUE(client.Send(Get(target)));
        EXPECT_TRUE(SameAnswer(client.ReadAnswer(), NotFound)) << target;
    }
    ASSERT_TRUE(client.Send(Get(TilePath("normal", 2, 3, 0))));
    EXPECT_TRUE(
        SameAnswer(client.ReadAnswer(), PngAnswer({MapKind::Normal, 2, 3, 0})));
}

TEST(TileServiceHttp, ClosesAfterAnsweringHttp10OrConnectionClose) {
    const TileService service(OnAnyPort());
    const std::string closing = PngAnswer({MapKind::Normal, 1, 1, 1}, "Connection: close\r\n");
    for (const std::string& request :
         {Get(TilePath("normal", 1, 1, 1), "", "HTTP/1.0"),
          Get(TilePath("normal", 1, 1, 1), "Connection: close\r\n"),
          Get(TilePath("normal", 1, 1, 1), "connection: Upgrade, CLOSE\r\n")}) {
        RawClient client(service.Port());
        ASSERT_TRUE(client.Send(request));
        EXPECT_TRUE(SameAnswer(client.ReadAnswer(), closing)) << request;
        EXPECT_EQ(client.ReadEnd(), 0) << request;
    }
}

TEST(TileServiceHttp, AnswersHeadWithoutBody) {
    const TileService service(OnAnyPort());
    RawClient client(service.Port());
    const std::string png = RenderTilePng({MapKind::Satellite, 4, 3, 2});
    ASSERT_TRUE(client.Send("HEAD " + TilePath("satellite", 4, 3, 2) + " HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(true),
                           "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                               std::to_string(png.size()) + "\r\n" +
                               Validators({MapKind::Satellite, 4, 3, 2}) + "\r\n"));
    ASSERT_TRUE(client.Send(Get("/x")));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(), NotFound));
}

TEST(TileServiceHttp, RefusesOtherMethods) {
    const TileService service(OnAnyPort());
    RawClient client(service.Port());
    ASSERT_TRUE(client.Send("DELETE " + TilePath("normal", 1, 0, 0) + " HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(),
                           "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain\r\n"
                           "Content-Length: 19\r\nAllow: GET, HEAD\r\n\r\n"
                           "Method Not Allowed\n"));
}

const std::string BadRequest = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n"
                               "Content-Length: 12\r\nConnection: close\r\n\r\nBad Request\n";

TEST(TileServiceHttp, AnswersMalformedHeadsWith400AndCloses) {
    const TileService service(OnAnyPort());
    for (const std::string& request :
         {std::string("GARBAGE\r\n\r\n"), std::string("GET /\r\n\r\n"),
          std::string("GET / HTTP/2.0\r\n\r\n"), std::string("GET / http/1.1\r\n\r\n"),
          std::string("GET  HTTP/1.1\r\n\r\n"), std::string("G(T / HTTP/1.1\r\n\r\n"),
          std::string("GET /a\x01 HTTP/1.1\r\n\r\n"),
          std::string("GET / HTTP/1.1\r\nNo colon here\r\n\r\n"),
          std::string("GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n"),
          std::string("GET / HTTP/1.1\r\nBad Name: x\r\n\r\n")}) {
        RawClient client(service.Port());
        ASSERT_TRUE(client.Send(request));
        EXPECT_TRUE(SameAnswer(client.ReadAnswer(), BadRequest)) << request;
        EXPECT_EQ(client.ReadEnd(), 0) << request;
    }
}

TEST(TileServiceHttp, AcceptsBareLineFeedsAndLeadingEmptyLines) {
    const TileService service(OnAnyPort());
    RawClient client(service.Port());
    ASSERT_TRUE(client.Send("\r\n\nGET /none HTTP/1.1\nHost: 127.0.0.1\n\n"));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(), NotFound));
}

TEST(TileServiceHttp, RefusesAHeadBeyondItsBoundWith400) {
    const TileService service(OnAnyPort());
    RawClient client(service.Port());
    const std::string endless = "GET / HTTP/1.1\r\nX-Filler: " + std::string(20000, 'a');
    ASSERT_TRUE(client.Send(endless));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(), BadRequest));
    EXPECT_EQ(client.ReadEnd(), 0);
}

TEST(TileServiceHttp, ClosesAfterARequestWithABody) {
    const TileService service(OnAnyPort());
    RawClient client(service.Port());
    ASSERT_TRUE(client.Send(Get("/none", "Content-Length: 3\r\n") + "abc"));
    EXPECT_TRUE(SameAnswer(client.ReadAnswer(),
                           "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n"
                           "Content-Length: 10\r\nConnection: close\r\n\r\nNot Found\n"));
    EXPECT_EQ(client.ReadEnd(), 0);
}

struct FaultCase {
    const char* Name;
    double ServiceOptions::*Share;
    std::string Expected;
};

TEST(TileServiceFaults, AFullShareGivesThatAnswerToEveryRequest) {
    const std::string target = TilePath("normal", 3, 3, 3);
    const FaultCase cases[] = {
        {"404", &ServiceOptions::Share404, NotFound},
        {"403", &ServiceOptions::Share403,
         "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n"
         "Forbidden\n"},
        {"302", &ServiceOptions::Share302,
         "HTTP/1.1 302 Found\r\nContent-Type: text/plain\r\nContent-Length: 6\r\nLocation: /moved" +
             target + "\r\n\r\nFound\n"},
        {"500", &ServiceOptions::Share500,
         "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\nContent-Length: 22\r\n"
         "\r\nInternal Server Error\n"},
    };
    for (const FaultCase& c : cases) {
        ServiceOptions options = OnAnyPort();
        options.*c.Share = 1.0;
        const TileService service(options);
        RawClient client(service.Port());
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(client.Send(Get(target)));
            EXPECT_TRUE(SameAnswer(client.ReadAnswer(), c.Expected)) << c.Name;
        }
    }
}

TEST(TileServiceFaults, AFullResetShareResetsEveryConnection) {
    ServiceOptions options = OnAnyPort();
    options.ShareReset = 1.0;
    const TileService service(options);
    for (int i = 0; i < 2; ++i) {
        RawClient client(service.Port());
        ASSERT_TRUE(client.Send(Get(TilePath("normal", 1, 0, 0))));
        EXPECT_EQ(client.ReadEnd(), ECONNRESET);
    }
}

TEST(TileServiceFaults, APartialShareHitsAboutThatShareAndRepeatsWithTheSeed) {
    auto run = [](unsigned seed) {
        ServiceOptions options = OnAnyPort();
        options.Share404 = 0.25;
        options.Share500 = 0.25;
        options.Seed = seed;
        const TileService service(options);
        RawClient client(service.Port());
        std::string codes;
        for (int i = 0; i < 200; ++i) {
            EXPECT_TRUE(client.Send(Get(TilePath("normal", 2, 1, 1))));
            codes += client.ReadAnswer().substr(9, 1); // first digit of the status
        }
        return codes;
    };
    const std::string codes = run(7);
    const auto count = [&](char c) { return std::count(codes.begin(), codes.end(), c); };
    EXPECT_EQ(count('2') + count('4') + count('5'), 200);
    // Binomial(200, 0.25): a count outside 20..80 is beyond nine standard deviations.
    EXPECT_GT(count('4'), 20);
    EXPECT_LT(count('4'), 80);
    EXPECT_GT(count('5'), 20);
    EXPECT_LT(count('5'), 80);
    EXPECT_EQ(run(7), codes);
    EXPECT_NE(run(8), codes);
}

TEST(TileServiceFaults, DelaysEveryAnswer) {
    ServiceOptions options = OnAnyPort();
    options.DelayMs = 50;
    const TileService service(options);
    RawClient client(service.Port());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(client.Send(Get("/none")));
        EXPECT_TRUE(SameAnswer(client.ReadAnswer(), NotFound));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

// Stopping does not wait for a pending delay, an idle keep-alive client or a half-sent head.
TEST(TileServiceLifecycle, StopsPromptlyWithBusyAndIdleConnections) {
    ServiceOptions options = OnAnyPort();
    options.DelayMs = 600000;
    auto service = std::make_unique<TileService>(options);
    RawClient delayed(service->Port());
    RawClient idle(service->Port());
    RawClient halfway(service->Port());
    ASSERT_TRUE(delayed.Send(Get("/none")));
    ASSERT_TRUE(halfway.Send("GET / HTTP/1.1\r\nHost:"));
    const auto start = std::chrono::steady_clock::now();
    service.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // A connection still in the listen backlog can only be reset; none is left hanging.
    EXPECT_THAT(delayed.ReadEnd(), testing::AnyOf(0, ECONNRESET));
    EXPECT_THAT(idle.ReadEnd(), testing::AnyOf(0, ECONNRESET));
    EXPECT_THAT(halfway.ReadEnd(), testing::AnyOf(0, ECONNRESET));
}

TEST(TileServiceLifecycle, ServesEightClientsAtOnce) {
    const TileService service(OnAnyPort());
    constexpr int Clients = 8;
    std::vector<std::unique_ptr<RawClient>> owned;
    for (int i = 0; i < Clients; ++i) {
        owned.push_back(std::make_unique<RawClient>(service.Port()));
    }
    // Every client sends before any reads, so all eight connections are open at the same time.
    for (int i = 0; i < Clients; ++i) {
        ASSERT_TRUE(owned[static_cast<std::size_t>(i)]->Send(Get(TilePath("terrain", 10, i, 7))));
    }
    std::vector<std::string> answers(Clients);
    {
        std::vector<std::jthread> readers;
        for (int i = 0; i < Clients; ++i) {
            readers.emplace_back([&, i] {
                answers[static_cast<std::size_t>(i)] =
                    owned[static_cast<std::size_t>(i)]->ReadAnswer();
            });
        }
    }
    for (int i = 0; i < Clients; ++i) {
        EXPECT_TRUE(SameAnswer(answers[static_cast<std::size_t>(i)],
                               PngAnswer({MapKind::Terrain, 10, i, 7})));
    }
}

TEST(TileServiceLifecycle, ServesEightHttpClientsOnThreadsOfTheirOwn) {
    const TileService service(OnAnyPort());
    constexpr int Clients = 8;
    constexpr int TilesEach = 12;
    const std::string base = "http://127.0.0.1:" + std::to_string(service.Port());
    std::vector<std::string> failures(Clients);
    {
        std::vector<std::jthread> workers;
        for (int i = 0; i < Clients; ++i) {
            workers.emplace_back([&, i] {
                TIdHTTP http;
                for (int t = 0; t < TilesEach; ++t) {
                    const TileRequest tile{MapKind::Normal, 8, i, t};
                    std::string body;
                    try {
                        http.Get(base + TilePath("normal", 8, i, t), body);
                    } catch (const std::exception& error) {
                        failures[static_cast<std::size_t>(i)] += error.what();
                        continue;
                    }
                    if (body != RenderTilePng(tile)) {
                        failures[static_cast<std::size_t>(i)] += "wrong body; ";
                    }
                }
            });
        }
    }
    for (const std::string& failure : failures) {
        EXPECT_EQ(failure, "");
    }
}

// ---------------------------------------------------------------------------------------------
// Options

TEST(TileServiceOptions, RefusesWhatCannotBeServed) {
    const std::pair<void (*)(ServiceOptions&), std::string> cases[] = {
        {[](ServiceOptions& o) { o.Address = "localhost"; },
         "not a dotted IPv4 address: \"localhost\""},
        {[](ServiceOptions& o) { o.Address = "127.0.0.256"; },
         "not a dotted IPv4 address: \"127.0.0.256\""},
        {[](ServiceOptions& o) { o.Port = -1; }, "port outside 0..65535: -1"},
        {[](ServiceOptions& o) { o.Port = 65536; }, "port outside 0..65535: 65536"},
        {[](ServiceOptions& o) { o.Share404 = 1.5; }, "share of 404 answers outside 0..1: 1.5"},
        {[](ServiceOptions& o) { o.Share403 = -0.25; }, "share of 403 answers outside 0..1: -0.25"},
        {[](ServiceOptions& o) { o.Share302 = std::nan(""); },
         "share of 302 answers outside 0..1: nan"},
        {[](ServiceOptions& o) { o.ShareReset = 2; }, "share of reset answers outside 0..1: 2"},
        {[](ServiceOptions& o) {
             o.Share500 = 0.5;
             o.ShareReset = 0.75;
         },
         "the fault shares add up to more than 1: 1.25"},
        {[](ServiceOptions& o) { o.DelayMs = -5; }, "negative delay: -5"},
    };
    for (const auto& [change, message] : cases) {
        ServiceOptions options = OnAnyPort();
        change(options);
        EXPECT_EQ(ValidateOptions(options), message);
        try {
            const TileService service(options);
            ADD_FAILURE() << "served " << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
    ServiceOptions shares = OnAnyPort();
    shares.Share404 = 0.1;
    shares.Share403 = 0.2;
    shares.Share302 = 0.7;
    EXPECT_EQ(ValidateOptions(shares), "");
}

TEST(TileServiceOptions, ReportsAPortInUse) {
    const TileService first(OnAnyPort());
    ServiceOptions options;
    options.Port = first.Port();
    try {
        const TileService second(options);
        ADD_FAILURE() << "listened twice on one port";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot listen on 127.0.0.1:" + std::to_string(first.Port()) +
                      ": Address already in use");
    }
}

// ---------------------------------------------------------------------------------------------
// The program

struct Finished {
    int ExitCode;
    std::string Output;
    std::string Errors;
};

// Runs the program to its end with the arguments; both outputs are collected.
Finished RunProgram(const std::vector<std::string>& arguments) {
    std::vector<std::string> words{TILESERVICE_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Finished result{-1, {}, {}};
    pollfd entries[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (open > 0 && std::chrono::steady_clock::now() < until) {
        if (::poll(entries, 2, 1000) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (entries[i].fd < 0 || entries[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t count = ::read(entries[i].fd, chunk, sizeof chunk);
            if (count <= 0) {
                ::close(entries[i].fd);
                entries[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.Output : result.Errors)
                    .append(chunk, static_cast<std::size_t>(count));
            }
        }
    }
    for (const pollfd& entry : entries) {
        if (entry.fd >= 0) {
            ::kill(pid, SIGKILL);
            ::close(entry.fd);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

TEST(TileServiceProgram, RefusesBadOptionsWithExitCode2) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "tileservice: unknown option \"--bogus\"\n"},
        {{"8642"}, "tileservice: unknown option \"8642\"\n"},
        {{"--port"}, "tileservice: option --port needs a value\n"},
        {{"--port", "http"}, "tileservice: invalid value for --port: \"http\"\n"},
        {{"--port", "70000"}, "tileservice: invalid value for --port: \"70000\"\n"},
        {{"--port", "80x"}, "tileservice: invalid value for --port: \"80x\"\n"},
        {{"--share-404", "1.5"}, "tileservice: invalid value for --share-404: \"1.5\"\n"},
        {{"--share-reset=-0.1"}, "tileservice: invalid value for --share-reset: \"-0.1\"\n"},
        {{"--delay-ms", "-1"}, "tileservice: invalid value for --delay-ms: \"-1\"\n"},
        {{"--seed", "4294967296"}, "tileservice: invalid value for --seed: \"4294967296\"\n"},
        {{"--address", "example.org"}, "tileservice: not a dotted IPv4 address: \"example.org\"\n"},
        {{"--share-403", "0.5", "--share-500", "0.75"},
         "tileservice: the fault shares add up to more than 1: 1.25\n"},
    };
    for (const auto& [arguments, message] : cases) {
        const Finished finished = RunProgram(arguments);
        EXPECT_EQ(finished.ExitCode, 2) << message;
        EXPECT_EQ(finished.Output, "");
        EXPECT_EQ(finished.Errors, message + "Try \"tileservice --help\".\n");
    }
}

TEST(TileServiceProgram, ShowsItsOptionsOnRequest) {
    const Finished finished = RunProgram({"--help"});
    EXPECT_EQ(finished.ExitCode, 0);
    EXPECT_EQ(finished.Errors, "");
    for (const char* option : {"--address", "--port", "--share-404", "--share-403", "--share-302",
                               "--share-500", "--share-reset", "--delay-ms", "--seed"}) {
        EXPECT_NE(finished.Output.find(option), std::string::npos) << option;
    }
}

TEST(TileServiceProgram, ServesUntilTerminatedAndEndsCleanly) {
    ServiceProcess process(TILESERVICE_PATH, {"--port", "0", "--share-403=0"});
    EXPECT_EQ(process.FirstLine(), "listening on 127.0.0.1:" + std::to_string(process.Port()));
    RawClient client(process.Port());
    ASSERT_TRUE(client.Send(Get(TilePath("satellite", 6, 33, 21))));
    EXPECT_TRUE(
        SameAnswer(client.ReadAnswer(), PngAnswer({MapKind::Satellite, 6, 33, 21})));
    EXPECT_EQ(process.Stop(), 0);
    EXPECT_EQ(client.ReadEnd(), 0);
}

TEST(TileServiceProgram, InjectsTheFaultsItIsAskedFor) {
    ServiceProcess process(TILESERVICE_PATH, {"--port=0", "--share-500", "1", "--seed", "3"});
    RawClient client(process.Port());
    ASSERT_TRUE(client.Send(Get(TilePath("normal", 1, 0, 0))));
    EXPECT_EQ(client.ReadAnswer().substr(0, 35), "HTTP/1.1 500 Internal Server Error\r");
}

TEST(TileServiceHttp, AnswersConditionalRequestsWith304AndChangesEveryNthTile) {
    ServiceOptions options = OnAnyPort();
    options.ChangedEvery = 4;
    options.MaxAgeSeconds = 600;
    const TileService service(options);
    RawClient client(service.Port());
    const std::string path = TilePath("normal", 2, 1, 0); // index 1: unchanged
    const std::string v1 = "\"normal-2-1-0-png-v1\"";
    // clang-format off
    const std::pair<std::string, int> cases[] = {
        {"If-None-Match: " + v1 + "\r\n",                                   304},
        {"If-None-Match: \"other\", " + v1 + "\r\n",                        304},
        {"If-None-Match: \"other\"\r\n",                                    200},
        {"If-Modified-Since: Mon, 01 Jan 2024 00:00:00 GMT\r\n",            304},
        {"If-Modified-Since: Sun, 31 Dec 2023 23:59:59 GMT\r\n",            200},
        // If-None-Match decides over If-Modified-Since.
        {"If-None-Match: \"other\"\r\nIf-Modified-Since: Mon, 01 Jan 2024 00:00:00 GMT\r\n", 200},
    };
    // clang-format on
    for (const auto& [validators, code] : cases) {
        ASSERT_TRUE(client.Send(Get(path, validators)));
        const std::string answer = client.ReadAnswer();
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + std::to_string(code))) << validators << answer;
        EXPECT_NE(std::string::npos, answer.find("\r\nETag: " + v1 + "\r\n")) << answer;
        EXPECT_NE(std::string::npos, answer.find("\r\nCache-Control: max-age=600\r\n"));
        EXPECT_EQ(code == 304, answer.find("Content-Length") == std::string::npos) << answer;
    }
    // Tile 0 of the level is every 4th: a newer picture, validators and time of its own.
    ASSERT_TRUE(client.Send(Get(TilePath("normal", 2, 0, 0), "If-None-Match: \"normal-2-0-0-png-v1\"\r\n")));
    const std::string changed = client.ReadAnswer();
    EXPECT_TRUE(changed.starts_with("HTTP/1.1 200 OK\r\n")) << changed;
    EXPECT_NE(std::string::npos, changed.find("\r\nETag: \"normal-2-0-0-png-v2\"\r\n"));
    EXPECT_NE(std::string::npos, changed.find("\r\nLast-Modified: Fri, 01 Nov 2024 00:00:00 GMT\r\n"));
    TileRequest newer{MapKind::Normal, 2, 0, 0};
    newer.Changed = true;
    EXPECT_TRUE(changed.ends_with(RenderTilePng(newer)));
    EXPECT_NE(RenderTilePng(newer), RenderTilePng({MapKind::Normal, 2, 0, 0}));
}

} // namespace
} // namespace quarrow::tileservice
