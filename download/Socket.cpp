// POSIX sockets behind TcpConnection, and the one table of Windows Sockets numbers and texts.
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

#include "httpclient.h"

namespace quarrow {

namespace {

struct WinsockError {
    int Number;
    std::string_view Text;
};

// The descriptions exactly as the callers and their users have always seen them, odd trailing
// blank of 10035 and missing full stop of 10066 included.
constexpr std::array<WinsockError, 39> WinsockErrors{{
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
}};

struct ErrnoMapping {
    int Errno;
    int Number;
};

// Winsock numbers are the BSD errno values plus 10000; the POSIX names are matched here because
// their values differ from one system to the next.
constexpr ErrnoMapping ErrnoMappings[] = {
    {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
    {EPERM, 10013},           {EFAULT, 10014},       {EINVAL, 10022},
    {EMFILE, 10024},          {ENFILE, 10024},       {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},          {EINPROGRESS, 10036},  {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {EPIPE, 10054},
    {ENOBUFS, 10055},         {ENOMEM, 10055},       {EISCONN, 10056},
    {ENOTCONN, 10057},        {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061}, {ELOOP, 10062},
    {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
};

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
    do
        result.Code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    while (result.Code == EAI_SYSTEM && errno == EINTR);
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

// ---- POSIX calls, continued ------------------------------------------------------------------

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
    for (;;) {
        const ssize_t sent = ::send(Native(handle), bytes.data(), bytes.size(), flags);
        if (sent >= 0)
            return static_cast<std::size_t>(sent);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR)
            ThrowErrno(errno);
    }
}

// Receives what has come: the count, 0 when the peer has closed, or nothing when it must be
// waited for.
std::optional<std::size_t> ReceiveSome(std::intptr_t handle, char* data, std::size_t size) {
    for (;;) {
        const ssize_t received = ::recv(Native(handle), data, size, 0);
        if (received >= 0)
            return static_cast<std::size_t>(received);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return std::nullopt;
        if (errno != EINTR)
            ThrowErrno(errno);
    }
}

constexpr short ReadableEvent = POLLIN;
constexpr short WritableEvent = POLLOUT;

// ---- end of the POSIX calls ------------------------------------------------------------------

// The most that one receive puts straight into a caller's string.
constexpr std::size_t DirectReceiveSize = 64 * 1024;

} // namespace

std::string_view WinsockErrorText(int number) {
    const auto* found =
        std::find_if(WinsockErrors.begin(), WinsockErrors.end(),
                     [number](const WinsockError& e) { return e.Number == number; });
    return found == WinsockErrors.end() ? std::string_view{} : found->Text;
}

std::string SocketErrorMessage(int number) {
    std::string message = "Socket Error # " + std::to_string(number) + "\r\n";
    message += WinsockErrorText(number);
    return message;
}

EIdSocketError::EIdSocketError(int lastError)
    : Exception(SocketErrorMessage(lastError)), LastError(lastError) {}

int WinsockErrorFromErrno(int error) {
    for (const ErrnoMapping& mapping : ErrnoMappings)
        if (mapping.Errno == error)
            return mapping.Number;
    return error;
}

int WinsockErrorFromLookup(int code, int systemError) {
    // An if-chain: some of these codes share a value on some systems.
    if (code == EAI_NONAME || code == EAI_FAIL)
        return winsock::HostNotFound;
#ifdef EAI_NODATA
    if (code == EAI_NODATA)
        return winsock::HostNotFound;
#endif
#ifdef EAI_ADDRFAMILY
    if (code == EAI_ADDRFAMILY) // a name with no IPv4 address
        return winsock::HostNotFound;
#endif
    if (code == EAI_AGAIN)
        return winsock::TryAgain;
    if (code == EAI_MEMORY)
        return WinsockErrorFromErrno(ENOMEM);
    if (code == EAI_FAMILY)
        return WinsockErrorFromErrno(EAFNOSUPPORT);
    if (code == EAI_SYSTEM && systemError != 0)
        return WinsockErrorFromErrno(systemError);
    return winsock::NoRecovery;
}

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

std::size_t TcpConnection::Receive(char* data, std::size_t size) {
    for (;;) {
        if (const WaitEnd end = WaitReady(m_handle, ReadableEvent, m_limits); end != WaitEnd::Ready)
            ThrowWaitEnd(end);
        if (const auto received = ReceiveSome(m_handle, data, size))
            return *received;
    }
}

ByteReader::ByteReader(ByteSource& source) : m_source(source), m_buffer(new char[BufferSize]) {}

std::size_t ByteReader::Receive(char* data, std::size_t size) {
    if (m_peerClosed)
        return 0;
    const std::size_t received = m_source.Receive(data, size);
    m_peerClosed = received == 0;
    return received;
}

bool ByteReader::Fill() {
    if (m_begin == m_end)
        m_begin = m_end = 0;
    const std::size_t received = Receive(m_buffer.get() + m_end, BufferSize - m_end);
    m_end += received;
    return received > 0;
}

bool ByteReader::ReadLine(std::string& line, std::size_t maxLength) {
    line.clear();
    // One byte more for the CR that may end the line.
    const std::size_t rawLimit = maxLength + (maxLength < SIZE_MAX ? 1 : 0);
    for (;;) {
        const char* begin = m_buffer.get() + m_begin;
        const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', Buffered()));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - begin) : Buffered();
        if (take > rawLimit - line.size())
            return false;
        line.append(begin, take);
        m_begin += take;
        if (lf) {
            ++m_begin;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line.size() <= maxLength;
        }
        if (!Fill())
            throw EIdConnClosedGracefully();
    }
}

void ByteReader::ReadExactly(std::string& out, std::size_t count) {
    while (count > 0) {
        const std::size_t received = ReadSome(out, count);
        if (received == 0)
            throw EIdConnClosedGracefully();
        count -= received;
    }
}

std::size_t ByteReader::ReadSome(std::string& out, std::size_t maxCount) {
    if (maxCount == 0)
        return 0;
    if (Buffered() > 0) {
        const std::size_t take = std::min(Buffered(), maxCount);
        out.append(m_buffer.get() + m_begin, take);
        m_begin += take;
        return take;
    }
    return ReceiveInto(out, maxCount);
}

std::size_t ByteReader::ReceiveInto(std::string& out, std::size_t maxCount) {
    const std::size_t before = out.size();
    const std::size_t room = std::min(maxCount, DirectReceiveSize);
    out.resize(before + room);
    std::size_t received = 0;
    try {
        received = Receive(out.data() + before, room);
    } catch (...) {
        out.resize(before);
        throw;
    }
    out.resize(before + received);
    return received;
}

} // namespace quarrow
