// The HTTP/1.1 client that fetches tiles, with the error kinds whose texts the callers inspect.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ClientErrors.h"

namespace quarrow {

class Stream;
class ByteReader;
class CutTime;
class TlsContext;
struct WaitLimits;
struct UrlParts;

// How a custom source's client differs from the built-in one's: connections kept per scheme, host
// and port whether the URL names the port or not, a "Host" line that names a port other than the
// scheme's own, redirects followed, and extra request lines.
struct ClientRules {
    bool KeepAliveByHost = false;
    // 301, 302, 303, 307 and 308 followed this often, to http and https only, never https to http.
    // The Referer and the headers go only to the scheme, host and port of the URL asked for.
    int MaxRedirects = 0;
    std::vector<std::pair<std::string, std::string>> Headers; // after "Connection"
    // The answer read as RFC 9112 frames it: a status trusted for its code alone (the message
    // is the code and its standard reason), chunk extensions skipped, trailers read,
    // Transfer-Encoding over Content-Length, no body after 204 and 304.
    bool StrictFraming = false;
};

class TIdHTTP {
public:
    TIdHTTP();
    ~TIdHTTP();
    TIdHTTP(const TIdHTTP&) = delete;
    TIdHTTP& operator=(const TIdHTTP&) = delete;

    // Request settings, kept from one Get to the next.
    std::string Accept = "text/html, */*";
    std::string Referer;
    std::string UserAgent = "Mozilla/3.0 (compatible; Indy Library)";
    std::string Connection;
    std::string ProxyServer; // empty: no proxy
    int ProxyPort = 0;
    std::string ProxyUsername;
    std::string ProxyPassword;

    // https URLs go through TLS when the owner attaches this (through a proxy, in a CONNECT
    // tunnel); without it they fail as any unknown scheme does. Not owned alone: shared by clients.
    std::shared_ptr<const TlsContext> Tls;
    // Where Tls comes from when an https URL first needs it and none is attached (a source of
    // http URLs redirected to https): no certificates are read for a client that never needs them.
    std::function<std::shared_ptr<const TlsContext>()> TlsOnDemand;
    ClientRules Rules;

    // Lines of a conditional request (If-None-Match, If-Modified-Since), sent after the others
    // with every request while set; an answer 304 to them has no body.
    std::vector<std::pair<std::string, std::string>> Conditional;
    // Every byte received, heads and bodies, for as long as the client lives.
    std::uint64_t BytesReceived = 0;

    // The last answer.
    int StatusCode = 0;
    std::string StatusText;
    std::vector<std::pair<std::string, std::string>> ResponseHeaders;

    // Limits; tests lower them, production keeps these. Timeout bounds each wait (look-up,
    // connect, each read or write); Deadline one whole Get (look-up, connect, request and the
    // whole answer). Both end with EIdSocketError 10060 and release the connection.
    std::chrono::milliseconds Timeout{30000};
    std::chrono::milliseconds Deadline{60000};
    std::size_t MaxBodySize = std::size_t{64} << 20;

    // Fetches the URL, appending the body to buffer. Returns only for a 2xx answer without a
    // "Location"; throws one of the errors above otherwise, leaving received bytes in buffer.
    void Get(const std::string& url, std::string& buffer);

    // Cuts this client's requests from `when` on: the Get in flight then ends within
    // WaitSlice (Socket.h), and every later Get at once, with EIdSocketError 10053 ("Software
    // caused connection abort."), releasing the connection. An earlier cut already set stays.
    // These three may be called from any thread, also while another thread is inside Get.
    void CutAt(std::chrono::steady_clock::time_point when) noexcept;
    void Cut() noexcept { CutAt(std::chrono::steady_clock::now()); }
    // True once the cut's time has come.
    bool CutReached() const noexcept;

    // Reads one answer as Get does once the request is out: the status line, the headers and
    // the body (appended to buffer), then judges it, throwing as Get does. Returns whether the
    // connection may carry the next request. Get reads through the socket's reader; anything
    // that stands in for the socket may be read the same way.
    bool ReadAnswer(ByteReader& reader, std::string& buffer);

private:
    // Reads one answer whole and says whether the connection may carry the next request;
    // judges nothing.
    bool ReadWhole(ByteReader& reader, std::string& buffer);
    // Throws the protocol error for an answer that is no success (or a redirect).
    void ThrowUnlessSuccess() const;
    void GetOnce(const std::string& url, std::string& buffer);
    void GetSecure(const UrlParts& parts, std::string& buffer, const WaitLimits& limits);
    void OpenTunnel(Stream& proxy, const std::string& host, int port);
    // Connects when needed and sends, then reads the answer; a failure other than an answer's
    // status releases the connection.
    void Exchange(const WaitLimits& limits, std::string& buffer,
                  const std::function<void()>& connectAndSend);
    std::string HostLine(int schemePort) const;
    void SendRequest(const std::string& target, const std::string& host, bool proxyAuthorization);
    // Reads the body; false when the connection cannot carry another answer after it.
    bool ReadBody(ByteReader& reader, std::string& buffer);
    void ReadChunked(ByteReader& reader, std::string& buffer);
    void ReadUntilClose(ByteReader& reader, std::string& buffer);

    // Tests cannot listen on port 80, so they move the default to their own server.
    friend struct HttpClientTestAccess;
    int m_defaultPort = 80;

    std::unique_ptr<Stream> m_connection; // plain or TLS; none while closed
    // Where the open connection goes without a proxy (host and port); a URL that names both
    // again may reuse it.
    std::string m_currentHost;
    int m_currentPort = 80;
    // The host that the next "Host" line names, and the scheme of the proxy's absolute form; a
    // URL without a host keeps the last ones.
    std::string m_hostHeaderValue;
    std::string m_lastScheme;
    // The port of the last URL that named a host, if it named one: through a proxy it goes into
    // the absolute form, and a custom source's "Host" line names it.
    std::optional<int> m_hostPort;
    std::string m_secureTarget; // the host, port and proxy of the open TLS connection
    // False while a redirect leads to another scheme, host or port than the URL asked for: the
    // source's Referer and headers stay with its own service.
    bool m_sendSourceHeaders = true;
    const std::unique_ptr<CutTime> m_cut;
};

} // namespace quarrow

using quarrow::EConvertError;
using quarrow::EIdConnClosedGracefully;
using quarrow::EIdInterceptPropInvalid;
using quarrow::EIdProtocolReplyError;
using quarrow::EIdSocketError;
using quarrow::TIdHTTP;
