// The TCP connection under the HTTP client, and the Windows Sockets numbering of its failures.
// Only Socket.cpp touches the operating system's socket calls, so another platform replaces it
// alone.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quarrow {

// Windows Sockets numbers that the rest of the client names.
namespace winsock {
inline constexpr int ConnectionReset = 10054;
inline constexpr int TimedOut = 10060;
inline constexpr int ConnectionRefused = 10061;
inline constexpr int AddressNotAvailable = 10049;
inline constexpr int HostNotFound = 11001;
inline constexpr int TryAgain = 11002;
inline constexpr int NoRecovery = 11003;
} // namespace winsock

// The description of a Windows Sockets number; empty for a number outside the table.
std::string_view WinsockErrorText(int number);

// "Socket Error # <number>" CR LF and the number's description.
std::string SocketErrorMessage(int number);

// The Windows Sockets number of an errno value left by a socket call; the errno value itself
// when no Windows Sockets number fits (it stays below the table and names the real cause).
int WinsockErrorFromErrno(int error);

// The Windows Sockets number of a failed getaddrinfo; systemError is errno for EAI_SYSTEM.
int WinsockErrorFromLookup(int code, int systemError);

// One client-side TCP connection with a receive buffer. Every wait (connect, each read, each
// write that cannot go out at once) lasts at most the time-out and then fails with 10060.
// Failures throw EIdSocketError; a peer that closes while bytes are awaited throws
// EIdConnClosedGracefully.
class TcpConnection {
public:
    // Resolves host to its first IPv4 address (a dotted address is used as it is) and connects.
    static std::unique_ptr<TcpConnection> Open(const std::string& host, int port,
                                               std::chrono::milliseconds timeout);
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    void SetTimeout(std::chrono::milliseconds timeout) noexcept { m_timeout = timeout; }

    // Sends all bytes. With more, the caller writes again at once: the system may hold the
    // bytes back to send them with the next write, so that the peer's delayed acknowledgement
    // and Nagle's algorithm do not stall a request written in pieces.
    void Write(std::string_view bytes, bool more = false);

    // Reads up to LF into line (replacing its content), with a CR just before the LF removed.
    // Returns false, leaving the rest unread, when the line would be longer than maxLength.
    bool ReadLine(std::string& line, std::size_t maxLength);

    // Appends exactly count bytes to out; what came before a failure stays appended.
    void ReadExactly(std::string& out, std::size_t count);

    // Appends what is available, at most maxCount (> 0) bytes, waiting for at least one;
    // returns the number appended, 0 once the peer has closed.
    std::size_t ReadSome(std::string& out, std::size_t maxCount);

    // True once a read has seen the peer close its side.
    bool PeerClosed() const noexcept { return m_peerClosed; }

private:
    TcpConnection(std::intptr_t handle, std::chrono::milliseconds timeout);
    // Waits for bytes and receives at most size of them; 0 when the peer has closed.
    std::size_t Receive(char* data, std::size_t size);
    // Refills the receive buffer; false when the peer has closed.
    bool Fill();
    // Receives straight into out's tail, at most maxCount bytes; 0 when the peer has closed.
    std::size_t ReceiveInto(std::string& out, std::size_t maxCount);
    std::size_t Buffered() const noexcept { return m_end - m_begin; }

    static constexpr std::size_t BufferSize = 16 * 1024;

    std::intptr_t m_handle; // wide enough for a Windows SOCKET too
    std::chrono::milliseconds m_timeout;
    bool m_peerClosed = false;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

} // namespace quarrow
