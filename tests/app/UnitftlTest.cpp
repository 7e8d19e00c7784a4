// The re-download window driven offscreen against a scripted server on 127.0.0.1, and the
// decisions of its run on their own.
#include "app/Unitftl.h"

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <QPlainTextEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include "download/Rerun.h"
#include "engine/Locations.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::RecordingDialogs;
using Kind = RecordingDialogs::Kind;

// A scripted server on kept connections: "/ok/N" answers "tile N"; "/404", "/403" and "/500" that
// status; "/reset" a reset every time; "/reset-once" a reset cut into its first answer only.
void Serve(test::ServerConnection& c, std::atomic<bool>& resetOnce) {
    for (std::string head; !(head = c.ReadRequest()).empty();) {
        const std::string target = head.substr(4, head.find(' ', 4) - 4);
        if (target == "/reset" || (target == "/reset-once" && !resetOnce.exchange(true))) {
            if (target == "/reset-once") {
                c.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst");
                std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the bytes first
            }
            c.Reset();
            return;
        }
        const std::map<std::string, std::string> refused = {{"/404", "404 Not Found"},
                                                            {"/403", "403 Forbidden"},
                                                            {"/500", "500 Internal Server Error"}};
        const bool ok = !refused.contains(target);
        const std::string body = target == "/reset-once" ? "second"
                                 : ok                    ? "tile " + target.substr(4)
                                                         : "";
        c.Send("HTTP/1.1 " + (ok ? std::string("200 OK") : refused.at(target)) +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
}

class Redownload : public testing::Test {
protected:
    Redownload() { m_form.show(); }

    // Writes the list and runs it as if the user had picked it; the list is never changed.
    void Run(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const std::string& line : lines)
            bytes += line + "\r\n";
        test::WriteFileBytes(m_dir.Path() + "t_failed.ftl", bytes);
        m_dialogs.FileAnswers.push_back(QString::fromStdString(m_dir.Path() + "t_failed.ftl"));
        m_form.Button1Click();
        EXPECT_EQ(ReadFileBytes(m_dir.Path() + "t_failed.ftl"), bytes);
    }
    std::string Url(const std::string& target) const {
        return "http://127.0.0.1:" + std::to_string(m_server.Port()) + target;
    }
    std::string Tile(int x) const {
        return m_dir.Path() + "zavm_" + std::to_string(x) + "_1_3.png";
    }
    std::string Entry(int x, const std::string& target) const {
        return Tile(x) + "|" + Url(target);
    }
    QString Pane() const {
        return m_form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->toPlainText();
    }
    // The request targets in the order asked.
    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        const std::string all = m_server.AllReceived();
        for (std::size_t at = 0; (at = all.find("GET ", at)) != std::string::npos; at += 4)
            targets.push_back(all.substr(at + 4, all.find(' ', at + 4) - at - 4));
        return targets;
    }

    test::TempDir m_dir;
    std::atomic<bool> m_resetOnce{false};
    test::LoopbackServer m_server{[this](test::ServerConnection& c) { Serve(c, m_resetOnce); }};
    RecordingDialogs m_dialogs;
    TfrmFlt m_form{m_dialogs};
};

TEST_F(Redownload, EachAnswerGivesItsLinesAndARefusalEndsTheRun) {
    test::WriteFileBytes(Tile(4), "old");
    Run({Entry(1, "/ok/a"), Entry(2, "/404"), Entry(3, "/500"), Entry(4, "/reset-once"),
         Entry(5, "/reset"), Entry(6, "/403"), Entry(7, "/ok/never")});
    EXPECT_EQ(Pane().toStdString(),
              "Start...\n" + Tile(1) + ":" + Url("/ok/a") + " ->OK\n404 Not Found->" + Url("/404") +
                  "\n" + Url("/404") + ":Error: the image is not found on server.\n" +
                  "500 Internal Server Error->" + Url("/500") + "\n" + Tile(4) + ":" +
                  Url("/reset-once") + " ->OK\nSocket Error # 10054\nConnection reset by peer.->" +
                  Url("/reset") + "\n403 Forbidden->" + Url("/403") +
                  "\nError: may be your IP is banned.\nPlease try again later.\nDownload End.");
    // Only successes are saved, and of a reset answer nothing; a reset is repeated up to the bound.
    EXPECT_EQ(test::FolderEntries(m_dir.Path()),
              (std::vector<std::string>{"t_failed.ftl", "zavm_1_1_3.png", "zavm_4_1_3.png"}));
    EXPECT_EQ(ReadFileBytes(Tile(1)) + "|" + ReadFileBytes(Tile(4)), "tile a|second");
    std::vector<std::string> targets = {"/ok/a", "/404", "/500", "/reset-once", "/reset-once"};
    // The first "/reset" went out on the kept connection: its reset costs one more request on a
    // new connection before it counts as an attempt.
    targets.insert(targets.end(), RerunMaxAttempts + 1, "/reset");
    targets.push_back("/403");
    EXPECT_EQ(Targets(), targets);
    const std::string all = m_server.AllReceived();
    EXPECT_EQ(all.substr(0, all.find("\r\n\r\n") + 4),
              "GET /ok/a HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/html, */*\r\nReferer: "
              "http://www.maps.example/\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows "
              "NT 5.1)\r\nConnection: Keep_Alive\r\n\r\n");
    ASSERT_EQ(m_dialogs.Calls.size(), 1u);
    EXPECT_EQ(m_dialogs.Calls[0].Text, QStringLiteral("Open ftl file:"));
    // It opens where the tasks are: the save folder of the settings.
    EXPECT_EQ(m_dialogs.Calls[0].Extra,
              QStringList({"Projects(*.ftl)|*.ftl",
                           QString::fromStdString(DefaultSaveFolder(RunningProgramFolder()))}));
}

TEST_F(Redownload, AFileThatCannotBeWrittenEndsTheRunWithItsBoxAndARefusedEntryOnlyItsLine) {
    m_dialogs.FileAnswers.push_back(QString::fromStdString(m_dir.Path() + "none.ftl"));
    m_form.Button1Click();
    // The body comes, but nothing is written, and the run ends at the entry without an end line.
    Run({m_dir.Path() + "gone/zavm_1_1_3.png|" + Url("/ok/a"), Entry(2, "/ok/b")});
    EXPECT_EQ(m_dialogs.TextsOf(Kind::Error).join("\n").toStdString(),
              "Cannot open file " + m_dir.Path() + "none.ftl\nCannot create file " + m_dir.Path() +
                  "gone/zavm_1_1_3.png");
    EXPECT_EQ(Pane(), QStringLiteral("Start..."));

    // A name that is no tile's, or a URL that is not the web's, is never asked for nor written.
    const std::string notTile = m_dir.Path() + "notes.txt";
    test::WriteFileBytes(notTile, "mine");
    const std::vector<std::string> refused = {
        notTile + "|" + Url("/ok/a"), Tile(1) + ".sh|" + Url("/ok/a"), "|" + Url("/ok/a"),
        Tile(2) + "|gopher://127.0.0.1/ok/a", Tile(2) + "|", Tile(2) + "|http:///ok/a"};
    std::vector<std::string> lines = refused;
    lines.push_back(Entry(3, "/ok/c"));
    Run(lines);
    const std::string urlOf = "Refused: the URL of ";
    EXPECT_EQ(Pane().toStdString(),
              "Start...\nRefused: " + notTile + " is no tile file name.\nRefused: " + Tile(1) +
                  ".sh is no tile file name.\nRefused:  is no tile file name.\n" + urlOf +
                  refused[3] + " is no http URL.\n" + urlOf + refused[4] + " is no http URL.\n" +
                  urlOf + refused[5] + " is no http URL.\n" + Tile(3) + ":" + Url("/ok/c") +
                  " ->OK\nDownload End.");
    EXPECT_EQ(m_dialogs.TextsOf(Kind::Error).size(), 2);
    EXPECT_EQ(Targets(), (std::vector<std::string>{"/ok/a", "/ok/c"}));
    EXPECT_EQ(test::FolderEntries(m_dir.Path()),
              (std::vector<std::string>{"notes.txt", "t_failed.ftl", "zavm_3_1_3.png"}));
    EXPECT_EQ(ReadFileBytes(notTile), "mine");
}

TEST_F(Redownload, ShowingOrARunEmptiesThePaneAndACancelLeavesIt) {
    EXPECT_EQ(m_form.minimumSize(), QSize(703, 453));
    EXPECT_EQ(m_form.maximumSize(), QSize(703, 453));
    for (const auto& [name, place] : {std::pair{"Panel1", QRect(0, 0, 703, 57)},
                                      {"Button1", QRect(16, 16, 201, 25)},
                                      {"Panel2", QRect(0, 57, 703, 396)},
                                      {"Memo1", QRect(0, 0, 703, 396)}})
        EXPECT_EQ(m_form.findChild<QWidget*>(name)->geometry(), place) << name;
    Run({Entry(1, "/ok/a")});
    Run({});
    EXPECT_EQ(Pane(), QStringLiteral("No failed files records."));
    m_form.findChild<QPushButton*>(QStringLiteral("Button1"))->click(); // cancelled
    EXPECT_EQ(Pane(), QStringLiteral("No failed files records."));
    m_form.hide();
    m_form.show();
    EXPECT_EQ(Pane(), QString());
}

TEST(RerunLines, TheMessageAloneDecidesWhatFollowsAFailure) {
    const std::string notFound = "u:Error: the image is not found on server.";
    const std::string banned = "Error: may be your IP is banned.\nPlease try again later.";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"404 Not Found", {notFound}},     {"302 Found", {banned}},
        {"404 after 403", {banned}},       {"a4040", {notFound}}, // plain substrings
        {"500 Internal Server Error", {}}, {"Socket Error # 10061\r\nConnection refused.", {}},
    };
    for (const auto& [message, after] : cases) {
        std::vector<std::string> lines = {message + "->u"};
        lines.insert(lines.end(), after.begin(), after.end());
        EXPECT_EQ(FailureReport(message, "u").Lines, lines) << message;
        EXPECT_EQ(FailureReport(message, "u").EndsRun, after == std::vector{banned}) << message;
        EXPECT_FALSE(IsReset(message)) << message;
    }
    EXPECT_TRUE(IsReset("Socket Error # 10054\r\nConnection reset by peer."));
    EXPECT_EQ(banned, "Error: may be your IP is banned.\nPlease try again later.");
}

} // namespace
} // namespace quarrow
