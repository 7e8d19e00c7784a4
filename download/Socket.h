// The TCP connection under the HTTP client, and the Windows Sockets numbering of its failures.
// Only Socket.cpp touches the operating system's socket calls, so another platform replaces it
// alone.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quarrow {

// Windows Sockets numbers that the rest of the client names.
namespace winsock {
inline constexpr int ConnectionAborted = 10053;
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

using SteadyClock = std::chrono::steady_clock;

// The time from which a connection's waits are cut. Any thread may set it while another waits;
// a wait notices it within WaitSlice.
class CutTime {
public:
    // The earlier of the time already set and this one stays.
    void CutAt(SteadyClock::time_point when) noexcept;
    // time_point::max() while no cut is set.
    SteadyClock::time_point When() const noexcept;
    bool Reached() const noexcept { return SteadyClock::now() >= When(); }

private:
    std::atomic<SteadyClock::rep> m_when{SteadyClock::time_point::max().time_since_epoch().count()};
};

// The longest that a wait sleeps before it looks at its cut again.
inline constexpr std::chrono::milliseconds WaitSlice{100};

// What bounds every wait of a connection (the host look-up, the connect, each read, each write
// that cannot go out at once): its own time-out, the deadline of the whole exchange and a cut.
// A wait that reaches the time-out or the deadline fails with 10060, one that reaches the cut
// with 10053; the cut counts first.
struct WaitLimits {
    std::chrono::milliseconds Timeout{30000};
    SteadyClock::time_point Deadline = SteadyClock::time_point::max();
    const CutTime* Cut = nullptr; // not owned: it outlives the connection; none when null
};

// The deadline that lies `span` after `start`, time_point::max() when that is beyond the clock.
SteadyClock::time_point DeadlineAfter(SteadyClock::time_point start,
                                      std::chrono::milliseconds span) noexcept;

// Throws for a limit that has passed: 10053 for the cut, 10060 for the deadline.
void CheckLimits(const WaitLimits& limits);

// What a host look-up found: getaddrinfo's result code (0 or EAI_...), errno for EAI_SYSTEM, and
// on success the host's first IPv4 address in network byte order.
struct LookupResult {
    int Code = 0;
    int SystemError = 0;
    std::uint32_t Address = 0;
};
// The look-up of a name, replaceable by tests to stand for a name server that takes its time.
using HostLookup = LookupResult (*)(const std::string& host);
// nullptr restores the platform's look-up.
void SetHostLookupForTests(HostLookup lookup) noexcept;

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
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

// One client-side TCP connection, read through a ByteReader. Every wait is bounded by the limits
// (see WaitLimits). Failures throw EIdSocketError; a peer that closes while bytes are awaited
// throws EIdConnClosedGracefully.
class TcpConnection : private ByteSource {
public:
    // Resolves host to its first IPv4 address (a dotted address is used as it is) and connects.
    // A name is looked up on a helper thread, so that the limits bound the wait for it too; a
    // look-up given up on ends by itself.
    static std::unique_ptr<TcpConnection> Open(const std::string& host, int port,
                                               const WaitLimits& limits);
    static std::unique_ptr<TcpConnection> Open(const std::string& host, int port,
                                               std::chrono::milliseconds timeout) {
        return Open(host, port, WaitLimits{timeout});
    }
    ~TcpConnection() override;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    void SetTimeout(std::chrono::milliseconds timeout) noexcept { m_limits.Timeout = timeout; }
    void SetLimits(const WaitLimits& limits) noexcept { m_limits = limits; }

    // Sends all bytes. With more, the caller writes again at once: the system may hold the
    // bytes back to send them with the next write, so that the peer's delayed acknowledgement
    // and Nagle's algorithm do not stall a request written in pieces.
    void Write(std::string_view bytes, bool more = false);

    // The reads; see ByteReader.
    ByteReader& Reader() noexcept { return m_reader; }

private:
    TcpConnection(std::intptr_t handle, const WaitLimits& limits);
    // Waits for bytes on the socket within the limits.
    std::size_t Receive(char* data, std::size_t size) override;

    std::intptr_t m_handle; // wide enough for a Windows SOCKET too
    WaitLimits m_limits;
    ByteReader m_reader{*this};
};

} // namespace quarrow
