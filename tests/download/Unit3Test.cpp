// The download worker against a scripted server on 127.0.0.1: shares, resume, every outcome with
// its lines, files and waits, stops, and the consistency of the last position.
#include "download/Tls.h"
#include "download/Unit3.h"
#include "download/WorkerGate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "geo/Commonfunc.h"
#include "engine/Unitclasstask.h"
#include "tests/download/RecordingHost.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace quarrow {

// Builds workers whose requests go through a replacement of TIdHTTP::Get.
class TDownThreadTestAccess {
public:
    template <typename Get>
    static std::unique_ptr<TDownThread> Create(int slot, std::shared_ptr<const DownloadTask> task,
                                               WorkerHost& host, Get get) {
        return std::unique_ptr<TDownThread>(
            new TDownThread(slot, std::move(task), host, TDownThread::GetFunction(get)));
    }
};

namespace {

using test::LoopbackServer;
using test::ReadFileBytes;
using test::RecordingHost;
using test::RefusingPort;
using test::ServerConnection;
using test::TempDir;
using test::TilePng;
using test::WorkerHandle;
using test::WriteFileBytes;

const std::string BlankBytes = std::string("\x89PNG blank\r\n\x1a\n\0tile", 19);

struct Reply {
    bool Reset = false;
    std::string Bytes;
};

Reply Answer(const std::string& statusLine, const std::string& body = "") {
    return {false, "HTTP/1.1 " + statusLine + "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n" + body};
}

Reply ResetReply() {
    return {true, ""};
}

// The request target of the first line of a request head.
std::string TargetOf(const std::string& head) {
    const std::size_t start = head.find(' ') + 1;
    return head.substr(start, head.find(' ', start) - start);
}

// Answers every request as the responder says, recording every request head.
class TileServer {
public:
    using Responder = std::function<Reply(const std::string& target, int index)>;

    explicit TileServer(Responder responder)
        : m_responder(std::move(responder)), m_server([this](ServerConnection& connection) {
              // Like a keep-alive server: answers on one connection until the client closes it.
              for (;;) {
                  const std::string head = connection.ReadRequest();
                  if (head.empty())
                      return;
                  int index = 0;
                  {
                      std::lock_guard lock(m_mutex);
                      index = static_cast<int>(m_heads.size());
                      m_heads.push_back(head);
                  }
                  const Reply reply = m_responder(TargetOf(head), index);
                  if (!reply.Bytes.empty())
                      connection.Send(reply.Bytes);
                  if (reply.Reset) {
                      connection.Reset();
                      return;
                  }
              }
          }) {}

    int Port() const { return m_server.Port(); }

    std::vector<std::string> Heads() const {
        std::lock_guard lock(m_mutex);
        return m_heads;
    }
    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        for (const std::string& head : Heads())
            targets.push_back(TargetOf(head));
        return targets;
    }

private:
    Responder m_responder;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_heads;
    LoopbackServer m_server; // last: its threads use the members above
};

constexpr int Zoom = 10;
constexpr int X0 = 811;
constexpr int Y0 = 402;

// Names written out here rather than taken from the task, so the worker's use of them is checked.
std::string FileName(int x, int y) {
    return "zavm_" + std::to_string(x) + "_" + std::to_string(y) + "_" + std::to_string(Zoom) +
           ".png";
}
std::string Target(int x, int y) {
    return "/maptiler/v2/maptile/newest/normal.day/" + std::to_string(Zoom) + "/" +
           std::to_string(x) + "/" + std::to_string(y) + "/256/png8";
}
std::string BodyOf(const std::string& target) {
    return "tile at " + target;
}

class WorkerTest : public ::testing::Test {
protected:
    WorkerTest() {
        std::filesystem::create_directory(m_exe.Path() + "blankimg");
        WriteFileBytes(BlankPath(), BlankBytes);
    }

    void TearDown() override {
        EXPECT_EQ(0, m_host.CallsOutsideSynchronize());
        // WorkerDone is each worker's last act; with one worker nothing follows it.
        const std::vector<std::size_t> whenDone = m_host.LogLinesWhenDone();
        if (whenDone.size() == 1) {
            EXPECT_EQ(m_host.Log().size(), whenDone[0]);
        }
    }

    std::string BlankPath() const { return m_exe.Path() + "blankimg/blank.png"; }

    // A task of columns x0 .. x0 + columns - 1 and rows y0 .. y0 + rows - 1 at zoom z.
    std::shared_ptr<DownloadTask> MakeTask(int port, int columns, int rows, int threadCount,
                                           int z = Zoom, int x0 = X0, int y0 = Y0) {
        auto params = std::make_shared<TaskParams>();
        params->LeftLongitude = TileXToLon(x0 + 0.5, z);
        params->RightLongitude = TileXToLon(x0 + columns - 0.5, z);
        params->TopLatitude = TileYToLat(y0 + 0.5, z);
        params->BottomLatitude = TileYToLat(y0 + rows - 0.5, z);
        params->Zoom = z;
        params->MapsType = 17;
        params->SavePath = m_save.Path();
        params->ProjectName = "task.zav";
        params->ServiceHost = "127.0.0.1:" + std::to_string(port);
        auto task = std::make_shared<DownloadTask>(params);
        params->ThreadCount = threadCount;
        EXPECT_EQ(x0, task->MinX);
        EXPECT_EQ(y0, task->MinY);
        EXPECT_EQ(x0 + columns - 1, task->MaxX);
        EXPECT_EQ(y0 + rows - 1, task->MaxY);
        return task;
    }

    std::string TilePath(int x, int y) const { return m_save.Path() + "task/" + FileName(x, y); }
    std::string Url(int port, int x, int y) const {
        return "http://127.0.0.1:" + std::to_string(port) + Target(x, y);
    }

    // Runs the workers of these slots to their end and returns their last positions.
    std::vector<std::pair<int, int>> Run(const std::shared_ptr<const DownloadTask>& task,
                                         const std::vector<int>& slots) {
        std::vector<std::unique_ptr<TDownThread>> workers;
        for (int slot : slots)
            workers.push_back(std::make_unique<TDownThread>(slot, task, m_host));
        return Finish(workers);
    }

    std::pair<int, int> RunOne(const std::shared_ptr<const DownloadTask>& task, int slot = 0) {
        return Run(task, {slot}).front();
    }

    std::vector<std::pair<int, int>> Finish(std::vector<std::unique_ptr<TDownThread>>& workers) {
        const bool ended = m_host.WaitForWorkers(static_cast<int>(workers.size()));
        EXPECT_TRUE(ended) << "the workers did not end";
        if (!ended) {
            for (auto& worker : workers)
                worker->Terminate();
        }
        std::vector<std::pair<int, int>> positions;
        for (auto& worker : workers)
            positions.push_back(worker->LastPosition());
        workers.clear();
        EXPECT_EQ(static_cast<int>(positions.size()), m_host.Done());
        return positions;
    }

    TempDir m_save;
    TempDir m_exe;
    RecordingHost m_host{m_exe.Path()};
};

Reply ServeTiles(const std::string& target, int) {
    return Answer("200 OK", BodyOf(target));
}

// The lines of one worker (slot counted from 1), in the order it sent them.
std::vector<std::string> LinesOf(const std::vector<std::string>& log, int n) {
    std::vector<std::string> lines;
    const std::string tag = "T" + std::to_string(n);
    for (const std::string& line : log) {
        if (line.rfind(tag + ":", 0) == 0 || line.rfind(tag + " ", 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

std::string SavedLine(int n, int seq, int x, int y) {
    return "T" + std::to_string(n) + ":seq=" + std::to_string(seq) + "," + FileName(x, y) + " OK";
}
std::string BlankLine(int n, int x, int y) {
    return "T" + std::to_string(n) + ":" + std::to_string(x) + "-" + std::to_string(y) +
           " got a blank image!";
}
std::string FinishedLine(int n) {
    return "T" + std::to_string(n) + " Finished.";
}

const std::string RefusedLine = "Error: may be your IP is banned.\nPlease try again later.";
const std::string NetworkLine = "Error: Your network has problem, please check it.";

// --- Shares and sequence numbers ---

TEST_F(WorkerTest, EightWorkersShareNineTilesBySequenceNumberModuloEight) {
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 3, 3, 8);
    Run(task, {0, 1, 2, 3, 4, 5, 6, 7});

    const std::vector<std::string> log = m_host.Log();
    // Tile 1 (top of the first column) by slot 1, tile 8 by slot 0, tile 9 by slot 1 again.
    EXPECT_EQ((std::vector<std::string>{SavedLine(1, 8, X0 + 2, Y0 + 1), FinishedLine(1)}),
              LinesOf(log, 1));
    EXPECT_EQ((std::vector<std::string>{SavedLine(2, 1, X0, Y0), SavedLine(2, 9, X0 + 2, Y0 + 2),
                                        FinishedLine(2)}),
              LinesOf(log, 2));
    for (int slot = 2; slot < 8; ++slot) {
        const int seq = slot;
        const int x = X0 + (seq - 1) / 3;
        const int y = Y0 + (seq - 1) % 3;
        EXPECT_EQ(
            (std::vector<std::string>{SavedLine(slot + 1, seq, x, y), FinishedLine(slot + 1)}),
            LinesOf(log, slot + 1));
    }
    EXPECT_EQ(17u, log.size());
    EXPECT_TRUE(m_host.Failed().empty());

    std::vector<std::string> targets = server.Targets();
    std::sort(targets.begin(), targets.end());
    std::vector<std::string> expected;
    for (int x = X0; x < X0 + 3; ++x) {
        for (int y = Y0; y < Y0 + 3; ++y) {
            expected.push_back(Target(x, y));
            EXPECT_EQ(BodyOf(Target(x, y)), ReadFileBytes(TilePath(x, y)));
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, targets);
}

TEST_F(WorkerTest, ThreeTilesForThreeWorkers) {
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 1, 3, 3);
    const auto positions = Run(task, {0, 1, 2});

    const std::vector<std::string> log = m_host.Log();
    EXPECT_EQ((std::vector<std::string>{SavedLine(1, 3, X0, Y0 + 2), FinishedLine(1)}),
              LinesOf(log, 1));
    EXPECT_EQ((std::vector<std::string>{SavedLine(2, 1, X0, Y0), FinishedLine(2)}),
              LinesOf(log, 2));
    EXPECT_EQ((std::vector<std::string>{SavedLine(3, 2, X0, Y0 + 1), FinishedLine(3)}),
              LinesOf(log, 3));
    EXPECT_EQ(6u, log.size());
    EXPECT_EQ((std::vector<std::pair<int, int>>{{X0, Y0 + 2}, {X0, Y0}, {X0, Y0 + 1}}), positions);
}

TEST_F(WorkerTest, SequenceNumbersCountTheWholeTaskAndWaitsFollowSavedTiles) {
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 2, 10, 8);
    const auto position = RunOne(task, 2);

    // Tiles 2, 10 and 18 of the task: rows 1 and 9 of the first column, row 7 of the second.
    EXPECT_EQ((std::vector<std::string>{SavedLine(3, 2, X0, Y0 + 1), SavedLine(3, 10, X0, Y0 + 9),
                                        SavedLine(3, 18, X0 + 1, Y0 + 7), FinishedLine(3)}),
              m_host.Log());
    EXPECT_EQ(
        (std::vector<std::string>{Target(X0, Y0 + 1), Target(X0, Y0 + 9), Target(X0 + 1, Y0 + 7)}),
        server.Targets());
    EXPECT_EQ((std::vector<int>{200, 1000, 1000, 1000}), m_host.Sleeps());
    EXPECT_EQ(std::make_pair(X0 + 1, Y0 + 7), position);
}

TEST_F(WorkerTest, RequestsCarryOnlyTheDefaultHeaders) {
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 1, 1, 1);
    RunOne(task);
    EXPECT_EQ((std::vector<std::string>{"GET " + Target(X0, Y0) +
                                        " HTTP/1.1\r\n"
                                        "Host: 127.0.0.1\r\n"
                                        "Accept: text/html, */*\r\n"
                                        "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
                                        "\r\n"}),
              server.Heads());
}

// --- Resume ---

struct ResumeCase {
    const char* Name;
    int Zoom, X0, Y0;
    int ResumeX, ResumeY;
    std::vector<int> Fetched; // sequence numbers of a 2 x 2 task, one worker
    std::vector<int> Empty = {}; // tiles whose files are there, empty
};

void PrintTo(const ResumeCase& c, std::ostream* out) {
    *out << c.Name;
}

class WorkerResumeTest : public WorkerTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(WorkerResumeTest, SkipsUpToTheResumeTile) {
    const ResumeCase& c = GetParam();
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 2, 2, 1, c.Zoom, c.X0, c.Y0);
    task->ResumeX[0] = c.ResumeX;
    task->ResumeY[0] = c.ResumeY;
    // Files that a power cut left without their bytes.
    for (const int seq : c.Empty)
        WriteFileBytes(task->TilePath(c.X0 + (seq - 1) / 2, c.Y0 + (seq - 1) % 2), "");
    RunOne(task);

    std::vector<std::string> targets;
    std::vector<std::string> lines;
    for (int seq : c.Fetched) {
        const std::string x = std::to_string(c.X0 + (seq - 1) / 2);
        const std::string y = std::to_string(c.Y0 + (seq - 1) % 2);
        const std::string z = std::to_string(c.Zoom);
        targets.push_back("/maptiler/v2/maptile/newest/normal.day/" + z + "/" + x + "/" + y +
                          "/256/png8");
        lines.push_back("T1:seq=" + std::to_string(seq) + ",zavm_" + x + "_" + y + "_" + z +
                        ".png OK");
    }
    lines.push_back(FinishedLine(1));
    EXPECT_EQ(targets, server.Targets());
    EXPECT_EQ(lines, m_host.Log());
}

INSTANTIATE_TEST_SUITE_P(
    Positions, WorkerResumeTest,
    ::testing::Values(ResumeCase{"NoPosition", Zoom, X0, Y0, 0, 0, {1, 2, 3, 4}},
                      ResumeCase{"FirstTile", Zoom, X0, Y0, X0, Y0, {2, 3, 4}},
                      ResumeCase{"ThirdTile", Zoom, X0, Y0, X0 + 1, Y0, {4}},
                      ResumeCase{"LastTile", Zoom, X0, Y0, X0 + 1, Y0 + 1, {}},
                      // Column 0 is a real column, but a stored 0 means "no position".
                      ResumeCase{"ZeroColumn", 2, 0, 1, 0, 1, {1, 2, 3, 4}},
                      ResumeCase{"ZeroRow", 2, 1, 0, 2, 0, {1, 2, 3, 4}},
                      // A tile up to the position that came back empty is asked again; a
                      // missing one is not (the worker never looks for a file it skips).
                      ResumeCase{"EmptyAtThePosition", Zoom, X0, Y0, X0 + 1, Y0, {3, 4}, {3}},
                      ResumeCase{"EmptyBefore", Zoom, X0, Y0, X0 + 1, Y0, {2, 3, 4}, {2}}),
    [](const auto& testInfo) { return std::string(testInfo.param.Name); });

// --- Outcomes of a tile whose every attempt gets the same answer ---

enum class After { GoesOn, Leaves };

struct OutcomeCase {
    const char* Name;
    std::string Status; // status line of every answer for the first tile
    int Attempts;
    // The worker's lines up to the second tile's; {M} is the message, {U} the URL.
    std::vector<std::string> Lines;
    bool Listed;    // a failure entry in Memo2
    bool BlankFile; // the first tile's file is the blank image
    std::vector<int> Waits;
    After Then;
};

std::string Fill(std::string text, const std::string& message, const std::string& url) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"{M}", message}, {"{U}", url}}) {
        for (std::size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), value);
    }
    return text;
}

void PrintTo(const OutcomeCase& c, std::ostream* out) {
    *out << c.Name;
}

class WorkerOutcomeTest : public WorkerTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(WorkerOutcomeTest, SendsTheOutcomesLinesAndFiles) {
    const OutcomeCase& c = GetParam();
    const std::string first = Target(X0, Y0);
    TileServer server([&](const std::string& target, int) {
        return target == first ? Answer(c.Status) : ServeTiles(target, 0);
    });
    auto task = MakeTask(server.Port(), 1, 2, 1);
    const auto position = RunOne(task);

    const std::string url = Url(server.Port(), X0, Y0);
    std::vector<std::string> lines;
    for (const std::string& line : c.Lines)
        lines.push_back(Fill(line, c.Status, url));
    std::vector<std::string> expectedTargets(static_cast<std::size_t>(c.Attempts), first);
    if (c.Then == After::GoesOn) {
        lines.push_back(SavedLine(1, 2, X0, Y0 + 1));
        expectedTargets.push_back(Target(X0, Y0 + 1));
    }
    lines.push_back(FinishedLine(1));
    EXPECT_EQ(lines, m_host.Log());
    EXPECT_EQ(expectedTargets, server.Targets());
    EXPECT_EQ(c.Listed ? std::vector<std::string>{TilePath(X0, Y0) + "|" + url}
                       : std::vector<std::string>{},
              m_host.Failed());
    EXPECT_EQ(c.BlankFile, std::filesystem::exists(TilePath(X0, Y0)));
    if (c.BlankFile) {
        EXPECT_EQ(BlankBytes, ReadFileBytes(TilePath(X0, Y0)));
    }
    EXPECT_EQ(c.Waits, m_host.Sleeps());
    EXPECT_EQ(c.Then == After::GoesOn ? std::make_pair(X0, Y0 + 1) : std::make_pair(0, 0),
              position);

    // The same told typed, once each: the tile's outcome, the next tile's, how the worker ended.
    const TileOutcome expected = !c.Listed     ? TileOutcome::Blank
                                 : c.BlankFile ? TileOutcome::Failed
                                               : TileOutcome::Refused;
    const std::vector<TileEvent> events = m_host.Events();
    ASSERT_EQ(c.Then == After::GoesOn ? 2u : 1u, events.size());
    EXPECT_EQ(expected, events[0].Outcome);
    EXPECT_EQ(std::make_pair(X0, Y0), std::make_pair(events[0].X, events[0].Y));
    EXPECT_EQ(c.Listed, !events[0].Message.empty());
    if (c.Then == After::GoesOn) {
        EXPECT_EQ(TileOutcome::Saved, events[1].Outcome);
    }
    ASSERT_EQ(1u, m_host.Ends().size());
    EXPECT_EQ(c.Then == After::GoesOn ? WorkerEnd::Walked : WorkerEnd::GaveUp,
              m_host.Ends()[0].Reason);
}

const std::vector<int> Saved = {1000};
std::vector<int> Waits(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> all{0};
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const std::string NotFound = "Error: the image is not got.{M}";
const std::string ErrorLine = "T1 {M}->{U}";
const std::string Blank1 = BlankLine(1, X0, Y0);

const std::vector<int> Retries1000 = {1000, 1000};
const std::vector<int> Retries2000 = {2000, 2000};
const std::vector<int> Retries8000(9, 8000);
constexpr bool Listed = true, NotListed = false, Blank = true, NoFile = false;
constexpr After On = After::GoesOn, Out = After::Leaves;

// clang-format off
// name                    status of every answer                  tries lines                    Memo2      file    waits after the start        then
INSTANTIATE_TEST_SUITE_P(Kinds, WorkerOutcomeTest, ::testing::Values(
    OutcomeCase{"NotFound404",           "404 Not Found",                        3, {NotFound, Blank1},     NotListed, Blank,  Waits({Retries1000, Saved}), On},
    OutcomeCase{"BadRequest400",         "400 Bad Request",                      3, {NotFound, Blank1},     NotListed, Blank,  Waits({Retries1000, Saved}), On},
    // A service's error is no missing tile: blank, and listed for the re-download.
    OutcomeCase{"ServerError500",        "500 Internal Server Error",            3, {NotFound, Blank1},     Listed,    Blank,  Waits({Retries1000, Saved}), On},
    OutcomeCase{"Forbidden403",          "403 Forbidden",                        3, {ErrorLine, RefusedLine}, Listed,  NoFile, Waits({Retries1000}),        Out},
    OutcomeCase{"Found302",              "302 Found",                            3, {ErrorLine, RefusedLine}, Listed,  NoFile, Waits({Retries1000}),        Out},
    OutcomeCase{"OtherError",            "501 Not Implemented",                  3, {ErrorLine, Blank1},    Listed,    Blank,  Waits({Retries1000, Saved}), On},
    OutcomeCase{"NetworkByText",         "418 Socket Error 404",                 3, {ErrorLine, NetworkLine}, Listed,  NoFile, Waits({Retries2000}),        Out},
    // The first matching row wins.
    OutcomeCase{"RefusedBeforeNetwork",  "418 302 Socket Error",                 3, {ErrorLine, RefusedLine}, Listed,  NoFile, Waits({Retries1000}),        Out},
    OutcomeCase{"RefusedBeforeNotFound", "418 404 403",                          3, {ErrorLine, RefusedLine}, Listed,  NoFile, Waits({Retries1000}),        Out},
    // Resets and "address in use" are retried up to ten attempts, then the tile is failed.
    OutcomeCase{"ResetBeforeRefused",    "418 10054 403",                       10, {ErrorLine, Blank1},    Listed,    Blank,  Waits({Saved}),              On},
    OutcomeCase{"ClosedBeforeNotFound",  "418 Connection Closed Gracefully 404", 10, {ErrorLine, Blank1},   Listed,    Blank,  Waits({Saved}),              On},
    OutcomeCase{"AddressInUseWaits",     "418 10048 404",                       10, {ErrorLine, Blank1},    Listed,    Blank,  Waits({Retries8000, Saved}), On},
    // Substrings are matched with letter case.
    OutcomeCase{"LowerCaseSocketError",  "418 socket error",                     3, {ErrorLine, Blank1},    Listed,    Blank,  Waits({Retries1000, Saved}), On},
    OutcomeCase{"LowerCaseClosed",       "418 connection closed gracefully",     3, {ErrorLine, Blank1},    Listed,    Blank,  Waits({Retries1000, Saved}), On}),
    [](const auto& testInfo) { return std::string(testInfo.param.Name); });
// clang-format on

// --- Failures the server's status text cannot stand for ---

TEST_F(WorkerTest, RefusedConnectionIsNetworkDown) {
    RefusingPort port;
    auto task = MakeTask(port.Port(), 1, 2, 1);
    const auto position = RunOne(task);
    const std::string url = Url(port.Port(), X0, Y0);
    EXPECT_EQ((std::vector<std::string>{"T1 Socket Error # 10061\r\nConnection refused.->" + url,
                                        NetworkLine, FinishedLine(1)}),
              m_host.Log());
    EXPECT_EQ(std::vector<std::string>{TilePath(X0, Y0) + "|" + url}, m_host.Failed());
    EXPECT_EQ((std::vector<int>{0, 2000, 2000}), m_host.Sleeps());
    EXPECT_EQ(std::make_pair(0, 0), position);
}

TEST_F(WorkerTest, AttemptsCountAcrossKinds) {
    // A reset, then two 404 answers: given up after the third attempt.
    TileServer server([](const std::string&, int index) {
        return index == 0 ? ResetReply() : Answer("404 Not Found");
    });
    auto task = MakeTask(server.Port(), 1, 1, 1);
    RunOne(task);
    EXPECT_EQ((std::vector<std::string>{"Error: the image is not got.404 Not Found",
                                        BlankLine(1, X0, Y0), FinishedLine(1)}),
              m_host.Log());
    EXPECT_EQ(3u, server.Heads().size());
    EXPECT_EQ((std::vector<int>{0, 1000}), m_host.Sleeps());
}

TEST_F(WorkerTest, SavedFileHoldsOnlyTheSuccessfulAttemptsBody) {
    TileServer server([](const std::string&, int index) {
        if (index == 0)
            return Reply{true, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial body"};
        return Answer("200 OK", "whole");
    });
    // A reset with bytes already sent: the script sends them, then resets.
    auto task = MakeTask(server.Port(), 1, 1, 1);
    RunOne(task);
    EXPECT_EQ("whole", ReadFileBytes(TilePath(X0, Y0)));
    EXPECT_EQ((std::vector<std::string>{SavedLine(1, 1, X0, Y0), FinishedLine(1)}), m_host.Log());
}

TEST_F(WorkerTest, FailureWithoutMessageIsFailedBare) {
    const std::string first = "http://127.0.0.1:1" + Target(X0, Y0);
    std::atomic<int> calls{0};
    auto task = MakeTask(1, 1, 2, 1);
    std::vector<std::unique_ptr<TDownThread>> workers;
    workers.push_back(TDownThreadTestAccess::Create(
        0, task, m_host, [&](TIdHTTP&, const std::string& url, std::string& buffer) {
            const int call = ++calls;
            if (url == first) {
                if (call == 1)
                    throw std::runtime_error("not one of ours");
                throw 42;
            }
            if (call == 4) {
                // A reset after part of a body: the next attempt starts from an empty buffer.
                buffer += "partial";
                throw EIdSocketError(10054);
            }
            buffer += "second";
        }));
    const auto positions = Finish(workers);
    EXPECT_EQ(
        (std::vector<std::string>{FileName(X0, Y0) + ":failed ->" + first, BlankLine(1, X0, Y0),
                                  SavedLine(1, 2, X0, Y0 + 1), FinishedLine(1)}),
        m_host.Log());
    EXPECT_EQ(std::vector<std::string>{TilePath(X0, Y0) + "|" + first}, m_host.Failed());
    EXPECT_EQ(BlankBytes, ReadFileBytes(TilePath(X0, Y0)));
    EXPECT_EQ("second", ReadFileBytes(TilePath(X0, Y0 + 1)));
    EXPECT_EQ(5, calls.load());
    EXPECT_EQ((std::vector<int>{0, 1000, 1000, 1000}), m_host.Sleeps());
    EXPECT_EQ(std::make_pair(X0, Y0 + 1), positions.front());
}

// --- The blank image ---

TEST_F(WorkerTest, BlankImageNeverReplacesAnExistingFile) {
    for (const std::string status : {"404 Not Found", "501 Not Implemented"}) {
        SCOPED_TRACE(status);
        RecordingHost host(m_exe.Path());
        TileServer server([&](const std::string&, int) { return Answer(status); });
        auto task = MakeTask(server.Port(), 1, 1, 1);
        WriteFileBytes(TilePath(X0, Y0), "EXISTING");
        std::vector<std::unique_ptr<TDownThread>> workers;
        workers.push_back(std::make_unique<TDownThread>(0, task, host));
        ASSERT_TRUE(host.WaitForWorkers(1));
        workers.clear();
        EXPECT_EQ("EXISTING", ReadFileBytes(TilePath(X0, Y0)));
        EXPECT_EQ(BlankLine(1, X0, Y0), host.Log().at(host.Log().size() - 2));
    }
}

TEST_F(WorkerTest, MissingBlankImageIsIgnored) {
    std::filesystem::remove(BlankPath());
    TileServer server([](const std::string&, int) { return Answer("404 Not Found"); });
    auto task = MakeTask(server.Port(), 1, 2, 1);
    const auto position = RunOne(task);
    EXPECT_FALSE(std::filesystem::exists(TilePath(X0, Y0)));
    EXPECT_EQ(
        (std::vector<std::string>{"Error: the image is not got.404 Not Found", BlankLine(1, X0, Y0),
                                  "Error: the image is not got.404 Not Found",
                                  BlankLine(1, X0, Y0 + 1), FinishedLine(1)}),
        m_host.Log());
    EXPECT_EQ(std::make_pair(X0, Y0 + 1), position);
}

// --- Stops ---

TEST_F(WorkerTest, StopDuringTheWaitAfterASavedTile) {
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 1, 3, 1);
    WorkerHandle handle;
    m_host.OnSleep = [&](int milliseconds) {
        if (milliseconds == 1000)
            handle.Terminate();
    };
    std::vector<std::unique_ptr<TDownThread>> workers;
    workers.push_back(std::make_unique<TDownThread>(0, task, m_host));
    handle.Set(workers.back().get());
    const auto positions = Finish(workers);
    EXPECT_EQ((std::vector<std::string>{SavedLine(1, 1, X0, Y0), FinishedLine(1)}), m_host.Log());
    EXPECT_EQ(std::vector<std::string>{Target(X0, Y0)}, server.Targets());
    EXPECT_EQ((std::vector<int>{0, 1000}), m_host.Sleeps());
    EXPECT_EQ(std::make_pair(X0, Y0), positions.front());
}

TEST_F(WorkerTest, StopBeforeTheStartWaitIsOver) {
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 1, 8, 4);
    WorkerHandle handle;
    m_host.OnSleep = [&](int) { handle.Terminate(); };
    std::vector<std::unique_ptr<TDownThread>> workers;
    workers.push_back(std::make_unique<TDownThread>(3, task, m_host));
    handle.Set(workers.back().get());
    const auto positions = Finish(workers);
    EXPECT_EQ(std::vector<std::string>{FinishedLine(4)}, m_host.Log());
    EXPECT_TRUE(server.Heads().empty());
    EXPECT_EQ(std::vector<int>{300}, m_host.Sleeps());
    EXPECT_EQ(std::make_pair(0, 0), positions.front());
}

TEST_F(WorkerTest, StopBeforeTheThreadBodyStillEndsThroughTheLastStep) {
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 1, 1, 1);
    TDownThread worker(0, task, m_host);
    worker.Terminate();
    EXPECT_TRUE(worker.Terminated());
    ASSERT_TRUE(m_host.WaitForWorkers(1));
    EXPECT_EQ(FinishedLine(1), m_host.Log().back());
}

TEST_F(WorkerTest, ServerThatResetsEveryConnectionGivesTheTileTenAttempts) {
    TileServer server([](const std::string&, int) { return ResetReply(); });
    auto task = MakeTask(server.Port(), 1, 1, 1);
    const auto position = RunOne(task);
    const std::string url = Url(server.Port(), X0, Y0);
    EXPECT_EQ(10u, server.Heads().size());
    EXPECT_EQ(
        (std::vector<std::string>{"T1 Socket Error # 10054\r\nConnection reset by peer.->" + url,
                                  BlankLine(1, X0, Y0), FinishedLine(1)}),
        m_host.Log());
    EXPECT_EQ(std::vector<std::string>{TilePath(X0, Y0) + "|" + url}, m_host.Failed());
    EXPECT_EQ(std::vector<int>{0}, m_host.Sleeps());
    EXPECT_EQ(std::make_pair(X0, Y0), position);
}

TEST_F(WorkerTest, StopEndsTheRetryingOfResets) {
    WorkerHandle handle;
    TileServer server([&](const std::string&, int index) {
        if (index == 2)
            handle.Terminate();
        return ResetReply();
    });
    auto task = MakeTask(server.Port(), 1, 2, 1);
    std::vector<std::unique_ptr<TDownThread>> workers;
    workers.push_back(std::make_unique<TDownThread>(0, task, m_host));
    handle.Set(workers.back().get());
    EXPECT_EQ(std::make_pair(0, 0), Finish(workers).front());
    EXPECT_EQ(3u, server.Heads().size());
    const std::string url = Url(server.Port(), X0, Y0);
    // The stop left the tile unfinished: as it was, asked again by a resume.
    EXPECT_EQ(
        (std::vector<std::string>{"T1 Socket Error # 10054\r\nConnection reset by peer.->" + url,
                                  FinishedLine(1)}),
        m_host.Log());
    EXPECT_TRUE(m_host.Failed().empty());
    EXPECT_FALSE(std::filesystem::exists(TilePath(X0, Y0)));
}

TEST_F(WorkerTest, StopDuringTheWaitBeforeAnAddressInUseRetryEndsTheRetrying) {
    TileServer server([](const std::string&, int) { return Answer("418 10048"); });
    auto task = MakeTask(server.Port(), 1, 2, 1);
    WorkerHandle handle;
    m_host.OnSleep = [&](int milliseconds) {
        if (milliseconds == 8000)
            handle.Terminate();
    };
    std::vector<std::unique_ptr<TDownThread>> workers;
    workers.push_back(std::make_unique<TDownThread>(0, task, m_host));
    handle.Set(workers.back().get());
    Finish(workers);
    const std::string url = Url(server.Port(), X0, Y0);
    EXPECT_EQ(std::vector<std::string>{Target(X0, Y0)}, server.Targets());
    EXPECT_EQ((std::vector<std::string>{"T1 418 10048->" + url, FinishedLine(1)}), m_host.Log());
    EXPECT_TRUE(m_host.Failed().empty());
    EXPECT_FALSE(std::filesystem::exists(TilePath(X0, Y0)));
    EXPECT_EQ((std::vector<int>{0, 8000}), m_host.Sleeps());
}

// --- Errors outside the request ---

TEST_F(WorkerTest, UnwritableTileFileEndsTheWorker) {
    TileServer server(ServeTiles);
    auto task = MakeTask(server.Port(), 1, 2, 1);
    std::filesystem::create_directory(TilePath(X0, Y0)); // a folder where the file belongs
    const auto position = RunOne(task);
    const std::string url = Url(server.Port(), X0, Y0);
    EXPECT_EQ((std::vector<std::string>{"T1 Unable to write to " + TilePath(X0, Y0) + "->" + url,
                                        FinishedLine(1)}),
              m_host.Log());
    EXPECT_EQ(std::vector<std::string>{TilePath(X0, Y0) + "|" + url}, m_host.Failed());
    EXPECT_EQ(std::vector<std::string>{Target(X0, Y0)}, server.Targets());
    EXPECT_EQ(std::vector<int>{0}, m_host.Sleeps());
    EXPECT_EQ(std::make_pair(0, 0), position);
}

TEST_F(WorkerTest, ProxyPortThatIsNotANumberEndsTheWorker) {
    for (const std::string port : {"80a", "", "8080 ", "99999999999"}) {
        SCOPED_TRACE(port);
        RecordingHost host(m_exe.Path());
        TileServer server(ServeTiles);
        auto task = MakeTask(server.Port(), 1, 1, 1);
        task->Params->UseProxy = true;
        task->Params->ProxyServer = "127.0.0.1";
        task->Params->ProxyPort = port;
        std::vector<std::unique_ptr<TDownThread>> workers;
        workers.push_back(std::make_unique<TDownThread>(0, task, host));
        ASSERT_TRUE(host.WaitForWorkers(1));
        workers.clear();
        EXPECT_EQ(
            (std::vector<std::string>{"T1 Proxy port '" + port + "' is not a valid integer value",
                                      FinishedLine(1)}),
            host.Log());
        EXPECT_TRUE(server.Heads().empty());
    }
}

TEST_F(WorkerTest, ProxySettingsOfTheTaskReachTheWire) {
    TileServer proxy(ServeTiles);
    auto task = MakeTask(1, 1, 1, 1);
    task->Params->UseProxy = true;
    task->Params->ProxyServer = "127.0.0.1";
    task->Params->ProxyPort = std::to_string(proxy.Port());
    task->Params->ProxyUsername = "user";
    task->Params->ProxyPassword = "pass";
    RunOne(task);
    // The service's port goes along in the absolute form, so the proxy can reach it.
    EXPECT_EQ((std::vector<std::string>{"GET http://127.0.0.1:1" + Target(X0, Y0) +
                                        " HTTP/1.1\r\n"
                                        "Host: 127.0.0.1\r\n"
                                        "Accept: text/html, */*\r\n"
                                        "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
                                        "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"
                                        "\r\n"}),
              proxy.Heads());
    EXPECT_EQ(BodyOf("http://127.0.0.1:1" + Target(X0, Y0)), ReadFileBytes(TilePath(X0, Y0)));
}

// --- Stops while a request is in flight ---

using Clock = std::chrono::steady_clock;

const std::string CutMessage = "Socket Error # 10053\r\nSoftware caused connection abort.";

// The server of the stop tests: stops the worker as its first request arrives, then behaves as
// the test says; every later request is answered at once and recorded.
class StopServer {
public:
    using Behaviour = std::function<void(ServerConnection&)>;

    StopServer(WorkerHandle& handle, Behaviour behaviour) {
        m_server.emplace([this, &handle, behaviour](ServerConnection& c) {
            for (;;) {
                const std::string head = c.ReadRequest(std::chrono::seconds(10));
                if (head.empty())
                    return;
                int index = 0;
                {
                    std::lock_guard lock(m_mutex);
                    index = static_cast<int>(m_targets.size());
                    m_targets.push_back(TargetOf(head));
                    if (index == 0)
                        m_stoppedAt = Clock::now();
                }
                if (index > 0) {
                    c.Send(Answer("200 OK", "late").Bytes);
                    continue;
                }
                handle.Terminate();
                behaviour(c);
                m_clientClosed = c.WaitForPeerClose(std::chrono::seconds(10));
                return;
            }
        });
        m_port = m_server->Port();
    }

    int Port() const { return m_port; }
    // Ends the server, joining its scripts; what they saw stays readable.
    void Join() { m_server.reset(); }
    std::vector<std::string> Targets() const {
        std::lock_guard lock(m_mutex);
        return m_targets;
    }
    Clock::time_point StoppedAt() const {
        std::lock_guard lock(m_mutex);
        return m_stoppedAt;
    }
    bool ClientClosed() const { return m_clientClosed; }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_targets;
    Clock::time_point m_stoppedAt;
    std::atomic<bool> m_clientClosed{false};
    int m_port = 0;
    std::optional<LoopbackServer> m_server; // last: its threads use the members above
};

struct StopCase {
    const char* Name;
    StopServer::Behaviour Behaviour;
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.Name;
}

class WorkerStopCutTest : public WorkerTest, public ::testing::WithParamInterface<StopCase> {};

// A request that will not finish goes on for the grace after the stop, then is cut: its tile
// stays as it was (no blank, no entry, the position before it) and the worker runs its last
// step; nothing more is requested.
TEST_P(WorkerStopCutTest, CutsTheRequestAfterTheGraceAndLeavesTheTileUnfinished) {
    WorkerHandle handle;
    StopServer server(handle, GetParam().Behaviour);
    m_host.Grace = std::chrono::milliseconds(150);
    auto task = MakeTask(server.Port(), 1, 3, 1);
    std::vector<std::unique_ptr<TDownThread>> workers;
    workers.push_back(std::make_unique<TDownThread>(0, task, m_host));
    handle.Set(workers.back().get());
    ASSERT_TRUE(m_host.WaitForWorkers(1, std::chrono::seconds(20)));
    const double seconds = std::chrono::duration<double>(Clock::now() - server.StoppedAt()).count();
    std::cout << "[ measured ] " << GetParam().Name << ": stop to WorkerDone " << seconds << " s\n";
    EXPECT_GE(seconds, 0.15);
    const auto position = Finish(workers).front();
    server.Join();
    EXPECT_TRUE(server.ClientClosed()); // the cut released the connection
    EXPECT_EQ(std::vector<std::string>{Target(X0, Y0)}, server.Targets());
    const std::string url = Url(server.Port(), X0, Y0);
    EXPECT_EQ((std::vector<std::string>{"T1 " + CutMessage + "->" + url, FinishedLine(1)}),
              m_host.Log());
    EXPECT_TRUE(m_host.Failed().empty());
    EXPECT_FALSE(std::filesystem::exists(TilePath(X0, Y0)));
    EXPECT_EQ(std::vector<int>{0}, m_host.Sleeps());
    EXPECT_EQ(std::make_pair(0, 0), position);
    ASSERT_EQ(1u, m_host.Events().size());
    EXPECT_EQ(TileOutcome::Cut, m_host.Events()[0].Outcome);
    EXPECT_EQ(WorkerEnd::Stopped, m_host.Ends().at(0).Reason);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, WorkerStopCutTest,
    ::testing::Values(StopCase{"NeverAnswers", [](ServerConnection&) {}},
                      StopCase{"TricklesTheBody",
                               [](ServerConnection& c) {
                                   c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
                                   for (int i = 0; i < 100; ++i) {
                                       c.Send("x");
                                       if (c.WaitForPeerClose(std::chrono::milliseconds(100)))
                                           return;
                                   }
                               }}),
    [](const auto& testInfo) { return std::string(testInfo.param.Name); });

TEST_F(WorkerTest, StopLetsAnAnswerWithinTheGraceFinish) {
    WorkerHandle handle;
    StopServer server(handle, [](ServerConnection& c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.Send(Answer("200 OK", "arrived").Bytes);
    });
    m_host.Grace = std::chrono::minutes(10); // never reached
    auto task = MakeTask(server.Port(), 1, 3, 1);
    std::vector<std::unique_ptr<TDownThread>> workers;
    workers.push_back(std::make_unique<TDownThread>(0, task, m_host));
    handle.Set(workers.back().get());
    const auto position = Finish(workers).front();
    server.Join();
    EXPECT_EQ(std::vector<std::string>{Target(X0, Y0)}, server.Targets());
    EXPECT_EQ("arrived", ReadFileBytes(TilePath(X0, Y0)));
    EXPECT_EQ((std::vector<std::string>{SavedLine(1, 1, X0, Y0), FinishedLine(1)}), m_host.Log());
    EXPECT_TRUE(m_host.Failed().empty());
    EXPECT_EQ(std::vector<int>{0}, m_host.Sleeps()); // no wait after the tile once stopped
    EXPECT_EQ(std::make_pair(X0, Y0), position);
}

// No attempt starts after a stop: neither after a stop during the wait before a retry, nor
// after one during the request, which then goes without the wait.
TEST_F(WorkerTest, NoRetryAfterAStop) {
    for (const bool duringTheWait : {true, false}) {
        SCOPED_TRACE(duringTheWait);
        RecordingHost host(m_exe.Path());
        WorkerHandle handle;
        TileServer server([&](const std::string&, int) {
            if (!duringTheWait)
                handle.Terminate();
            return Answer("404 Not Found");
        });
        host.OnSleep = [&](int milliseconds) {
            if (duringTheWait && milliseconds == 1000)
                handle.Terminate();
        };
        TDownThread worker(0, MakeTask(server.Port(), 1, 2, 1), host);
        handle.Set(&worker);
        ASSERT_TRUE(host.WaitForWorkers(1));
        EXPECT_EQ(std::vector<std::string>{Target(X0, Y0)}, server.Targets());
        // The tile's attempts were cut short: it is left for a resume, not made blank.
        EXPECT_EQ((std::vector<std::string>{"T1 404 Not Found->" + Url(server.Port(), X0, Y0),
                                            FinishedLine(1)}),
                  host.Log());
        EXPECT_TRUE(host.Failed().empty());
        EXPECT_FALSE(std::filesystem::exists(TilePath(X0, Y0)));
        const std::vector<int> waits =
            duringTheWait ? std::vector<int>{0, 1000} : std::vector<int>{0};
        EXPECT_EQ(waits, host.Sleeps());
    }
}

// --- A custom source's rules ---

// A service that asks to wait once, answers one tile with an error page and serves the rest:
// one pause told once and honoured by both workers, the page never saved, the source's lines.
TEST_F(WorkerTest, ACustomSourceSendsItsLinesPausesOnceAndSavesNoPage) {
    TileServer server([&](const std::string& target, int index) {
        if (index == 0)
            return Reply{false, "HTTP/1.1 429 Too Many Requests\r\nRetry-After: 7\r\n"
                                "Content-Length: 0\r\n\r\n"};
        if (target == "/t/10/811/403.png")
            return Answer("200 OK", "<html>no tile</html>");
        return Answer("200 OK", TilePng(target));
    });
    TileSource source;
    source.Name = "Custom";
    source.Templates[0] =
        "http://127.0.0.1:" + std::to_string(server.Port()) + "/t/{z}/{x}/{y}.png";
    source.UserAgent = "TestAgent/1";
    source.Referer = "http://ref.example/";
    source.Headers = {{"X-Key", "k1"}};
    source.TileDelayMs = 250;
    auto task = MakeTask(server.Port(), 1, 4, 2);
    task->Params->Source = source;
    // The second worker begins once the first has been asked to wait.
    m_host.OnSleep = [&](int milliseconds) {
        for (int i = 0; milliseconds == 100 && i < 5000; ++i) {
            const std::vector<std::string> lines = m_host.Log();
            if (!lines.empty() && lines.front().ends_with("(429)."))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    Run(task, {0, 1});

    const std::vector<std::string> log = m_host.Log();
    EXPECT_EQ(1, std::count_if(log.begin(), log.end(), [](const std::string& line) {
                  return line.ends_with(" The service asks to wait 7 s (429).");
              }));
    // Every worker waited for the pause before its next request (the recording host returns).
    int paused = 0, paced = 0;
    for (const int wait : m_host.Sleeps()) {
        paused += wait > 6000 && wait <= 7000;
        paced += wait == 250; // the source's own wait between a saved tile and the next request
    }
    EXPECT_GE(paused, 2); // each attempt while the pause lasts waits for its rest
    // T2 saves 402 and then 404; T1 fails 403 and saves 405: one wait, none after a last tile.
    EXPECT_EQ(1, paced);
    const std::string pageUrl =
        "http://127.0.0.1:" + std::to_string(server.Port()) + "/t/10/811/403.png";
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "T1 not an image->" + pageUrl) +
                     std::count(log.begin(), log.end(), "T2 not an image->" + pageUrl));
    EXPECT_EQ(std::vector<std::string>{TilePath(X0, Y0 + 1) + "|" + pageUrl}, m_host.Failed());
    EXPECT_EQ(BlankBytes, ReadFileBytes(TilePath(X0, Y0 + 1)));
    for (const int y : {Y0, Y0 + 2, Y0 + 3})
        EXPECT_EQ(TilePng("/t/10/811/" + std::to_string(y) + ".png"), ReadFileBytes(TilePath(X0, y)));
    for (const std::string& head : server.Heads()) {
        EXPECT_NE(std::string::npos, head.find("\r\nUser-Agent: TestAgent/1\r\n"));
        EXPECT_NE(std::string::npos, head.find("\r\nReferer: http://ref.example/\r\n"));
        EXPECT_NE(std::string::npos, head.find("\r\nX-Key: k1\r\n"));
        EXPECT_NE(std::string::npos,
                  head.find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"));
    }
}

TEST_F(WorkerTest, ARedirectToAnotherSchemeEndsTheTileAtItsFirstAttempt) {
    TileServer server([](const std::string&, int) {
        return Reply{false, "HTTP/1.1 302 Found\r\nLocation: gopher://127.0.0.1:70/1\r\n"
                            "Content-Length: 0\r\n\r\n"};
    });
    TileSource source;
    source.Name = "Custom";
    source.Templates[0] = "http://127.0.0.1:" + std::to_string(server.Port()) + "/t/{z}/{x}/{y}.png";
    auto task = MakeTask(server.Port(), 1, 1, 1);
    task->Params->Source = source;
    RunOne(task);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/t/10/811/402.png";
    EXPECT_EQ(1u, server.Heads().size()); // no retry: another attempt would be refused the same
    const std::vector<std::string> log = m_host.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("T1 A redirect to gopher: was refused: only http and https are followed.->" + url,
              log.front());
    EXPECT_EQ(std::vector<std::string>{TilePath(X0, Y0) + "|" + url}, m_host.Failed());
}

// A host whose thread is the test's own: calls wait in the gate until the test runs them.
class GateHost : public WorkerHost {
public:
    explicit GateHost(std::string folder) : m_folder(std::move(folder)) {}
    void Synchronize(const std::function<void()>& call) override { Gate.Call(call); }
    void Post(std::function<void()> call) override { Gate.Post(std::move(call)); }
    void AppendLogLine(const std::string& line) override { Log.push_back(line); }
    void AppendFailedLine(const std::string& line) override { Failed.push_back(line); }
    void LowerRunningWorkers() override { ++Done; }
    void Sleep(int milliseconds) override { Gate.Sleep(milliseconds); }
    std::string ExecutableFolder() override { return m_folder; }

    WorkerGate Gate;
    std::vector<std::string> Log, Failed; // the test's thread alone
    int Done = 0;

private:
    std::string m_folder;
};

TEST_F(WorkerTest, ACustomSourcesWorkersAreNotHeldByABusyHostAndLoseNoLine) {
    TileServer server([](const std::string& target, int) { return Answer("200 OK", TilePng(target)); });
    TileSource source;
    source.Name = "Fast";
    source.Templates[0] = "http://127.0.0.1:" + std::to_string(server.Port()) + "/t/{z}/{x}/{y}.png";
    source.TileDelayMs = 0;
    source.Workers = 2;
    auto task = MakeTask(server.Port(), 2, 8, 2);
    task->Params->Source = source;
    const int contexts = TlsContextsMade();
    GateHost host(m_exe.Path());
    {
        TDownThread first(0, task, host), second(1, task, host);
        // The host's thread is busy elsewhere: the workers save every tile all the same.
        const auto saved = [&] {
            int files = 0;
            for (int x = X0; x < X0 + 2; ++x)
                for (int y = Y0; y < Y0 + 8; ++y)
                    files += std::filesystem::exists(TilePath(x, y));
            return files;
        };
        for (int i = 0; i < 500 && saved() < 16; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(16, saved());
        EXPECT_TRUE(host.Log.empty());
        // The last worker's end ends the owner's wait at once, not at the end of its slice.
        const auto before = std::chrono::steady_clock::now();
        host.Gate.RunFor(std::chrono::seconds(60), [&] { return host.Done == 2; });
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(30));
    }
    ASSERT_EQ(2, host.Done);
    // Every tile's line, each worker's in its order, its finished line after them.
    for (const std::string tag : {"T1", "T2"}) {
        int last = 0, lines = 0;
        bool finished = false;
        for (const std::string& line : host.Log) {
            if (line == tag + " Finished.") {
                finished = true;
            } else if (line.starts_with(tag + ":seq=")) {
                EXPECT_FALSE(finished) << line;
                const int seq = std::stoi(line.substr(7));
                EXPECT_GT(seq, last) << line;
                last = seq;
                ++lines;
            }
        }
        EXPECT_EQ(8, lines) << tag;
        EXPECT_TRUE(finished) << tag;
    }
    EXPECT_EQ(18u, host.Log.size());
    // A plain-HTTP task reads no certificates.
    EXPECT_EQ(contexts, TlsContextsMade());
}

// --- The last position ---

TEST_F(WorkerTest, LastPositionIsAlwaysOneFinishedTile) {
    TileServer server([](const std::string& target, int) {
        // Alternate outcomes, so both saved and blank tiles move the position.
        return target.find("/3/256") != std::string::npos ? Answer("404 Not Found")
                                                          : ServeTiles(target, 0);
    });
    constexpr int Columns = 4;
    constexpr int Rows = 12;
    auto task = MakeTask(server.Port(), Columns, Rows, 1, Zoom, X0, 0);
    TDownThread worker(0, task, m_host);

    // Every pair read while the worker runs names a tile, and the tiles only move forward.
    int previous = 0;
    int reads = 0;
    while (m_host.Done() == 0 && reads < 10'000'000) {
        const auto [x, y] = worker.LastPosition();
        ++reads;
        if (x == 0 && y == 0)
            continue;
        ASSERT_GE(x, X0);
        ASSERT_LT(x, X0 + Columns);
        ASSERT_GE(y, 0);
        ASSERT_LT(y, Rows);
        const int seq = (x - X0) * Rows + y + 1;
        ASSERT_GE(seq, previous);
        previous = seq;
    }
    ASSERT_TRUE(m_host.WaitForWorkers(1));
    EXPECT_EQ(std::make_pair(X0 + Columns - 1, Rows - 1), worker.LastPosition());
}

// --- Updates ---

// Nine tiles of one column, each meeting one way of an update: asked with the validators it was
// saved with (a hostile one left out), unchanged, replaced, gone (its validators kept), fresh,
// failed, new, whole but the same, broken on disk (asked as a download asks, though fresh), and
// answered with a page that is no tile (the old tile kept, listed).
TEST_F(WorkerTest, AnUpdateAsksWithTheValidatorsAndKeepsWhatDidNotChange) {
    const std::string OldModified = "Mon, 01 Jan 2024 00:00:00 GMT";
    const std::string NewModified = "Fri, 01 Nov 2024 00:00:00 GMT";
    enum Row { Unchanged, Replaced, Gone, Fresh, Failed, New, Same, Broken, Page, Rows };
    const std::string old = TilePng("old"), replaced = TilePng("new");
    TileServer server([&](const std::string& target, int) {
        const auto row = [&](int y) { return target == Target(X0, Y0 + y); };
        if (row(Unchanged))
            return Reply{false, "HTTP/1.1 304 Not Modified\r\n\r\n"};
        if (row(Replaced))
            return Reply{false, "HTTP/1.1 200 OK\r\nETag: \"b2\"\r\nLast-Modified: " +
                                    NewModified + "\r\nContent-Length: " +
                                    std::to_string(replaced.size()) + "\r\n\r\n" + replaced};
        if (row(Gone))
            return Reply{false, "HTTP/1.1 404 Not Found\r\nETag: \"z\"\r\nContent-Length: 0\r\n\r\n"};
        if (row(Failed))
            return Answer("500 Internal Server Error");
        if (row(Page))
            return Answer("200 OK", "<html>sign in</html>");
        return Answer("200 OK", TilePng(target));
    });
    auto task = MakeTask(server.Port(), 1, Rows, 1);
    const std::int64_t now = SecondsNow();
    UpdateRules rules;
    rules.Pass = now;
    task->Params->Update = rules;
    {
        TileRecords records(TaskFilesOf(task->ProjectFile()).Records, TileRecords::Access::Write);
        records.Put({X0, Y0 + Unchanged, now - 9000, 0, "\"a1\"", OldModified});
        records.Put({X0, Y0 + Replaced, now - 9000, 0, "", OldModified});
        records.Put({X0, Y0 + Gone, now - 9000, 0, "\"c1\"", OldModified});
        records.Put({X0, Y0 + Fresh, now - 9000, now + 3600, "\"d1\"", ""});
        records.Put({X0, Y0 + Failed, now - 9000, 0, "\"e1\"\r\nX-Evil: 1", ""});
        records.Put({X0, Y0 + Broken, now - 9000, now + 3600, "\"f1\"", ""});
        records.Commit();
    }
    std::filesystem::create_directories(m_save.Path() + "task");
    for (int row = 0; row < Rows; ++row)
        if (row != New)
            WriteFileBytes(TilePath(X0, Y0 + row), row == Same     ? TilePng(Target(X0, Y0 + row))
                                                   : row == Broken ? old.substr(0, 20)
                                                                   : old);

    RunOne(task);

    std::vector<std::string> heads(Rows);
    for (const std::string& head : server.Heads())
        for (int row = 0; row < Rows; ++row)
            if (TargetOf(head) == Target(X0, Y0 + row))
                heads[static_cast<std::size_t>(row)] += head;
    EXPECT_NE(std::string::npos, heads[Unchanged].find("\r\nIf-None-Match: \"a1\"\r\n"
                                                       "If-Modified-Since: " +
                                                       OldModified + "\r\n"));
    EXPECT_NE(std::string::npos, heads[Replaced].find("\r\nIf-Modified-Since: " + OldModified));
    EXPECT_EQ(std::string::npos, heads[Replaced].find("If-None-Match"));
    EXPECT_EQ("", heads[Fresh]); // its service called it fresh
    EXPECT_EQ(std::string::npos, heads[Failed].find("X-Evil"));
    EXPECT_EQ(std::string::npos, heads[Failed].find("If-None-Match"));
    for (const Row row : {New, Same, Broken, Page})
        EXPECT_EQ(std::string::npos, heads[row].find("If-")) << row;
    EXPECT_NE("", heads[Broken]); // asked though its record calls it fresh

    const std::string expected[] = {old,
                                    replaced,
                                    old,
                                    old,
                                    old,
                                    TilePng(Target(X0, Y0 + New)),
                                    TilePng(Target(X0, Y0 + Same)),
                                    TilePng(Target(X0, Y0 + Broken)),
                                    old};
    for (int row = 0; row < Rows; ++row)
        EXPECT_EQ(expected[row], ReadFileBytes(TilePath(X0, Y0 + row))) << row;
    // A tile's file time is when Quarrow last got or confirmed it, not the service's date.
    for (const Row row : {Unchanged, Replaced, Same})
        EXPECT_GE(TileFileTime(TilePath(X0, Y0 + row)), now) << row;
    EXPECT_LT(TileFileTime(TilePath(X0, Y0 + Fresh)), now + 1);

    // A wait follows each saved tile (replaced, new, broken) and each retry (gone, failed and the
    // page three attempts each), never a 304 or a tile kept.
    EXPECT_EQ((std::vector<int>{0, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000}),
              m_host.Sleeps());

    const RunCounts counts = m_host.Counts();
    EXPECT_EQ(8, counts.Checked);
    EXPECT_EQ(2, counts.Unchanged);
    EXPECT_EQ(3, counts.Changed);
    EXPECT_EQ(1, counts.Gone);
    EXPECT_EQ(2, counts.Failed);
    EXPECT_EQ(0, counts.WorkersGaveUp);
    EXPECT_EQ(1, counts.Skipped[static_cast<std::size_t>(UpdateSkip::Fresh)]);
    ASSERT_EQ(2u, m_host.Failed().size());
    EXPECT_NE(std::string::npos, m_host.Failed()[0].find(FileName(X0, Y0 + Failed)));
    EXPECT_NE(std::string::npos, m_host.Failed()[1].find(FileName(X0, Y0 + Page)));
    const std::vector<std::string> log = m_host.Log();
    const auto logged = [&](const std::string& text) {
        return std::find(log.begin(), log.end(), text) != log.end();
    };
    EXPECT_TRUE(logged("T1:seq=1," + FileName(X0, Y0) + " unchanged"));
    EXPECT_TRUE(logged("T1:seq=3," + FileName(X0, Y0 + Gone) + " gone from the service"));
    EXPECT_TRUE(logged("T1:seq=7," + FileName(X0, Y0 + Same) + " unchanged"));

    // Every tile answered is recorded in this pass, with what its answer said or else what it had;
    // a 404 keeps the validators the tile had.
    std::vector<int> recorded;
    for (const TileRecord& record : m_host.Records()) {
        recorded.push_back(record.Y - Y0);
        EXPECT_EQ(rules.Pass, record.Pass);
        EXPECT_GE(record.Checked, now);
        if (record.Y == Y0 + Unchanged) {
            EXPECT_EQ("\"a1\"", record.ETag);
        }
        if (record.Y == Y0 + Replaced) {
            EXPECT_EQ(std::make_pair(std::string("\"b2\""), NewModified),
                      std::make_pair(record.ETag, record.LastModified));
        }
        if (record.Y == Y0 + Gone) {
            EXPECT_EQ(std::make_pair(std::string("\"c1\""), OldModified),
                      std::make_pair(record.ETag, record.LastModified));
        }
    }
    EXPECT_EQ((std::vector<int>{Unchanged, Replaced, Gone, New, Same, Broken}), recorded);
}

} // namespace
} // namespace quarrow
