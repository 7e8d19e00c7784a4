// The client's answer reading over a buffer that stands in for the socket: the same answers give
// the same result whether the bytes come whole or one at a time.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/ByteReader.h"
#include "download/httpclient.h"

namespace {

using namespace quarrow;

// Hands out the bytes in pieces of at most `piece` bytes, then reports the peer's close.
class BufferSource : public ByteSource {
public:
    BufferSource(std::string bytes, std::size_t piece)
        : m_bytes(std::move(bytes)), m_piece(piece) {}

    std::size_t Receive(char* data, std::size_t size) override {
        ++Calls;
        const std::size_t count = std::min({size, m_piece, m_bytes.size() - m_at});
        std::memcpy(data, m_bytes.data() + m_at, count);
        m_at += count;
        return count;
    }
    int Calls = 0;

private:
    std::string m_bytes;
    std::size_t m_piece;
    std::size_t m_at = 0;
};

struct Case {
    const char* Name;
    std::string Bytes;
    std::size_t MaxBody;
    // Per answer: "keep", "close" or the error's text, until one closes or fails; then the
    // bodies read.
    std::vector<std::string> Outcomes;
    std::string Body;
};

std::vector<std::string> ReadAll(ByteReader& reader, TIdHTTP& http, std::string& body) {
    std::vector<std::string> outcomes;
    for (int i = 0; i < 8; ++i) {
        try {
            outcomes.push_back(http.ReadAnswer(reader, body) ? "keep" : "close");
        } catch (const Exception& e) {
            outcomes.push_back(e.what());
            if (!dynamic_cast<const EIdProtocolReplyError*>(&e))
                break;
        }
        if (outcomes.back() == "close" || reader.PeerClosed())
            break;
    }
    return outcomes;
}

TEST(HttpAnswer, ReadsTheSameWhateverThePieces) {
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300, 'p');
    const std::vector<Case> cases = {
        {"length then chunked on one connection",
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
         "12c ; ext\r\n" +
             std::string(300, 'p') + "\r\n8\r\n" + png.substr(0, 8) + "\r\n0\r\n\r\n",
         1 << 20,
         {"keep", "keep", "Connection Closed Gracefully."},
         "abc" + std::string(300, 'p') + png.substr(0, 8)},
        {"an error answer read whole, then one that closes",
         "HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\n\r\nNot Found\n"
         "HTTP/1.0 200 OK\r\n\r\nuntil the close",
         1 << 20,
         {"404 Not Found", "close"},
         "Not Found\nuntil the close"},
        {"a chunked body beyond the limit is refused before it is read",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: "
         "chunked\r\n\r\n4\r\nabcd\r\n5\r\nefghi\r\n0\r\n\r\n",
         8,
         {"Response body larger than 8 bytes refused."},
         "abcd"},
        {"an until-close body reads one byte past the limit",
         "HTTP/1.1 200 OK\r\n\r\n0123456789",
         8,
         {"Response body larger than 8 bytes refused."},
         "012345678"},
        {"a close in the head",
         "HTTP/1.1 200 OK\r\nContent-Le",
         8,
         {"Connection Closed Gracefully."},
         ""},
    };
    for (const Case& c : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, c.Bytes.size()}) {
            SCOPED_TRACE(std::string(c.Name) + ", pieces of " + std::to_string(piece));
            BufferSource source(c.Bytes, piece);
            ByteReader reader(source);
            TIdHTTP http;
            http.MaxBodySize = c.MaxBody;
            std::string body;
            EXPECT_EQ(c.Outcomes, ReadAll(reader, http, body));
            EXPECT_EQ(c.Body, body);
        }
    }
}

TEST(HttpAnswer, ASourceThatHasClosedIsNotAskedAgain) {
    BufferSource source("", 1);
    ByteReader reader(source);
    std::string out;
    EXPECT_EQ(0U, reader.ReadSome(out, 10));
    EXPECT_TRUE(reader.PeerClosed());
    EXPECT_THROW(reader.ReadExactly(out, 1), EIdConnClosedGracefully);
    std::string line;
    EXPECT_THROW(reader.ReadLine(line, 10), EIdConnClosedGracefully);
    EXPECT_EQ(1, source.Calls);
}

} // namespace
