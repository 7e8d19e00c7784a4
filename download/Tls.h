// TLS over a connected socket, with OpenSSL: the certificates a client trusts, and one session's
// handshake, reads and writes, each wait bounded like the socket's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/Exception.h"
#include "Stream.h"

namespace quarrow {

struct WaitLimits;
class TcpConnection;

// A TLS failure that is no socket failure: a refused certificate, a failed handshake. Its text
// names the host and says why, and holds none of the markers that sort failures.
class ETlsError : public Exception {
public:
    using Exception::Exception;
};

// The service's certificate was refused: every request to it would be refused the same way until
// the user trusts its issuer. Its text says so and what to do, naming the host as the URL has it.
class ECertificateRefused : public ETlsError {
public:
    ECertificateRefused(const std::string& host, const std::string& reason);
};

// TLS 1.2 or later; the system's certificates, and those of a CA file when given. One context
// serves any number of sessions, on any threads.
class TlsContext {
public:
    // Throws ETlsError naming the file when the CA file cannot be read.
    explicit TlsContext(const std::string& caFile = {});
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    void* Native() const noexcept { return m_context; } // SSL_CTX*

private:
    void* m_context;
};

// The context that trusts the CA file beside the system's certificates, made at its first use and
// shared while anyone holds it: the workers of a task read the certificates once. Throws as the
// context's constructor does.
std::shared_ptr<const TlsContext> SharedTlsContext(const std::string& caFile);
// How many contexts this process has made; each read the system's certificates.
int TlsContextsMade() noexcept;

// One client session on a connected, non-blocking socket that it does not own.
class TlsSession {
public:
    // Handshakes as a client of host: SNI for a name, and the peer's certificate verified against
    // the trusted ones and checked against the name or the IP address. Throws ETlsError for a
    // refused certificate or a failed handshake, EIdSocketError or EIdConnClosedGracefully when
    // the connection fails, and the limits' errors when a wait passes one.
    TlsSession(const TlsContext& context, std::intptr_t handle, const std::string& host,
               const WaitLimits& limits);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Waits for and decrypts at most size bytes; 0 once the peer has closed.
    std::size_t Receive(char* data, std::size_t size, const WaitLimits& limits);
    // Sends all bytes.
    void Send(std::string_view bytes, const WaitLimits& limits);
    // Whether, looked at without waiting, the peer has closed the session or the connection.
    bool PeerClosed();

private:
    void* m_session; // SSL*
    std::intptr_t m_handle;
    std::string m_host;
};

// TLS over a connection of its own: a stream whose bytes are encrypted, its waits bounded by the
// connection's limits. Writes made with `more` are gathered into one record.
class TlsStream final : public Stream {
public:
    // Handshakes with host over the connection (see TlsSession).
    TlsStream(std::unique_ptr<TcpConnection> connection, const TlsContext& context,
              const std::string& host);
    ~TlsStream() override;

    void Write(std::string_view bytes, bool more = false) override;
    void SetLimits(const WaitLimits& limits) noexcept override;
    bool Secure() const noexcept override { return true; }

private:
    std::size_t Receive(char* data, std::size_t size) override;
    bool LooksClosed() override;

    std::unique_ptr<TcpConnection> m_connection;
    std::unique_ptr<TlsSession> m_session; // gone before the connection
    std::string m_pendingWrite;
};

} // namespace quarrow
