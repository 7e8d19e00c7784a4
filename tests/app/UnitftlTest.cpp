// The re-download window driven offscreen against a scripted server on 127.0.0.1: each answer's
// lines, where a run ends, the request bytes, the error boxes and the layout; and the lines and
// decisions of the run on their own.
#include "download/Unitftl.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <gtest/gtest.h>

#include "download/Rerun.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::FolderEntries;
using test::ReadFileBytes;
using test::RecordingDialogs;
using test::ServerConnection;
using test::TempDir;
using test::WriteFileBytes;
using Kind = RecordingDialogs::Kind;
using namespace std::chrono_literals;

// Answers by request target: "/ok/NAME" a body "tile NAME", "/status/N" an error status,
// "/reset-once" a reset in the middle of its first answer and "second" after it, "/reset" a reset
// every time. Connections are kept open between requests, as the client asks.
class TileServer {
public:
    int Port() const { return m_server.Port(); }
    std::string Url(const std::string& target) const {
        return "http://127.0.0.1:" + std::to_string(Port()) + target;
    }
    std::vector<std::string> Targets() const {
        std::lock_guard lock(m_mutex);
        return m_targets;
    }
    // The head of the first request (the connection may carry more).
    std::string FirstRequest() const {
        const std::string received = m_server.AllReceived();
        return received.substr(0, received.find("\r\n\r\n") + 4);
    }

private:
    void Serve(ServerConnection& connection) {
        for (;;) {
            const std::string head = connection.ReadRequest();
            if (head.empty())
                return;
            const std::string target = head.substr(4, head.find(' ', 4) - 4);
            int seen = 0;
            {
                std::lock_guard lock(m_mutex);
                m_targets.push_back(target);
                seen = ++m_seen[target];
            }
            if (target == "/reset" || (target == "/reset-once" && seen == 1)) {
                if (target == "/reset-once") {
                    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst");
                    std::this_thread::sleep_for(50ms); // let the bytes arrive before the reset
                }
                connection.Reset();
                return;
            }
            connection.Send(Answer(target));
        }
    }

    static std::string Answer(const std::string& target) {
        const auto with = [](const std::string& status, const std::string& extra,
                             const std::string& body) {
            return "HTTP/1.1 " + status + "\r\n" + extra +
                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        };
        if (target.starts_with("/ok/"))
            return with("200 OK", "", "tile " + target.substr(4));
        if (target == "/reset-once")
            return with("200 OK", "", "second");
        if (target == "/status/404")
            return with("404 Not Found", "", "");
        if (target == "/status/403")
            return with("403 Forbidden", "", "no");
        if (target == "/status/302")
            return with("302 Found", "Location: /elsewhere\r\n", "");
        return with("500 Internal Server Error", "", "");
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_targets;
    std::map<std::string, int> m_seen;
    test::LoopbackServer m_server{[this](ServerConnection& c) { Serve(c); }};
};

class Redownload : public testing::Test {
protected:
    Redownload() { m_form.show(); }

    // Writes the list and runs it as if the user had picked it.
    void RunList(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const std::string& line : lines)
            bytes += line + "\r\n";
        WriteFileBytes(ListPath(), bytes);
        m_dialogs.FileAnswers.push_back(QString::fromStdString(ListPath()));
        m_form.Button1Click();
        EXPECT_EQ(ReadFileBytes(ListPath()), bytes); // never changed
    }
    std::string ListPath() const { return m_dir.Path() + "task_failed.ftl"; }
    std::string Tile(const std::string& name) const { return m_dir.Path() + name; }
    std::string Entry(const std::string& tile, const std::string& target) const {
        return Tile(tile) + "|" + m_server.Url(target);
    }
    QStringList Pane() const {
        const QString text =
            m_form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    static QStringList Lines(const std::vector<std::string>& lines) {
        QStringList list;
        for (const std::string& line : lines)
            list << QString::fromStdString(line);
        return list;
    }

    TempDir m_dir;
    TileServer m_server;
    RecordingDialogs m_dialogs;
    TfrmFlt m_form{m_dialogs};
};

TEST_F(Redownload, EachAnswerGivesItsLinesAndARefusalEndsTheRun) {
    WriteFileBytes(Tile("zavm_4_1_3.png"), "old");
    RunList({Entry("zavm_1_1_3.png", "/ok/a"), Entry("zavm_2_1_3.png", "/status/404"),
             Entry("zavm_3_1_3.png", "/status/500"), Entry("zavm_4_1_3.png", "/reset-once"),
             Entry("zavm_5_1_3.png", "/reset"), Entry("zavm_6_1_3.png", "/ok/b"),
             Entry("zavm_7_1_3.png", "/status/403"), Entry("zavm_8_1_3.png", "/ok/never")});

    const auto url = [&](const char* target) { return m_server.Url(target); };
    EXPECT_EQ(Pane(),
              Lines({"Start...", Tile("zavm_1_1_3.png") + ":" + url("/ok/a") + " ->OK",
                     "404 Not Found->" + url("/status/404"),
                     url("/status/404") + ":Error: the image is not found on server.",
                     "500 Internal Server Error->" + url("/status/500"),
                     Tile("zavm_4_1_3.png") + ":" + url("/reset-once") + " ->OK",
                     "Socket Error # 10054", "Connection reset by peer.->" + url("/reset"),
                     Tile("zavm_6_1_3.png") + ":" + url("/ok/b") + " ->OK",
                     "403 Forbidden->" + url("/status/403"), "Error: may be your IP is banned.",
                     "Please try again later.", "Download End."}));
    // Only the bodies of successes are saved; the reset's first bytes are not.
    EXPECT_EQ(FolderEntries(m_dir.Path()),
              (std::vector<std::string>{"task_failed.ftl", "zavm_1_1_3.png", "zavm_4_1_3.png",
                                        "zavm_6_1_3.png"}));
    EXPECT_EQ(ReadFileBytes(Tile("zavm_1_1_3.png")), "tile a");
    EXPECT_EQ(ReadFileBytes(Tile("zavm_4_1_3.png")), "second");
    // A reset is repeated at once, up to the bound; nothing after the refusal is asked for.
    std::vector<std::string> targets = {"/ok/a", "/status/404", "/status/500", "/reset-once",
                                        "/reset-once"};
    targets.insert(targets.end(), RerunMaxAttempts, "/reset");
    targets.insert(targets.end(), {"/ok/b", "/status/403"});
    EXPECT_EQ(m_server.Targets(), targets);
    EXPECT_EQ(m_server.FirstRequest(),
              "GET /ok/a HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/html, */*\r\n"
              "Referer: http://www.maps.example/\r\n"
              "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n"
              "Connection: Keep_Alive\r\n\r\n");
    ASSERT_EQ(m_dialogs.Calls.size(), 1u);
    EXPECT_EQ(m_dialogs.Calls[0].What, Kind::OpenFile);
    EXPECT_EQ(m_dialogs.Calls[0].Text, QStringLiteral("Open ftl file:"));
    EXPECT_EQ(m_dialogs.Calls[0].Extra,
              QStringList({QStringLiteral("Projects(*.ftl)|*.ftl"), QString()}));
}

TEST_F(Redownload, AFileThatCannotBeReadOrWrittenEndsTheRunWithItsBox) {
    m_dialogs.FileAnswers.push_back(QString::fromStdString(Tile("missing.ftl")));
    m_form.Button1Click();
    EXPECT_EQ(m_dialogs.TextsOf(Kind::Error),
              QStringList("Cannot open file " + QString::fromStdString(Tile("missing.ftl"))));
    EXPECT_EQ(Pane(), QStringList());
    EXPECT_TRUE(m_server.Targets().empty());

    struct Case {
        std::string Name;  // in the folder; "" lists an empty path
        bool ExistsBefore; // a file of the user's stands there
    };
    const Case cases[] = {
        {"gone/zavm_1_1_3.png", false}, // the folder no longer exists
        {"notes.txt", true},            // not a tile's name: never written
        {"zavm_1_1_3.png.sh", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        m_dialogs.Calls.clear();
        const std::size_t asked = m_server.Targets().size();
        const std::string path = c.Name.empty() ? std::string() : Tile(c.Name);
        if (c.ExistsBefore)
            WriteFileBytes(path, "mine");
        RunList({path + "|" + m_server.Url("/ok/a"), Entry("zavm_2_1_3.png", "/ok/b")});
        // The body came, but the run ends at the entry: the next is not tried, no end line.
        EXPECT_EQ(m_dialogs.TextsOf(Kind::Error),
                  QStringList("Cannot create file " + QString::fromStdString(path)));
        EXPECT_EQ(Pane(), QStringList("Start..."));
        EXPECT_EQ(m_server.Targets().size(), asked + 1);
        if (c.ExistsBefore) {
            EXPECT_EQ(ReadFileBytes(path), "mine");
        }
    }
    EXPECT_EQ(FolderEntries(m_dir.Path()),
              (std::vector<std::string>{"notes.txt", "task_failed.ftl"}));
}

TEST_F(Redownload, ShowingOrARunEmptiesThePaneAndACancelLeavesIt) {
    EXPECT_EQ(m_form.size(), QSize(703, 453));
    EXPECT_EQ(m_form.minimumSize(), m_form.maximumSize());
    EXPECT_EQ(m_form.windowTitle(), QStringLiteral("Re-Download failed files"));
    const auto geometry = [&](const char* name) {
        return m_form.findChild<QWidget*>(QString::fromLatin1(name))->geometry();
    };
    EXPECT_EQ(geometry("Panel1"), QRect(0, 0, 703, 57));
    EXPECT_EQ(geometry("Button1"), QRect(16, 16, 201, 25));
    EXPECT_EQ(geometry("Panel2"), QRect(0, 57, 703, 396));
    EXPECT_EQ(geometry("Memo1"), QRect(0, 0, 703, 396));
    const auto* memo = m_form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(m_form.findChild<QPushButton*>(QStringLiteral("Button1"))->text(),
              QStringLiteral("Open *.ftl file and download..."));

    RunList({Entry("zavm_1_1_3.png", "/ok/a")});
    EXPECT_EQ(Pane().size(), 3);
    RunList({});
    EXPECT_EQ(Pane(), QStringList("No failed files records."));
    m_form.findChild<QPushButton*>(QStringLiteral("Button1"))->click(); // cancelled
    EXPECT_EQ(Pane(), QStringList("No failed files records."));
    m_form.hide();
    m_form.show();
    EXPECT_EQ(Pane(), QStringList());
    EXPECT_TRUE(m_dialogs.TextsOf(Kind::Error).isEmpty());
}

// A click that arrives while a run is under way does not start a second one.
TEST(RedownloadWindow, AClickDuringARunIsIgnored) {
    struct ReenteringDialogs : RecordingDialogs {
        TfrmFlt* Form = nullptr;
        QString OpenFile(const QString& title, const QString& filter,
                         const QString& initialFolder) override {
            Form->Button1Click();
            return RecordingDialogs::OpenFile(title, filter, initialFolder);
        }
    } dialogs;
    TfrmFlt form(dialogs);
    dialogs.Form = &form;
    form.Button1Click();
    EXPECT_EQ(dialogs.TextsOf(Kind::OpenFile).size(), 1);
}

TEST(RerunLines, TheMessageAloneDecidesWhatFollowsAFailure) {
    const std::string url = "http://127.0.0.1:1/t";
    const std::string notFound = url + ":Error: the image is not found on server.";
    const std::string banned(BannedLine);
    struct Case {
        std::string Message;
        bool Repeated;
        std::vector<std::string> Lines; // after the line of the message and the URL
        bool EndsRun;
    };
    const Case cases[] = {
        {"404 Not Found", false, {notFound}, false},
        {"403 Forbidden", false, {banned}, true},
        {"302 Found", false, {banned}, true},
        {"500 Internal Server Error", false, {}, false},
        {"Connection Closed Gracefully.", false, {}, false},
        {"Socket Error # 10061\r\nConnection refused.", false, {}, false},
        {"Socket Error # 10054\r\nConnection reset by peer.", true, {}, false},
        {"404 then 403", false, {banned}, true}, // the refusal is looked for first
        {"403 forbidden", false, {banned}, true},
        {"4040 Odd", false, {notFound}, false}, // plain substring tests
        {"", false, {}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsReset(c.Message), c.Repeated) << c.Message;
        const RerunReport report = FailureReport(c.Message, url);
        std::vector<std::string> lines = {c.Message + "->" + url};
        lines.insert(lines.end(), c.Lines.begin(), c.Lines.end());
        EXPECT_EQ(report.Lines, lines) << c.Message;
        EXPECT_EQ(report.EndsRun, c.EndsRun) << c.Message;
    }
    EXPECT_EQ(SavedLine("/m/zavm_1_2_3.png", url), "/m/zavm_1_2_3.png:" + url + " ->OK");
    EXPECT_EQ(banned, "Error: may be your IP is banned.\nPlease try again later.");
}

} // namespace
} // namespace quarrow
