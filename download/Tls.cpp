// OpenSSL on the client's non-blocking socket. Its bytes go through a socket BIO of our own that
// sends with MSG_NOSIGNAL, so that a peer's reset never raises SIGPIPE, and every wait goes
// through the socket layer's bounded wait.
#include "Tls.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include "base/RetryEintr.h"
#include "base/TextRules.h"
#include "FailureTexts.h"
#include "ClientErrors.h"
#include "Socket.h"

namespace quarrow {

namespace {

SSL_CTX* Context(void* context) {
    return static_cast<SSL_CTX*>(context);
}

SSL* Session(void* session) {
    return static_cast<SSL*>(session);
}

int SocketOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int BioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t sent = RetryOnEintr(
        [&] { return ::send(SocketOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL); });
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int BioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t received = RetryOnEintr(
        [&] { return ::recv(SocketOf(bio), data, static_cast<std::size_t>(size), 0); });
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_read(bio);
    return static_cast<int>(received);
}

long BioControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once, shared by every session of the process.
BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quarrow socket");
        BIO_meth_set_write(made, BioWrite);
        BIO_meth_set_read(made, BioRead);
        BIO_meth_set_ctrl(made, BioControl);
        BIO_meth_set_create(made, BioCreate);
        return made;
    }();
    return method;
}

// The last OpenSSL reason in words, and the error queue emptied.
std::string OpenSslReason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "the connection failed";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Why a verified certificate was refused, in the words a user needs.
std::string RefusalReason(long result) {
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "not yet valid";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return "unknown issuer";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "issued for another host";
    default:
        return X509_verify_cert_error_string(result);
    }
}

bool IsIpAddress(const std::string& host) {
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(host.c_str());
    ASN1_OCTET_STRING_free(address);
    return address != nullptr;
}

enum class Step { Done, Read, Write };

// What a call that returned `result` on the session asks for next, or a failure thrown.
Step NextStep(SSL* ssl, int result, const std::string& host, bool handshaking) {
    const int error = SSL_get_error(ssl, result);
    switch (error) {
    case SSL_ERROR_NONE:
        return Step::Done;
    case SSL_ERROR_WANT_READ:
        return Step::Read;
    case SSL_ERROR_WANT_WRITE:
        return Step::Write;
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        throw EIdConnClosedGracefully();
    case SSL_ERROR_SYSCALL: {
        const int saved = errno;
        ERR_clear_error();
        if (result == 0 || saved == 0)
            throw EIdConnClosedGracefully();
        throw EIdSocketError(WinsockErrorFromErrno(saved));
    }
    default:
        if (handshaking) {
            const long verified = SSL_get_verify_result(ssl);
            if (verified != X509_V_OK) {
                ERR_clear_error();
                throw ECertificateRefused(host, RefusalReason(verified));
            }
            throw ETlsError("TLS handshake with " + host + " failed: " + OpenSslReason());
        }
        throw ETlsError("TLS connection with " + host + " failed: " + OpenSslReason());
    }
}

} // namespace

ECertificateRefused::ECertificateRefused(const std::string& host, const std::string& reason)
    : ETlsError(std::string(failure::CertificateRefusedLead) + PrintableText(host) +
                " was refused: " + reason +
                ". Set the CA file in Options or ask the service's owner.") {}

std::atomic<int> ContextsMade{0};

TlsContext::TlsContext(const std::string& caFile) : m_context(SSL_CTX_new(TLS_client_method())) {
    ++ContextsMade;
    SSL_CTX* context = Context(m_context);
    if (!context)
        throw ETlsError("TLS cannot be set up: " + OpenSslReason());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_verify_paths(context);
    if (!caFile.empty() && SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        const std::string reason = OpenSslReason();
        SSL_CTX_free(context);
        throw ETlsError("The CA file " + caFile + " cannot be read: " + reason);
    }
}

TlsContext::~TlsContext() {
    SSL_CTX_free(Context(m_context));
}

std::shared_ptr<const TlsContext> SharedTlsContext(const std::string& caFile) {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<const TlsContext>> made;
    const std::lock_guard lock(mutex);
    std::weak_ptr<const TlsContext>& kept = made[caFile];
    std::shared_ptr<const TlsContext> context = kept.lock();
    if (!context) {
        context = std::make_shared<const TlsContext>(caFile);
        kept = context;
    }
    return context;
}

int TlsContextsMade() noexcept {
    return ContextsMade.load();
}

TlsSession::TlsSession(const TlsContext& context, std::intptr_t handle, const std::string& host,
                       const WaitLimits& limits)
    : m_session(SSL_new(Context(context.Native()))), m_handle(handle), m_host(host) {
    SSL* ssl = Session(m_session);
    if (!ssl)
        throw ETlsError("TLS cannot be set up: " + OpenSslReason());
    try {
        BIO* bio = BIO_new(SocketMethod());
        if (!bio)
            throw ETlsError("TLS cannot be set up: " + OpenSslReason());
        BIO_set_data(bio, reinterpret_cast<void*>(handle));
        SSL_set_bio(ssl, bio, bio);
        if (IsIpAddress(host)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
        } else {
            SSL_set_tlsext_host_name(ssl, host.c_str());
            SSL_set1_host(ssl, host.c_str());
        }
        for (;;) {
            const Step step = NextStep(ssl, SSL_connect(ssl), m_host, true);
            if (step == Step::Done)
                break;
            WaitForSocket(m_handle, step == Step::Write, limits);
        }
    } catch (...) {
        SSL_free(ssl);
        throw;
    }
}

TlsSession::~TlsSession() {
    SSL_free(Session(m_session));
}

std::size_t TlsSession::Receive(char* data, std::size_t size, const WaitLimits& limits) {
    SSL* ssl = Session(m_session);
    for (;;) {
        std::size_t received = 0;
        const int result = SSL_read_ex(ssl, data, size, &received);
        if (result == 1)
            return received;
        try {
            const Step step = NextStep(ssl, result, m_host, false);
            WaitForSocket(m_handle, step == Step::Write, limits);
        } catch (const EIdConnClosedGracefully&) {
            return 0; // the peer's close is the end of the bytes, as on a plain connection
        }
    }
}

void TlsSession::Send(std::string_view bytes, const WaitLimits& limits) {
    SSL* ssl = Session(m_session);
    while (!bytes.empty()) {
        std::size_t sent = 0;
        const int result = SSL_write_ex(ssl, bytes.data(), bytes.size(), &sent);
        if (result == 1) {
            bytes.remove_prefix(sent);
            continue;
        }
        const Step step = NextStep(ssl, result, m_host, false);
        WaitForSocket(m_handle, step == Step::Write, limits);
    }
}

bool TlsSession::PeerClosed() {
    SSL* ssl = Session(m_session);
    if (SSL_pending(ssl) > 0)
        return false;
    char byte = 0;
    std::size_t peeked = 0;
    const int result = SSL_peek_ex(ssl, &byte, 1, &peeked);
    if (result == 1)
        return false;
    const int error = SSL_get_error(ssl, result);
    ERR_clear_error();
    return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

TlsStream::TlsStream(std::unique_ptr<TcpConnection> connection, const TlsContext& context,
                     const std::string& host)
    : m_connection(std::move(connection)),
      m_session(std::make_unique<TlsSession>(context, m_connection->Handle(), host,
                                             m_connection->Limits())) {}

TlsStream::~TlsStream() {
    m_session.reset();
}

void TlsStream::Write(std::string_view bytes, bool more) {
    m_pendingWrite.append(bytes);
    if (!more) {
        m_session->Send(m_pendingWrite, m_connection->Limits());
        m_pendingWrite.clear();
    }
}

void TlsStream::SetLimits(const WaitLimits& limits) noexcept {
    m_connection->SetLimits(limits);
}

std::size_t TlsStream::Receive(char* data, std::size_t size) {
    return m_session->Receive(data, size, m_connection->Limits());
}

bool TlsStream::LooksClosed() {
    return m_session->PeerClosed();
}

} // namespace quarrow
