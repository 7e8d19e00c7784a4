// POSIX sockets behind TcpConnection: look-up, connect, bounded waits, sends and receives.
#include "Socket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/RetryEintr.h"
#include "ClientErrors.h"

namespace quarrow {

namespace {

[[noreturn]] void ThrowErrno(int error) {
    throw EIdSocketError(WinsockErrorFromErrno(error));
}

// Names under ".invalid" never resolve (RFC 6761); answering at once keeps a machine without a
// reachable name server from turning them into a "try again".
bool IsReservedInvalidName(std::string_view host) {
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    constexpr std::string_view Label = "invalid";
    if (host.size() < Label.size())
        return false;
    const std::string_view tail = host.substr(host.size() - Label.size());
    for (std::size_t i = 0; i < Label.size(); ++i)
        if ((tail[i] | 0x20) != Label[i]) // ASCII letters only, so setting bit 5 lowers them
            return false;
    return host.size() == Label.size() || host[host.size() - Label.size() - 1] == '.';
}

enum class WaitEnd { Ready, TimedOut, Cut };

[[noreturn]] void ThrowWaitEnd(WaitEnd end) {
    throw EIdSocketError(end == WaitEnd::Cut ? winsock::ConnectionAborted : winsock::TimedOut);
}

SteadyClock::time_point CutOf(const WaitLimits& limits) noexcept {
    return limits.Cut ? limits.Cut->When() : SteadyClock::time_point::max();
}

// Which limit of a wait that ends at `end` (its time-out or the deadline) has passed at `now`;
// the cut counts first. Ready while none has.
WaitEnd PassedLimit(const WaitLimits& limits, SteadyClock::time_point end,
                    SteadyClock::time_point now) noexcept {
    if (now >= CutOf(limits))
        return WaitEnd::Cut;
    return now >= end ? WaitEnd::TimedOut : WaitEnd::Ready;
}

// The end of a wait that begins at `start`: its time-out or the deadline, whichever is first.
SteadyClock::time_point WaitEndTime(const WaitLimits& limits, SteadyClock::time_point start) {
    return std::min(DeadlineAfter(start, limits.Timeout), limits.Deadline);
}

// Where the next slice of a wait that ends at `end` stops sleeping: never past a limit and never
// later than WaitSlice from now, so that a cut set meanwhile is seen.
SteadyClock::time_point SliceEnd(const WaitLimits& limits, SteadyClock::time_point end,
                                 SteadyClock::time_point now) noexcept {
    return std::min({end, CutOf(limits), now + WaitSlice});
}

// ---- POSIX calls; a Winsock build replaces this block -------------------------------------

int Native(std::intptr_t handle) noexcept {
    return static_cast<int>(handle);
}

void CloseSocket(std::intptr_t handle) noexcept {
    ::close(Native(handle));
}

// Waits until the socket is ready for events, or until a limit passes.
WaitEnd WaitReady(std::intptr_t handle, short events, const WaitLimits& limits) {
    const auto end = WaitEndTime(limits, SteadyClock::now());
    for (;;) {
        const auto now = SteadyClock::now();
        if (const WaitEnd passed = PassedLimit(limits, end, now); passed != WaitEnd::Ready)
            return passed;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(SliceEnd(limits, end, now) - now);
        pollfd entry{Native(handle), events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return WaitEnd::Ready;
        // An interrupted poll is made again after the limits are looked at afresh.
        if (ready < 0 && errno != EINTR)
            ThrowErrno(errno);
    }
}

LookupResult GetAddrInfo(const std::string& host, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    LookupResult result;
    RetryOnEintr([&] {
        result.Code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        return result.Code == EAI_SYSTEM ? -1 : 0;
    });
    if (result.Code == EAI_SYSTEM)
        result.SystemError = errno;
    if (result.Code == 0) {
        sockaddr_in address{};
        std::memcpy(&address, found->ai_addr, sizeof address);
        result.Address = address.sin_addr.s_addr;
        ::freeaddrinfo(found);
    }
    return result;
}

LookupResult PlatformLookup(const std::string& host) {
    return GetAddrInfo(host, 0);
}

std::intptr_t ConnectSocket(const sockaddr_in& address, const WaitLimits& limits) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        ThrowErrno(errno);
    // Non-blocking throughout, so that every wait goes through poll and its time-out.
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        ThrowErrno(error);
    }
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        // An interrupted connect goes on in the background like one in progress.
        if (error == EINPROGRESS || error == EINTR) {
            error = 0;
            WaitEnd end = WaitEnd::Ready;
            try {
                end = WaitReady(fd, POLLOUT, limits);
            } catch (...) {
                ::close(fd);
                throw;
            }
            if (end != WaitEnd::Ready) {
                ::close(fd);
                ThrowWaitEnd(end);
            }
            socklen_t length = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    if (error != 0) {
        ::close(fd);
        ThrowErrno(error);
    }
    return fd;
}

// Sends what the socket takes now: the count, or 0 when it must be waited for.
std::size_t SendSome(std::intptr_t handle, std::string_view bytes, bool more) {
#ifdef MSG_MORE
    const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
#else
    static_cast<void>(more);
    const int flags = MSG_NOSIGNAL;
#endif
    const ssize_t sent =
        RetryOnEintr([&] { return ::send(Native(handle), bytes.data(), bytes.size(), flags); });
    if (sent >= 0)
        return static_cast<std::size_t>(sent);
    if (errno != EAGAIN && errno != EWOULDBLOCK)
        ThrowErrno(errno);
    return 0;
}

// Receives what has come: the count, 0 when the peer has closed, or nothing when it must be
// waited for.
std::optional<std::size_t> ReceiveSome(std::intptr_t handle, char* data, std::size_t size) {
    const ssize_t received = RetryOnEintr([&] { return ::recv(Native(handle), data, size, 0); });
    if (received >= 0)
        return static_cast<std::size_t>(received);
    if (errno != EAGAIN && errno != EWOULDBLOCK)
        ThrowErrno(errno);
    return std::nullopt;
}

constexpr short ReadableEvent = POLLIN;
constexpr short WritableEvent = POLLOUT;

// Whether the peer has closed or reset the connection: readable, with nothing or an error to
// read. Looks without waiting and takes nothing.
bool PeerGone(std::intptr_t handle) {
    pollfd entry{Native(handle), POLLIN, 0};
    if (RetryOnEintr([&] { return ::poll(&entry, 1, 0); }) <= 0)
        return false;
    char byte = 0;
    const ssize_t peeked =
        RetryOnEintr([&] { return ::recv(Native(handle), &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// ---- end of the POSIX calls ------------------------------------------------------------------

std::atomic<HostLookup> TestLookup{nullptr};

// What the look-up thread and the request's thread share; whichever ends last frees it.
struct PendingLookup {
    std::mutex Mutex;
    std::condition_variable Finished;
    bool Done = false;
    LookupResult Result;
};

// Runs the look-up on a helper thread and waits for it within the limits. A look-up given up
// on goes on alone and then ends; nothing waits for it.
LookupResult LookUpWithin(const std::string& host, const WaitLimits& limits) {
    const auto start = SteadyClock::now();
    const HostLookup replaced = TestLookup.load();
    const HostLookup lookup = replaced ? replaced : &PlatformLookup;
    auto pending = std::make_shared<PendingLookup>();
    try {
        std::thread([pending, host, lookup] {
            const LookupResult result = lookup(host);
            std::lock_guard lock(pending->Mutex);
            pending->Result = result;
            pending->Done = true;
            pending->Finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return lookup(host); // no thread to spare: the look-up is waited for unbounded
    }
    const auto end = WaitEndTime(limits, start);
    std::unique_lock lock(pending->Mutex);
    for (;;) {
        if (pending->Done)
            return pending->Result;
        const auto now = SteadyClock::now();
        if (const WaitEnd passed = PassedLimit(limits, end, now); passed != WaitEnd::Ready)
            ThrowWaitEnd(passed);
        pending->Finished.wait_until(lock, SliceEnd(limits, end, now));
    }
}

sockaddr_in Resolve(const std::string& host, const WaitLimits& limits) {
    if (IsReservedInvalidName(host) || host.find('\0') != std::string::npos)
        throw EIdSocketError(winsock::HostNotFound);
    // A numeric address needs no name server and is taken at once.
    LookupResult found = GetAddrInfo(host, AI_NUMERICHOST);
    if (found.Code != 0)
        found = LookUpWithin(host, limits);
    if (found.Code != 0)
        throw EIdSocketError(WinsockErrorFromLookup(found.Code, found.SystemError));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = found.Address;
    return address;
}

} // namespace

void CutTime::CutAt(SteadyClock::time_point when) noexcept {
    const SteadyClock::rep wanted = when.time_since_epoch().count();
    SteadyClock::rep current = m_when.load();
    while (wanted < current && !m_when.compare_exchange_weak(current, wanted)) {
    }
}

SteadyClock::time_point CutTime::When() const noexcept {
    return SteadyClock::time_point(SteadyClock::duration(m_when.load()));
}

SteadyClock::time_point DeadlineAfter(SteadyClock::time_point start,
                                      std::chrono::milliseconds span) noexcept {
    if (span.count() <= 0)
        return start;
    const auto room =
        std::chrono::floor<std::chrono::milliseconds>(SteadyClock::time_point::max() - start);
    return span >= room ? SteadyClock::time_point::max() : start + span;
}

void CheckLimits(const WaitLimits& limits) {
    const auto now = SteadyClock::now();
    if (const WaitEnd passed = PassedLimit(limits, limits.Deadline, now); passed != WaitEnd::Ready)
        ThrowWaitEnd(passed);
}

void WaitForSocket(std::intptr_t handle, bool writing, const WaitLimits& limits) {
    if (const WaitEnd end = WaitReady(handle, writing ? POLLOUT : POLLIN, limits);
        end != WaitEnd::Ready)
        ThrowWaitEnd(end);
}

void SetHostLookupForTests(HostLookup lookup) noexcept {
    TestLookup.store(lookup);
}

std::unique_ptr<TcpConnection> TcpConnection::Open(const std::string& host, int port,
                                                   const WaitLimits& limits) {
    CheckLimits(limits);
    // The look-up comes first, as it does before a Winsock connect, so that a name that does not
    // resolve is reported as such whatever the port.
    sockaddr_in address = Resolve(host, limits);
    // Port 0 and numbers beyond 16 bits name no peer; Winsock says so with 10049.
    if (port < 1 || port > 65535)
        throw EIdSocketError(winsock::AddressNotAvailable);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const std::intptr_t handle = ConnectSocket(address, limits);
    try {
        return std::unique_ptr<TcpConnection>(new TcpConnection(handle, limits));
    } catch (...) {
        CloseSocket(handle);
        throw;
    }
}

TcpConnection::TcpConnection(std::intptr_t handle, const WaitLimits& limits)
    : m_handle(handle), m_limits(limits) {}

TcpConnection::~TcpConnection() {
    CloseSocket(m_handle);
}

void TcpConnection::Write(std::string_view bytes, bool more) {
    while (!bytes.empty()) {
        const std::size_t sent = SendSome(m_handle, bytes, more);
        if (sent > 0)
            bytes.remove_prefix(sent);
        else if (const WaitEnd end = WaitReady(m_handle, WritableEvent, m_limits);
                 end != WaitEnd::Ready)
            ThrowWaitEnd(end);
    }
}

bool TcpConnection::LooksClosed() {
    return PeerGone(m_handle);
}

std::size_t TcpConnection::Receive(char* data, std::size_t size) {
    for (;;) {
        if (const WaitEnd end = WaitReady(m_handle, ReadableEvent, m_limits); end != WaitEnd::Ready)
            ThrowWaitEnd(end);
        if (const auto received = ReceiveSome(m_handle, data, size))
            return *received;
    }
}

} // namespace quarrow
