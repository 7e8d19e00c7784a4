// The reads of an HTTP answer over any source of bytes: the socket in the program, a buffer in
// the tests and the fuzz target. No platform calls here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quarrow {

// Where a connection's received bytes come from: the socket in the program, a buffer where the
// reading is to be driven without a peer.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Waits for bytes and puts at most size (> 0) of them into data; 0 once the peer has closed.
    // Failures throw.
    virtual std::size_t Receive(char* data, std::size_t size) = 0;
};

// The reads of an answer over a byte source, through a receive buffer. A source that has once
// reported the peer's close is not asked again.
class ByteReader {
public:
    explicit ByteReader(ByteSource& source);
    ByteReader(const ByteReader&) = delete;
    ByteReader& operator=(const ByteReader&) = delete;

    // Reads up to LF into line (replacing its content), with a CR just before the LF removed.
    // Returns false, leaving the rest unread, when the line would be longer than maxLength.
    // Throws EIdConnClosedGracefully when the peer closes before the LF.
    bool ReadLine(std::string& line, std::size_t maxLength);

    // Appends exactly count bytes to out; what came before a failure stays appended.
    void ReadExactly(std::string& out, std::size_t count);

    // Appends what is available, at most maxCount (> 0) bytes, waiting for at least one;
    // returns the number appended, 0 once the peer has closed.
    std::size_t ReadSome(std::string& out, std::size_t maxCount);

    // True once a read has seen the peer close its side.
    bool PeerClosed() const noexcept { return m_peerClosed; }
    // Whether received bytes wait in the buffer, unread.
    bool HasBuffered() const noexcept { return Buffered() > 0; }
    // How many bytes the source has given so far, read or not.
    std::uint64_t Received() const noexcept { return m_received; }

private:
    std::size_t Receive(char* data, std::size_t size);
    // Refills the receive buffer; false when the peer has closed.
    bool Fill();
    // Receives straight into out's tail, at most maxCount bytes; 0 when the peer has closed.
    std::size_t ReceiveInto(std::string& out, std::size_t maxCount);
    std::size_t Buffered() const noexcept { return m_end - m_begin; }

    static constexpr std::size_t BufferSize = 16 * 1024;

    ByteSource& m_source;
    bool m_peerClosed = false;
    std::uint64_t m_received = 0;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

} // namespace quarrow
