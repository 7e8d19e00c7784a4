// The HTTP/1.1 side of the tile service: listening, one thread per connection, request heads,
// answers and injected faults.
#include "TileService.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

#include <csignal>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>

#include "Answer.h"
#include "RequestHead.h"
#include "ServedArchives.h"
#include "TilePath.h"
#include "TileRenderer.h"
#include "engine/HttpDate.h"
#include "base/RetryEintr.h"
#include "base/TextRules.h"

namespace quarrow::tileservice {

struct TileService::Connection {
    explicit Connection(int fd) : Fd(fd) {}
    std::mutex Mutex; // lets the stopping service shut the socket down while its thread closes it
    int Fd;           // -1 once closed; written only by the connection's own thread
    bool Finished = false; // guarded by the service's mutex
    std::thread Thread;
};

namespace {

// One connection's bytes, plain or through TLS on the blocking socket.
class Channel {
public:
    Channel(int fd, SSL* ssl) : m_fd(fd), m_ssl(ssl) {}

    bool Readable(int timeoutMs) const {
        if (m_ssl && SSL_pending(m_ssl) > 0) {
            return true;
        }
        pollfd entry{m_fd, POLLIN, 0};
        return RetryOnEintr([&] { return ::poll(&entry, 1, timeoutMs); }) > 0;
    }

    // The count read, 0 when the client has closed, negative on a failure.
    ssize_t Read(char* data, std::size_t size) const {
        if (!m_ssl) {
            return RetryOnEintr([&] { return ::recv(m_fd, data, size, 0); });
        }
        const int count = SSL_read(m_ssl, data, static_cast<int>(size));
        return count > 0 ? count : (SSL_get_error(m_ssl, count) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
    }

    bool Write(std::string_view bytes) const {
        while (!bytes.empty()) {
            const ssize_t sent =
                m_ssl ? SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size()))
                      : RetryOnEintr(
                            [&] { return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); });
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

private:
    int m_fd;
    SSL* m_ssl;
};

std::string SystemText(int error) {
    return std::system_category().message(error);
}

std::string NumberText(double value) {
    // Locale-independent: Qt may have switched the C locale's decimal point.
    char text[32];
    const auto result = std::to_chars(std::begin(text), std::end(text), value);
    return std::string(text, result.ptr);
}

// Waits for bytes to read; false on time-out or error. A shut-down socket counts as readable.
bool WaitReadable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return RetryOnEintr([&] { return ::poll(&entry, 1, timeoutMs); }) > 0;
}

ssize_t Receive(int fd, char* data, std::size_t size) {
    return RetryOnEintr([&] { return ::recv(fd, data, size, 0); });
}

std::string Compose(const Answer& answer, bool close, bool headOnly) {
    std::string bytes;
    bytes.reserve(160 + (headOnly ? 0 : answer.Body.size()));
    bytes += "HTTP/1.1 ";
    bytes += std::to_string(answer.Code);
    bytes += ' ';
    bytes += answer.Reason;
    bytes += "\r\n";
    // A 304 has no body, nor the headers of one.
    if (answer.Code != 304) {
        bytes += "Content-Type: ";
        bytes += answer.ContentType;
        bytes += "\r\nContent-Length: ";
        bytes += std::to_string(answer.Raw ? answer.RawLength : answer.Body.size());
        bytes += "\r\n";
    }
    bytes += answer.ExtraHeaders;
    if (close) {
        bytes += "Connection: close\r\n";
    }
    bytes += "\r\n";
    if (!headOnly) {
        bytes += answer.Body;
    }
    return bytes;
}

// A raw body, read in pieces while it is sent: memory holds one piece, whatever the range.
bool WriteRaw(const Channel& channel, const Answer& answer) {
    constexpr std::uint64_t Piece = 256 * 1024;
    std::string bytes;
    for (std::uint64_t done = 0; done < answer.RawLength;) {
        const auto length = static_cast<std::size_t>(std::min(Piece, answer.RawLength - done));
        if (!answer.Raw->ReadRaw(answer.RawOffset + done, length, bytes) || !channel.Write(bytes))
            return false;
        done += length;
    }
    return true;
}

} // namespace

namespace {

// When each picture of a tile was made: the first one, and the newer one of a changed tile.
constexpr std::time_t FirstPicture = 1704067200;  // 1 January 2024
constexpr std::time_t NewerPicture = 1730419200;  // 1 November 2024

// The answer to a tile, or a 304 when the request's validators name the picture it has: an ETag
// of the tile and its picture, the picture's time as Last-Modified, and max-age when asked.
Answer TileAnswer(TileRequest tile, const RequestHead& request, const ServiceOptions& options) {
    const std::uint64_t index = static_cast<std::uint64_t>(tile.Y) * (std::uint64_t{1} << tile.Z) +
                                static_cast<std::uint64_t>(tile.X);
    tile.Changed = options.ChangedEvery > 0 && index % static_cast<std::uint64_t>(options.ChangedEvery) == 0;
    const std::string etag = "\"" + std::string(MapKindName(tile.Kind)) + "-" +
                             std::to_string(tile.Z) + "-" + std::to_string(tile.X) + "-" +
                             std::to_string(tile.Y) + "-" + std::string(tile.Extension()) +
                             (tile.Changed ? "-v2" : "-v1") + "\"";
    const std::time_t made = tile.Changed ? NewerPicture : FirstPicture;
    std::string headers = "ETag: " + etag + "\r\nLast-Modified: " + HttpDate(made) + "\r\n";
    if (options.MaxAgeSeconds >= 0)
        headers += "Cache-Control: max-age=" + std::to_string(options.MaxAgeSeconds) + "\r\n";
    // If-None-Match decides when it is there; If-Modified-Since only without it.
    bool unchanged = false;
    if (!request.IfNoneMatch.empty()) {
        unchanged = MatchesEntityTag(request.IfNoneMatch, etag);
    } else if (const auto since = ParseHttpDate(request.IfModifiedSince)) {
        unchanged = *since >= made;
    }
    if (unchanged)
        return Answer{304, "Not Modified", {}, {}, headers};
    return Answer{200, "OK", tile.MediaType(), RenderTilePng(tile), headers};
}

} // namespace

std::string ValidateOptions(const ServiceOptions& options) {
    in_addr address{};
    if (::inet_pton(AF_INET, options.Address.c_str(), &address) != 1) {
        return "not a dotted IPv4 address: \"" + options.Address + "\"";
    }
    if (options.Port < 0 || options.Port > 65535) {
        return "port outside 0..65535: " + std::to_string(options.Port);
    }
    const std::pair<double, std::string_view> shares[] = {
        {options.Share404, "404"}, {options.Share403, "403"},     {options.Share302, "302"},
        {options.Share500, "500"}, {options.ShareReset, "reset"}, {options.Share429, "429"},
    };
    double sum = 0;
    for (const auto& [share, name] : shares) {
        if (!(share >= 0 && share <= 1)) {
            return "share of " + std::string(name) + " answers outside 0..1: " + NumberText(share);
        }
        sum += share;
    }
    // A little slack, so that shares such as 0.1 + 0.2 + 0.7 still pass.
    if (sum > 1 + 1e-9) {
        return "the fault shares add up to more than 1: " + NumberText(sum);
    }
    if (options.DelayMs < 0) {
        return "negative delay: " + std::to_string(options.DelayMs);
    }
    if (options.RetryAfterSeconds < 0) {
        return "negative Retry-After: " + std::to_string(options.RetryAfterSeconds);
    }
    if (options.TlsCert.empty() != options.TlsKey.empty()) {
        return "HTTPS needs both a certificate and its key";
    }
    return {};
}

TileService::TileService(ServiceOptions options)
    : m_options(std::move(options)), m_random(m_options.Seed) {
    if (const std::string problem = ValidateOptions(m_options); !problem.empty()) {
        throw std::invalid_argument(problem);
    }
    const std::string where = m_options.Address + ":" + std::to_string(m_options.Port);
    if (!m_options.TlsCert.empty()) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        m_tls = context;
        if (!context ||
            SSL_CTX_use_certificate_chain_file(context, m_options.TlsCert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context, m_options.TlsKey.c_str(), SSL_FILETYPE_PEM) != 1) {
            char reason[256] = "no context";
            ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
            SSL_CTX_free(context);
            throw std::runtime_error("cannot use the certificate " + m_options.TlsCert +
                                     " and key " + m_options.TlsKey + ": " + reason);
        }
    }
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) {
        throw std::runtime_error("cannot open a socket: " + SystemText(errno));
    }
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_options.Port));
    ::inet_pton(AF_INET, m_options.Address.c_str(), &address.sin_addr);
    socklen_t length = sizeof address;
    if (::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 128) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(m_listenFd);
        SSL_CTX_free(static_cast<SSL_CTX*>(m_tls));
        throw std::runtime_error("cannot listen on " + where + ": " + SystemText(error));
    }
    m_port = ntohs(address.sin_port);
    m_authority = m_options.Address + ":" + std::to_string(m_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

TileService::~TileService() {
    {
        const std::scoped_lock lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all(); // ends delays and a wait for a free connection slot
    }
    ::shutdown(m_listenFd, SHUT_RDWR); // wakes accept()
    m_acceptThread.join();
    ::close(m_listenFd);
    {
        const std::scoped_lock lock(m_mutex);
        for (const auto& connection : m_connections) {
            const std::scoped_lock fdLock(connection->Mutex);
            if (connection->Fd >= 0) {
                ::shutdown(connection->Fd, SHUT_RDWR); // wakes poll(), recv() and send()
            }
        }
    }
    // Only the connection threads still run; none of them touches the list.
    for (const auto& connection : m_connections) {
        connection->Thread.join();
    }
    SSL_CTX_free(static_cast<SSL_CTX*>(m_tls));
}

void TileService::ReapFinished(std::unique_lock<std::mutex>& lock) {
    (void)lock; // held by the caller
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if ((*it)->Finished) {
            (*it)->Thread.join(); // past its last use of the mutex
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void TileService::AcceptLoop() {
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            ReapFinished(lock);
            m_changed.wait(lock, [this] { return m_stopping || m_active < MaxConnections; });
            if (m_stopping) {
                return;
            }
        }
        const int fd =
            RetryOnEintr([this] { return ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC); });
        if (fd < 0) {
            const int error = errno;
            if (m_stopping) {
                return;
            }
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // Out of descriptors or memory: give finishing connections a moment.
                std::unique_lock lock(m_mutex);
                m_changed.wait_for(lock, std::chrono::milliseconds(50),
                                   [this] { return m_stopping.load(); });
            }
            continue; // ECONNABORTED and other per-connection failures
        }
        // Answers leave in one write each; nothing is gained by holding them back.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        const std::scoped_lock lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        Connection& connection = *m_connections.emplace_back(std::make_unique<Connection>(fd));
        ++m_active;
        connection.Thread = std::thread([this, &connection] { Serve(connection); });
    }
}

TileService::Fault TileService::DrawFault() {
    const double shares[] = {m_options.Share404, m_options.Share403,   m_options.Share302,
                             m_options.Share500, m_options.ShareReset, m_options.Share429};
    const Fault faults[] = {Fault::Status404, Fault::Status403, Fault::Status302,
                            Fault::Status500, Fault::Reset,     Fault::Status429};
    if (shares[0] + shares[1] + shares[2] + shares[3] + shares[4] + shares[5] <= 0) {
        return Fault::None;
    }
    double draw = 0;
    {
        const std::scoped_lock lock(m_mutex);
        // 53 random bits make a double in [0, 1) the same way on every standard library.
        draw = static_cast<double>(m_random() >> 11) * 0x1.0p-53;
    }
    double bound = 0;
    for (std::size_t i = 0; i < std::size(shares); ++i) {
        bound += shares[i];
        if (shares[i] > 0 && draw < bound) {
            return faults[i];
        }
    }
    return Fault::None;
}

bool TileService::Delay() {
    if (m_options.DelayMs <= 0) {
        return !m_stopping;
    }
    std::unique_lock lock(m_mutex);
    return !m_changed.wait_for(lock, std::chrono::milliseconds(m_options.DelayMs),
                               [this] { return m_stopping.load(); });
}

void TileService::Serve(Connection& connection) {
    const int fd = connection.Fd;
    bool reset = false;
    bool lingering = false; // close after an answer: let the client read it before the close
    std::string received;
    char chunk[16384];

    SSL* ssl = nullptr;
    if (m_tls) {
        // A write to a client that has gone raises SIGPIPE inside OpenSSL; held pending for
        // this thread, it ends nothing.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        // Blocking TLS reads end when a client stalls, as the plain ones do.
        const timeval idle{IdleTimeoutMs / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        ssl = SSL_new(static_cast<SSL_CTX*>(m_tls));
        if (ssl) {
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                // A client that refuses the certificate, or speaks no TLS.
                SSL_free(ssl);
                ssl = nullptr;
            }
        }
    }
    const Channel channel(fd, ssl);
    const bool serving = !m_tls || ssl;

    while (serving) {
        std::size_t end = std::string::npos;
        while (!m_stopping) {
            end = FindRequestHead(received);
            if (end != std::string::npos || received.size() > MaxRequestHead) {
                break;
            }
            if (!channel.Readable(IdleTimeoutMs)) {
                break;
            }
            const ssize_t count = channel.Read(chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            received.append(chunk, static_cast<std::size_t>(count));
        }
        if (m_stopping) {
            break;
        }
        if (end == std::string::npos || end > MaxRequestHead) {
            if (received.size() > MaxRequestHead) {
                channel.Write(Compose(TextAnswer(400, "Bad Request"), true, false));
                lingering = true;
            }
            break; // idle, closed by the client, or a head too large
        }

        const std::optional<RequestHead> request =
            ParseRequestHead(std::string_view(received).substr(0, end));
        if (!request) {
            channel.Write(Compose(TextAnswer(400, "Bad Request"), true, false));
            lingering = true;
            break;
        }
        // Request bodies are not read, so the next request cannot be found after one.
        const bool close = request->Close || request->HasBody;
        const bool headOnly = request->Method == "HEAD";
        if (!Delay()) {
            break;
        }

        Answer answer;
        switch (DrawFault()) {
        case Fault::Reset:
            reset = true;
            break;
        case Fault::Status404:
            answer = TextAnswer(404, "Not Found");
            break;
        case Fault::Status403:
            answer = TextAnswer(403, "Forbidden");
            break;
        case Fault::Status500:
            answer = TextAnswer(500, "Internal Server Error");
            break;
        case Fault::Status429:
            answer = TextAnswer(429, "Too Many Requests");
            answer.ExtraHeaders =
                "Retry-After: " + std::to_string(m_options.RetryAfterSeconds) + "\r\n";
            break;
        case Fault::Status302:
            answer = TextAnswer(302, "Found");
            // Somewhere that does not serve tiles, so a client that follows it cannot loop.
            answer.ExtraHeaders =
                "Location: /moved" +
                std::string(request->Target.starts_with('/') ? request->Target : "/") + "\r\n";
            break;
        case Fault::None:
            if (m_options.Served) {
                answer = m_options.Served->AnswerFor(*request, m_authority);
            } else if (request->Method != "GET" && request->Method != "HEAD") {
                answer = TextAnswer(405, "Method Not Allowed");
                answer.ExtraHeaders = "Allow: GET, HEAD\r\n";
            } else if (const std::optional<TileRequest> tile = ParseTilePath(request->Target)) {
                answer = TileAnswer(*tile, *request, m_options);
            } else {
                answer = TextAnswer(404, "Not Found");
            }
            break;
        }
        if (reset) {
            break;
        }
        received.erase(0, end);
        const std::string bytes = Compose(answer, close, headOnly);
        if (!channel.Write(bytes) || (answer.Raw && !headOnly && !WriteRaw(channel, answer))) {
            break;
        }
        m_bytesSent += bytes.size() + (answer.Raw && !headOnly ? answer.RawLength : 0);
        if (close) {
            lingering = true;
            break;
        }
    }

    if (lingering && !m_stopping) {
        // Closing with unread request bytes would send a reset that can destroy the answer on
        // its way, so first end our side and drain what the client still sends, for a while.
        if (ssl) {
            SSL_shutdown(ssl);
        }
        ::shutdown(fd, SHUT_WR);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        std::size_t drained = 0;
        while (drained < (std::size_t{1} << 20)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !WaitReadable(fd, static_cast<int>(left.count()))) {
                break;
            }
            const ssize_t count = Receive(fd, chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            drained += static_cast<std::size_t>(count);
        }
    }
    SSL_free(ssl);
    {
        const std::scoped_lock fdLock(connection.Mutex);
        if (reset) {
            // A zero linger time turns the close into a reset.
            const linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        ::close(fd);
        connection.Fd = -1;
    }
    const std::scoped_lock lock(m_mutex);
    connection.Finished = true;
    --m_active;
    m_changed.notify_all();
}

} // namespace quarrow::tileservice
