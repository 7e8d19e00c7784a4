// POSIX sockets behind TcpConnection, and the one table of Windows Sockets numbers and texts.
#include "Socket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>

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

// ---- POSIX calls; a Winsock build replaces this block -------------------------------------

int Native(std::intptr_t handle) noexcept {
    return static_cast<int>(handle);
}

void CloseSocket(std::intptr_t handle) noexcept {
    ::close(Native(handle));
}

// Waits until the socket is ready for events; false when the time-out passed first.
bool WaitReady(std::intptr_t handle, short events, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{Native(handle), events, 0};
        const int ready =
            ::poll(&entry, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        if (ready > 0)
            return true;
        if (ready == 0) {
            if (Clock::now() >= deadline)
                return false;
            continue;
        }
        if (errno != EINTR)
            ThrowErrno(errno);
    }
}

sockaddr_in Resolve(const std::string& host) {
    if (IsReservedInvalidName(host) || host.find('\0') != std::string::npos)
        throw EIdSocketError(winsock::HostNotFound);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int code = 0;
    do
        code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    while (code == EAI_SYSTEM && errno == EINTR);
    if (code != 0)
        throw EIdSocketError(WinsockErrorFromLookup(code, errno));
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);
    return address;
}

std::intptr_t ConnectSocket(const sockaddr_in& address, std::chrono::milliseconds timeout) {
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
            try {
                if (!WaitReady(fd, POLLOUT, timeout))
                    error = ETIMEDOUT;
            } catch (...) {
                ::close(fd);
                throw;
            }
            socklen_t length = sizeof error;
            if (error == 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
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

std::unique_ptr<TcpConnection> TcpConnection::Open(const std::string& host, int port,
                                                   std::chrono::milliseconds timeout) {
    // The look-up comes first, as it does before a Winsock connect, so that a name that does not
    // resolve is reported as such whatever the port.
    sockaddr_in address = Resolve(host);
    // Port 0 and numbers beyond 16 bits name no peer; Winsock says so with 10049.
    if (port < 1 || port > 65535)
        throw EIdSocketError(winsock::AddressNotAvailable);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const std::intptr_t handle = ConnectSocket(address, timeout);
    try {
        return std::unique_ptr<TcpConnection>(new TcpConnection(handle, timeout));
    } catch (...) {
        CloseSocket(handle);
        throw;
    }
}

TcpConnection::TcpConnection(std::intptr_t handle, std::chrono::milliseconds timeout)
    : m_handle(handle), m_timeout(timeout), m_buffer(new char[BufferSize]) {}

TcpConnection::~TcpConnection() {
    CloseSocket(m_handle);
}

void TcpConnection::Write(std::string_view bytes, bool more) {
    while (!bytes.empty()) {
        const std::size_t sent = SendSome(m_handle, bytes, more);
        if (sent > 0)
            bytes.remove_prefix(sent);
        else if (!WaitReady(m_handle, WritableEvent, m_timeout))
            throw EIdSocketError(winsock::TimedOut);
    }
}

std::size_t TcpConnection::Receive(char* data, std::size_t size) {
    if (m_peerClosed)
        return 0;
    for (;;) {
        if (!WaitReady(m_handle, ReadableEvent, m_timeout))
            throw EIdSocketError(winsock::TimedOut);
        if (const auto received = ReceiveSome(m_handle, data, size)) {
            m_peerClosed = *received == 0;
            return *received;
        }
    }
}

bool TcpConnection::Fill() {
    if (m_begin == m_end)
        m_begin = m_end = 0;
    const std::size_t received = Receive(m_buffer.get() + m_end, BufferSize - m_end);
    m_end += received;
    return received > 0;
}

bool TcpConnection::ReadLine(std::string& line, std::size_t maxLength) {
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

void TcpConnection::ReadExactly(std::string& out, std::size_t count) {
    while (count > 0) {
        const std::size_t received = ReadSome(out, count);
        if (received == 0)
            throw EIdConnClosedGracefully();
        count -= received;
    }
}

std::size_t TcpConnection::ReadSome(std::string& out, std::size_t maxCount) {
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

std::size_t TcpConnection::ReceiveInto(std::string& out, std::size_t maxCount) {
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
