// The TCP connection under the HTTP client: host look-up, connect, and reads and writes whose
// every wait is bounded. Only Socket.cpp touches the operating system's socket calls, so another
// platform replaces it alone; the failure numbering and the reading of answers live beside it.
// It knows nothing of TLS, which runs over it (Tls.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Stream.h"
#include "WinsockErrors.h"

namespace quarrow {

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

// Waits until the socket can be read (or written) within the limits; throws when a wait passes
// one, as the connection's own waits do.
void WaitForSocket(std::intptr_t handle, bool writing, const WaitLimits& limits);

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

// One client-side TCP connection, a plain stream. Every wait is bounded by the limits (see
// WaitLimits). Failures throw EIdSocketError; a peer that closes while bytes are awaited throws
// EIdConnClosedGracefully.
class TcpConnection final : public Stream {
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

    void SetTimeout(std::chrono::milliseconds timeout) noexcept { m_limits.Timeout = timeout; }
    void SetLimits(const WaitLimits& limits) noexcept override { m_limits = limits; }
    const WaitLimits& Limits() const noexcept { return m_limits; }
    // The socket, for what runs over it (TLS); it stays the connection's own.
    std::intptr_t Handle() const noexcept { return m_handle; }

    // Sends all bytes. With more, the caller writes again at once: the system may hold the
    // bytes back to send them with the next write, so that the peer's delayed acknowledgement
    // and Nagle's algorithm do not stall a request written in pieces.
    void Write(std::string_view bytes, bool more = false) override;

private:
    TcpConnection(std::intptr_t handle, const WaitLimits& limits);
    // Waits for bytes on the socket within the limits.
    std::size_t Receive(char* data, std::size_t size) override;
    bool LooksClosed() override;

    std::intptr_t m_handle; // wide enough for a Windows SOCKET too
    WaitLimits m_limits;
};

} // namespace quarrow
