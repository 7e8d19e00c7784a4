// The HTTP client's answer reading (status line, headers, Content-Length, chunked and
// until-close bodies) over a buffer that stands in for the socket, answers read one after the
// other as on a kept connection.
#include <algorithm>
#include <cstring>

#include "FuzzSupport.h"
#include "download/ByteReader.h"
#include "download/FailureTexts.h"
#include "download/httpclient.h"

namespace {

using namespace quarrow;
using fuzz::Check;

// Hands out the bytes in pieces of varying size, as a network does.
class PieceSource : public ByteSource {
public:
    PieceSource(std::string_view bytes, std::uint8_t pattern)
        : m_bytes(bytes), m_pattern(pattern) {}

    std::size_t Receive(char* data, std::size_t size) override {
        Check(size > 0, "a receive asks for at least one byte");
        Check(!m_closed, "no receive after the peer has closed");
        // Pattern 0 hands out everything at once, others pieces of 1 to 63 bytes by turns.
        std::size_t piece = m_bytes.size();
        if (m_pattern != 0)
            piece = 1 + (m_pattern * ++m_count) % 63;
        const std::size_t count = std::min({size, piece, m_bytes.size()});
        std::memcpy(data, m_bytes.data(), count);
        m_bytes.remove_prefix(count);
        m_closed = count == 0;
        return count;
    }

private:
    std::string_view m_bytes;
    std::uint8_t m_pattern;
    std::size_t m_count = 0;
    bool m_closed = false;
};

constexpr std::size_t BodyLimits[] = {0, 1, 16, 4096, std::size_t{64} << 20};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    PieceSource source(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2),
                       data[0]);
    ByteReader reader(source);
    TIdHTTP http;
    http.MaxBodySize = BodyLimits[data[1] % std::size(BodyLimits)];
    // The high bit reads the answers as a custom source's client does.
    http.Rules.StrictFraming = (data[1] & 0x80) != 0;
    std::string buffer;
    for (int answer = 0; answer < 64; ++answer) {
        const std::size_t before = buffer.size();
        bool keep = false;
        try {
            keep = http.ReadAnswer(reader, buffer);
        } catch (const EIdProtocolReplyError& e) {
            Check(e.ReplyErrorCode == http.StatusCode, "the error carries the status code");
            // A custom source's service cannot make its answer read as another failure.
            Check(!http.Rules.StrictFraming ||
                      (e.Message().substr(0, 3) == std::to_string(e.ReplyErrorCode) &&
                       !failure::HoldsAnyMarker(e.Message().substr(3))),
                  "a strict answer's message is its code and a standard reason");
            keep = true; // read whole: the next answer follows
        } catch (const Exception&) {
            keep = false;
        }
        // One byte past the limit is how an until-close body finds that it is too large.
        Check(buffer.size() - before <= http.MaxBodySize + 1, "a body stays within its limit");
        if (!keep || reader.PeerClosed())
            break;
    }
    return 0;
}
