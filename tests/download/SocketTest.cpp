// The socket layer: Windows Sockets numbers and texts, and TcpConnection against a local server.
#include "download/Socket.h"

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "download/httpclient.h"
#include "tests/support/LoopbackServer.h"

using namespace std::chrono_literals;
using quarrow::TcpConnection;
using quarrow::test::LoopbackServer;
using quarrow::test::ServerConnection;

namespace {

std::string SocketErrorText(const std::function<void()>& call) {
    try {
        call();
    } catch (const EIdSocketError& error) {
        return error.what();
    }
    return "no error";
}

} // namespace

TEST(WinsockTable, DescribesEachNumberExactlyAndNothingOutsideIt) {
    const std::pair<int, const char*> cases[] = {
        {10004, "Interrupted system call."},
        {10035, "Operation would block. "},
        {10048, "Address already in use."},
        {10053, "Software caused connection abort."},
        {10054, "Connection reset by peer."},
        {10060, "Connection timed out."},
        {10066, "Directory not empty"},
        {10003, ""},
        {10067, ""},
        {11001, ""},
    };
    for (const auto& [number, text] : cases) {
        const EIdSocketError error(number);
        EXPECT_EQ(number, error.LastError);
        EXPECT_EQ("Socket Error # " + std::to_string(number) + "\r\n" + text, error.what());
    }
}

TEST(WinsockTable, MapsSystemErrorsOntoWinsockNumbers) {
    const std::pair<int, int> cases[] = {
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {EADDRINUSE, 10048},
        {ECONNREFUSED, 10061},
        {ETIMEDOUT, 10060},
        {ECONNABORTED, 10053},
        {ENETUNREACH, 10051},
        {EHOSTUNREACH, 10065},
        {EAGAIN, 10035},
        {EIO, EIO}, // unmapped: the errno itself, which no caller mistakes for a table number
    };
    for (const auto& [error, number] : cases)
        EXPECT_EQ(number, quarrow::WinsockErrorFromErrno(error)) << error;

    EXPECT_EQ(11001, quarrow::WinsockErrorFromLookup(EAI_NONAME, 0));
    EXPECT_EQ(11001, quarrow::WinsockErrorFromLookup(EAI_NODATA, 0));
    EXPECT_EQ(11001, quarrow::WinsockErrorFromLookup(EAI_FAIL, 0));
    EXPECT_EQ(11002, quarrow::WinsockErrorFromLookup(EAI_AGAIN, 0));
    EXPECT_EQ(10061, quarrow::WinsockErrorFromLookup(EAI_SYSTEM, ECONNREFUSED));
}

TEST(TcpConnectionOpen, ReportsRefusalBadPortsAndReservedNames) {
    const quarrow::test::RefusingPort refusing;
    const int refused = refusing.Port();
    EXPECT_EQ("Socket Error # 10061\r\nConnection refused.",
              SocketErrorText([&] { TcpConnection::Open("127.0.0.1", refused, 2s); }));
    for (const int port : {0, -1, 65536})
        EXPECT_EQ("Socket Error # 10049\r\nCannot assign requested address.",
                  SocketErrorText([&] { TcpConnection::Open("127.0.0.1", port, 2s); }));
    for (const char* name : {"tiles.invalid", "TILES.INVALID.", "invalid", ""})
        for (const int port : {80, 0}) // the failed look-up is reported, not the port
            EXPECT_EQ("Socket Error # 11001\r\n",
                      SocketErrorText([&] { TcpConnection::Open(name, port, 2s); }))
                << name << ':' << port;
}

TEST(TcpConnectionRead, SplitsLinesAcrossPacketsAndKeepsBytesBeforeAClose) {
    const std::string longLine(20000, 'x'); // longer than the receive buffer
    LoopbackServer server([&](ServerConnection& c) {
        c.Send("a\r\nb");
        c.Send("\nc\r\r\n" + longLine + "\r\nbody");
        c.Close();
    });
    auto connection = TcpConnection::Open("127.0.0.1", server.Port(), 5s);
    quarrow::ByteReader& reader = connection->Reader();
    std::string line;
    for (const std::string expected : {"a", "b", "c\r"}) { // one CR only is removed
        ASSERT_TRUE(reader.ReadLine(line, 64 * 1024));
        EXPECT_EQ(expected, line);
    }
    ASSERT_TRUE(reader.ReadLine(line, 20000)); // the bound leaves room for the CR
    EXPECT_EQ(longLine, line);
    EXPECT_FALSE(reader.PeerClosed());
    std::string out = "old";
    EXPECT_THROW(reader.ReadExactly(out, 10), EIdConnClosedGracefully);
    EXPECT_EQ("oldbody", out);
    EXPECT_TRUE(reader.PeerClosed());
    EXPECT_EQ(0U, reader.ReadSome(out, 10));
}

TEST(TcpConnectionWrite, ReportsResetWithoutKillingTheProcess) {
    LoopbackServer server([](ServerConnection& c) { c.Reset(); });
    const std::string block(1024, 'x');
    EXPECT_EQ("Socket Error # 10054\r\nConnection reset by peer.", SocketErrorText([&] {
                  // The reset may even overtake the end of the connect.
                  auto connection = TcpConnection::Open("127.0.0.1", server.Port(), 5s);
                  for (int i = 0; i < 5000; ++i) // it arrives after a few writes at most
                      connection->Write(block);
              }));
}

TEST(CutTime, KeepsTheEarliestTimeAndSaysWhenItHasCome) {
    using Clock = std::chrono::steady_clock;
    quarrow::CutTime cut;
    EXPECT_EQ(Clock::time_point::max(), cut.When());
    EXPECT_FALSE(cut.Reached());
    const auto soon = Clock::now() + 1h;
    cut.CutAt(soon);
    cut.CutAt(soon + 1s);
    EXPECT_EQ(soon, cut.When());
    EXPECT_FALSE(cut.Reached());
    cut.CutAt(Clock::now());
    EXPECT_TRUE(cut.Reached());
}
