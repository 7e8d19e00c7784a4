// The HTTP/1.1 GET exchange of TIdHTTP: URL splitting, connection choice, request bytes, and the
// reading and judging of the answer.
#include "httpclient.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "base/TextRules.h"
#include "FailureTexts.h"
#include "Socket.h"
#include "Tls.h"

namespace quarrow {

namespace {

// Bounds that keep a hostile answer from exhausting memory; no tile service comes near them.
constexpr std::size_t MaxLineLength = 64 * 1024;
constexpr std::size_t MaxHeaderLines = 1000;

constexpr std::string_view LineTooLongText = "Response line longer than 64 KiB refused.";
constexpr std::string_view TooManyHeadersText =
    "Response head with more than 1000 header lines refused.";

// A "Content-Length" of 0 or more; negative or non-decimal text counts as absent. Digits beyond
// 64 bits saturate: such a length is only ever refused as too large.
std::optional<std::uint64_t> ParseContentLength(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        value = value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10
                    ? std::numeric_limits<std::uint64_t>::max()
                    : value * 10 + digit;
    }
    if (negative && value != 0)
        return std::nullopt;
    return value;
}

// The size of a chunk: the text before the first blank as hexadecimal without prefix, 0 when it
// is not. Digits beyond 64 bits saturate, so the body limit refuses the chunk.
std::uint64_t ParseChunkSize(std::string_view line) {
    line = line.substr(0, line.find(' '));
    if (line.empty())
        return 0;
    std::uint64_t value = 0;
    for (const char c : line) {
        std::uint64_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint64_t>(c - '0');
        else if (LowerAscii(c) >= 'a' && LowerAscii(c) <= 'f')
            digit = static_cast<std::uint64_t>(LowerAscii(c) - 'a' + 10);
        else
            return 0;
        value = value > (std::numeric_limits<std::uint64_t>::max() >> 4)
                    ? std::numeric_limits<std::uint64_t>::max()
                    : (value << 4) | digit;
    }
    return value;
}

std::string Base64(std::string_view bytes) {
    constexpr std::string_view Alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = (group << 8) | (k < count ? static_cast<unsigned char>(bytes[i + k]) : 0U);
        for (std::size_t k = 0; k < 4; ++k)
            encoded += k <= count ? Alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return encoded;
}

} // namespace

struct UrlParts {
    std::string Scheme;
    std::string Host;
    std::optional<int> Port; // only when the URL names one as a decimal number
    std::string Target;      // directory part and last segment, query as written
};

namespace {

UrlParts SplitUrl(std::string url) {
    std::replace(url.begin(), url.end(), '\\', '/');
    UrlParts parts;
    std::string_view remainder = url;
    if (const auto separator = remainder.find("://"); separator != std::string_view::npos) {
        parts.Scheme = remainder.substr(0, separator);
        remainder.remove_prefix(separator + 3);
        const auto slash = remainder.find('/');
        const std::string_view authority = remainder.substr(0, slash);
        remainder =
            slash == std::string_view::npos ? std::string_view{} : remainder.substr(slash + 1);
        const auto colon = authority.find(':');
        parts.Host = authority.substr(0, colon);
        if (colon != std::string_view::npos)
            parts.Port = ParseDecimal(authority.substr(colon + 1));
    }
    const auto lastSlash = remainder.rfind('/');
    const std::size_t split = lastSlash == std::string_view::npos ? 0 : lastSlash + 1;
    const std::string_view directory = remainder.substr(0, split);
    std::string_view segment = remainder.substr(split);
    segment = segment.substr(0, segment.find('#'));
    if (directory.empty() || directory.front() != '/')
        parts.Target = "/";
    parts.Target.append(directory).append(segment);
    return parts;
}

const std::string* FindHeader(const std::vector<std::pair<std::string, std::string>>& headers,
                              std::string_view name) {
    for (const auto& [headerName, value] : headers)
        if (EqualsNoCase(headerName, name))
            return &value;
    return nullptr;
}

// Names the limit, unless its digits would read as one of the markers by which the callers
// sort failures (a lowered test limit of 4000 bytes would otherwise look like a 400 answer).
std::string BodyTooLargeText(std::size_t limit) {
    constexpr std::size_t MiB = std::size_t{1} << 20;
    std::string text = "Response body larger than ";
    if (limit % MiB == 0 && limit != 0)
        text += std::to_string(limit / MiB) + " MiB";
    else
        text += std::to_string(limit) + " bytes";
    text += " refused.";
    if (failure::HoldsAnyMarker(text))
        return "Response body larger than the body size limit refused.";
    return text;
}

bool IsFollowedRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The scheme of a reference as RFC 3986 has it (a letter, then letters, digits, "+", "-" or "."
// up to the first ":"), lower case; empty for a relative reference.
std::string SchemeOf(std::string_view reference) {
    const std::size_t colon = reference.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return {};
    std::string scheme;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = LowerAscii(reference[i]);
        const bool letter = c >= 'a' && c <= 'z';
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
            return {};
        scheme += c;
    }
    return scheme;
}

// Where a "Location" leads from the URL that answered with it.
std::string ResolveLocation(const std::string& from, const std::string& location) {
    if (location.find("://") != std::string::npos || !SchemeOf(location).empty())
        return location;
    const std::size_t schemeEnd = from.find("://");
    if (schemeEnd == std::string::npos)
        return location;
    if (location.starts_with("//"))
        return from.substr(0, schemeEnd + 1) + location;
    const std::size_t pathStart = from.find('/', schemeEnd + 3);
    const std::string origin = from.substr(0, pathStart);
    if (location.starts_with("/"))
        return origin + location;
    const std::string path =
        pathStart == std::string::npos
            ? "/"
            : from.substr(pathStart, from.find_first_of("?#", pathStart) - pathStart);
    return origin + path.substr(0, path.rfind('/') + 1) + location;
}

// What a URL's authority names: the text between "://" and the next "/", as SplitUrl takes it.
std::string_view AuthorityOf(std::string_view url) {
    const std::size_t separator = url.find("://");
    if (separator == std::string_view::npos)
        return {};
    url.remove_prefix(separator + 3);
    return url.substr(0, url.find('/'));
}

// Scheme, host and port, as a redirect compares them: letter case ignored, a host's trailing dot
// left out, a port not named counting as the scheme's own.
struct Origin {
    std::string Scheme;
    std::string Host;
    int Port = 0;
    bool operator==(const Origin&) const = default;
};

// Why a redirect to `next` is not followed, or nullopt. `from` is the URL that answered.
std::optional<std::string> RedirectRefusal(std::string_view from, std::string_view next) {
    const std::string scheme = SchemeOf(next);
    if (scheme != "http" && scheme != "https")
        return "A redirect to " + (scheme.empty() ? std::string("a URL without a scheme")
                                                  : PrintableText(scheme.substr(0, 32)) + ":") +
               " was refused: only http and https are followed.";
    if (SchemeOf(from) == "https" && scheme != "https")
        return std::string("A redirect from https to http was refused.");
    const std::string_view authority = AuthorityOf(next);
    if (authority.find('@') != std::string_view::npos)
        return std::string("A redirect to a URL with a user name or password was refused.");
    if (authority.starts_with('['))
        return std::string("A redirect to an IPv6 address was refused: IPv6 addresses are not "
                           "supported.");
    if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        const std::optional<int> port = ParseDecimal(authority.substr(colon + 1));
        if (!port || *port < 1 || *port > 65535)
            return std::string("A redirect to a URL whose port is not a port was refused.");
    }
    return std::nullopt;
}

// The standard reason of a status (RFC 9110), or "" for one it does not name: what the log shows
// of a custom source's answer instead of the service's own words.
std::string_view ReasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 410: return "Gone";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "";
    }
}

// Whether the last transfer coding of a Transfer-Encoding value is "chunked".
bool EndsChunked(std::string_view codings) {
    const std::size_t comma = codings.rfind(',');
    const std::string_view last =
        TrimBlanks(comma == std::string_view::npos ? codings : codings.substr(comma + 1));
    return EqualsNoCase(last.substr(0, last.find(';')), "chunked");
}

// A chunk's size as RFC 9112 has it: hexadecimal digits, then blanks or an extension after ";"
// that are skipped; nullopt for anything else. Digits beyond 64 bits saturate.
std::optional<std::uint64_t> StrictChunkSize(std::string_view line) {
    std::size_t digits = 0;
    std::uint64_t value = 0;
    for (; digits < line.size(); ++digits) {
        const char c = LowerAscii(line[digits]);
        std::uint64_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint64_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint64_t>(c - 'a' + 10);
        else
            break;
        value = value > (std::numeric_limits<std::uint64_t>::max() >> 4)
                    ? std::numeric_limits<std::uint64_t>::max()
                    : (value << 4) | digit;
    }
    const std::string_view rest = TrimBlanks(line.substr(digits));
    if (digits == 0 || !(rest.empty() || rest.front() == ';'))
        return std::nullopt;
    return value;
}

constexpr std::string_view BadStatusText = "The service's answer has no valid status code.";
constexpr std::string_view BadChunkText = "The service's answer has a chunk size that is none.";
constexpr std::string_view BadLengthText = "The service's answer has a Content-Length that is none.";

// Whether a failure is the peer's close or reset of the connection.
bool ClosedByPeer(const Exception& error) {
    if (dynamic_cast<const EIdConnClosedGracefully*>(&error))
        return true;
    const auto* socket = dynamic_cast<const EIdSocketError*>(&error);
    return socket && (socket->LastError == winsock::ConnectionReset ||
                      socket->LastError == winsock::ConnectionAborted);
}

// Reads one line of the answer, refusing one beyond the line length bound.
void ReadResponseLine(ByteReader& reader, std::string& line) {
    if (!reader.ReadLine(line, MaxLineLength))
        throw Exception(std::string(LineTooLongText));
}

} // namespace

TIdHTTP::TIdHTTP() : m_cut(std::make_unique<CutTime>()) {}

TIdHTTP::~TIdHTTP() = default;

void TIdHTTP::CutAt(std::chrono::steady_clock::time_point when) noexcept {
    m_cut->CutAt(when);
}

bool TIdHTTP::CutReached() const noexcept {
    return m_cut->Reached();
}

void TIdHTTP::Get(const std::string& url, std::string& buffer) {
    std::string current = url;
    const auto originOf = [this](const std::string& of) {
        const UrlParts parts = SplitUrl(of);
        Origin origin{SchemeOf(of), parts.Host, 0};
        std::transform(origin.Host.begin(), origin.Host.end(), origin.Host.begin(), LowerAscii);
        if (origin.Host.ends_with('.'))
            origin.Host.pop_back();
        origin.Port = parts.Port.value_or(origin.Scheme == "https" ? 443 : m_defaultPort);
        return origin;
    };
    const Origin asked = originOf(url);
    m_sendSourceHeaders = true;
    for (int followed = 0;; ++followed) {
        const std::size_t before = buffer.size();
        try {
            GetOnce(current, buffer);
            return;
        } catch (const EIdProtocolReplyError&) {
            const std::string* location = FindHeader(ResponseHeaders, "Location");
            if (followed >= Rules.MaxRedirects || !IsFollowedRedirect(StatusCode) || !location ||
                location->empty()) {
                if (Rules.MaxRedirects > 0 && followed == Rules.MaxRedirects &&
                    IsFollowedRedirect(StatusCode))
                    throw Exception("Too many redirects: more than " +
                                    std::to_string(Rules.MaxRedirects) + ".");
                throw;
            }
            if (HasControl(*location))
                throw ERefusedRedirect("A redirect whose Location holds a control character was "
                                       "refused.");
            std::string next = ResolveLocation(current, *location);
            if (const auto refusal = RedirectRefusal(current, next))
                throw ERefusedRedirect(*refusal);
            // As curl and browsers do with credentials: a source's own headers, its Referer and
            // cookies included, go to its service only.
            m_sendSourceHeaders = m_sendSourceHeaders && originOf(next) == asked;
            // The redirect's own body is no part of the tile.
            buffer.resize(before);
            current = std::move(next);
        }
    }
}

void TIdHTTP::GetOnce(const std::string& url, std::string& buffer) {
    const WaitLimits limits{Timeout, DeadlineAfter(SteadyClock::now(), Deadline), m_cut.get()};
    StatusCode = 0;
    StatusText.clear();
    ResponseHeaders.clear();

    const UrlParts parts = SplitUrl(url);
    if (!Tls && TlsOnDemand && EqualsNoCase(parts.Scheme, "HTTPS"))
        Tls = TlsOnDemand();
    if (Tls && EqualsNoCase(parts.Scheme, "HTTPS")) {
        GetSecure(parts, buffer, limits);
        return;
    }
    // A TLS connection never carries a plain request.
    if (m_connection && m_connection->Secure())
        m_connection.reset();
    std::string target = parts.Target;
    std::string connectHost;
    int connectPort = 0;
    if (ProxyServer.empty()) {
        if (EqualsNoCase(parts.Scheme, "HTTPS"))
            throw EIdInterceptPropInvalid();
        if (!parts.Host.empty()) {
            // Only a URL that names the port may reuse the kept connection, unless the rules
            // keep connections per host.
            const int port = parts.Port.value_or(m_defaultPort);
            const bool sameTarget =
                EqualsNoCase(parts.Host, m_currentHost) &&
                (Rules.KeepAliveByHost ? port == m_currentPort
                                       : parts.Port && *parts.Port == m_currentPort);
            if (!sameTarget)
                m_connection.reset();
            m_currentHost = parts.Host;
            m_hostHeaderValue = parts.Host;
            m_hostPort = parts.Port;
            if (!parts.Scheme.empty())
                m_lastScheme = parts.Scheme;
        }
        m_currentPort = parts.Port.value_or(m_defaultPort);
        connectHost = m_currentHost;
        connectPort = m_currentPort;
    } else {
        if (!parts.Host.empty()) {
            m_hostHeaderValue = parts.Host;
            m_hostPort = parts.Port;
        }
        if (!parts.Scheme.empty())
            m_lastScheme = parts.Scheme;
        // The port that the URL names goes along, so the proxy reaches the service on it; the
        // Host header stays the host name alone.
        target = m_lastScheme + "://" + m_hostHeaderValue +
                 (m_hostPort ? ":" + std::to_string(*m_hostPort) : std::string()) + target;
        connectHost = ProxyServer;
        connectPort = ProxyPort;
    }

    // A peer may close a kept connection without saying so (some proxies do after every answer).
    if (m_connection && m_connection->PeerHasClosed())
        m_connection.reset();
    if (!m_connection && EqualsNoCase(connectHost, "LOCALHOST"))
        connectHost = "127.0.0.1";
    Exchange(limits, buffer, [&] {
        if (!m_connection)
            m_connection = TcpConnection::Open(connectHost, connectPort, limits);
        SendRequest(target, HostLine(80), !ProxyServer.empty());
    });
}

void TIdHTTP::GetSecure(const UrlParts& parts, std::string& buffer, const WaitLimits& limits) {
    const int port = parts.Port.value_or(443);
    // The certificate is checked against the host as the URL names it, "localhost" too (and SNI
    // names it); only the connection goes to the address that stands for it.
    const std::string& host = parts.Host;
    const std::string address = EqualsNoCase(host, "LOCALHOST") ? "127.0.0.1" : host;
    // One kept connection per proxy, host and port; anything else starts anew.
    std::string key = "https://" + host + ":" + std::to_string(port);
    std::transform(key.begin(), key.end(), key.begin(), LowerAscii);
    if (!ProxyServer.empty())
        key += " via " + ProxyServer + ":" + std::to_string(ProxyPort);
    if (m_connection && (!m_connection->Secure() || key != m_secureTarget))
        m_connection.reset();
    if (m_connection && m_connection->PeerHasClosed())
        m_connection.reset();
    // Plain requests after this one start anew.
    m_currentHost.clear();
    m_hostHeaderValue = parts.Host;
    m_hostPort = parts.Port;
    m_lastScheme = parts.Scheme;
    Exchange(limits, buffer, [&] {
        if (!m_connection) {
            std::unique_ptr<TcpConnection> connection;
            if (ProxyServer.empty()) {
                connection = TcpConnection::Open(address, port, limits);
            } else {
                const std::string proxy =
                    EqualsNoCase(ProxyServer, "LOCALHOST") ? "127.0.0.1" : ProxyServer;
                connection = TcpConnection::Open(proxy, ProxyPort, limits);
                OpenTunnel(*connection, host, port);
            }
            m_connection = std::make_unique<TlsStream>(std::move(connection), *Tls, host);
            m_secureTarget = key;
        }
        SendRequest(parts.Target, HostLine(443), false);
    });
}

void TIdHTTP::OpenTunnel(Stream& proxy, const std::string& host, int port) {
    const std::string authority = host + ":" + std::to_string(port);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!ProxyUsername.empty())
        request +=
            "Proxy-Authorization: Basic " + Base64(ProxyUsername + ":" + ProxyPassword) + "\r\n";
    request += "\r\n";
    proxy.Write(request);
    ByteReader& reader = proxy.Reader();
    std::string line;
    ReadResponseLine(reader, line);
    const auto blank = line.find(' ');
    const std::string status = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    for (std::string header;;) {
        ReadResponseLine(reader, header);
        if (header.empty())
            break;
    }
    if (status.empty() || status[0] != '2')
        throw Exception("The proxy refused the tunnel to " + authority + ": " +
                        PrintableText(status));
}

void TIdHTTP::Exchange(const WaitLimits& limits, std::string& buffer,
                       const std::function<void()>& connectAndSend) {
    for (bool repeated = false;; repeated = true) {
        // A kept connection that the peer closes just after the look before its reuse (a proxy
        // that closes after every answer without saying so) costs one new connection: the
        // request goes out once more, as mature clients do. A new connection's failure is told.
        const bool reused = m_connection != nullptr;
        const std::uint64_t received = reused ? m_connection->Reader().Received() : 0;
        try {
            CheckLimits(limits); // a cut client sends nothing more
            if (m_connection)
                m_connection->SetLimits(limits);
            connectAndSend();
            // Whether the connection may carry the next request is decided for every answer,
            // before its status is judged: a 404 or 304 that says "Connection: close" closes it.
            if (!ReadWhole(m_connection->Reader(), buffer))
                m_connection.reset();
            ThrowUnlessSuccess();
            return;
        } catch (const EIdProtocolReplyError&) {
            throw; // the answer was read whole: the connection is still in step
        } catch (const Exception& error) {
            const bool noByteCame =
                reused && m_connection && m_connection->Reader().Received() == received;
            // Any other failure may leave the rest of the answer unread or the socket broken.
            m_connection.reset();
            if (repeated || !noByteCame || !ClosedByPeer(error) || m_cut->Reached())
                throw;
        } catch (...) {
            m_connection.reset();
            throw;
        }
    }
}

std::string TIdHTTP::HostLine(int schemePort) const {
    // The built-in service is told the host name alone; a custom source's service is told a port
    // that is not its scheme's own, as HTTP asks.
    if (Rules.KeepAliveByHost && m_hostPort && *m_hostPort != schemePort)
        return m_hostHeaderValue + ":" + std::to_string(*m_hostPort);
    return m_hostHeaderValue;
}

void TIdHTTP::SendRequest(const std::string& target, const std::string& host,
                          bool proxyAuthorization) {
    // These lines in this order, and nothing else; the empty line ends the request. The built-in
    // source's client hands each line over by a write of its own; a custom source's goes out in
    // one write.
    const bool oneWrite = Rules.KeepAliveByHost;
    std::string request;
    const auto line = [&](const std::string& text) {
        if (oneWrite) {
            request.append(text).append("\r\n");
            if (text.empty())
                m_connection->Write(request);
            return;
        }
        m_connection->Write(text + "\r\n", !text.empty());
    };
    line("GET " + target + " HTTP/1.1");
    line("Host: " + host);
    line("Accept: " + Accept);
    if (!Referer.empty() && m_sendSourceHeaders)
        line("Referer: " + Referer);
    if (!UserAgent.empty())
        line("User-Agent: " + UserAgent);
    if (!Connection.empty())
        line("Connection: " + Connection);
    if (m_sendSourceHeaders)
        for (const auto& [name, value] : Rules.Headers)
            line(name + ": " + value);
    for (const auto& [name, value] : Conditional)
        line(name + ": " + value);
    if (proxyAuthorization && !ProxyUsername.empty())
        line("Proxy-Authorization: Basic " + Base64(ProxyUsername + ":" + ProxyPassword));
    line("");
}

bool TIdHTTP::ReadAnswer(ByteReader& reader, std::string& buffer) {
    const bool keep = ReadWhole(reader, buffer);
    ThrowUnlessSuccess();
    return keep;
}

bool TIdHTTP::ReadWhole(ByteReader& reader, std::string& buffer) {
    // Counted however the answer ends.
    struct Counter {
        ByteReader& Reader;
        std::uint64_t& Total;
        const std::uint64_t Before = Reader.Received();
        ~Counter() { Total += Reader.Received() - Before; }
    } counted{reader, BytesReceived};
    StatusCode = 0;
    StatusText.clear();
    ResponseHeaders.clear();
    std::string line;
    ReadResponseLine(reader, line);
    // Characters 6 to 8 of "HTTP/1.0".
    const bool http10 =
        line.size() >= 8 && EqualsNoCase(std::string_view(line).substr(5, 3), "1.0");
    const auto blank = line.find(' ');
    // The service's words go into the log and onto the terminal: no control character of theirs.
    StatusText = blank == std::string::npos ? std::string() : PrintableText(line.substr(blank + 1));
    const std::string word = StatusText.substr(0, StatusText.find(' '));
    const std::optional<int> code = ParseDecimal(word);
    if (Rules.StrictFraming) {
        // The service's words could hold any marker ("418 Teapot 403"): only the code counts.
        if (!code || word.size() != 3 || *code < 100 || *code > 599)
            throw Exception(std::string(BadStatusText));
        StatusText = word;
        if (const std::string_view reason = ReasonPhrase(*code); !reason.empty())
            StatusText.append(" ").append(reason);
    } else if (!code) {
        throw EConvertError("'" + word + "' is not a valid integer value");
    }
    StatusCode = *code;

    for (;;) {
        ReadResponseLine(reader, line);
        if (line.empty())
            break;
        if (ResponseHeaders.size() == MaxHeaderLines)
            throw Exception(std::string(TooManyHeadersText));
        const auto colon = line.find(':');
        std::string_view value;
        if (colon != std::string::npos)
            value = std::string_view(line).substr(colon + 1);
        while (!value.empty() && IsBlank(value.front()))
            value.remove_prefix(1);
        ResponseHeaders.emplace_back(line.substr(0, colon), std::string(value));
    }

    const bool framedForNext = ReadBody(reader, buffer);
    const std::string* connection = FindHeader(ResponseHeaders, "Connection");
    return framedForNext &&
           !(http10 || (connection && EqualsNoCase(TrimBlanks(*connection), "close")));
}

void TIdHTTP::ThrowUnlessSuccess() const {
    const std::string* location = FindHeader(ResponseHeaders, "Location");
    const bool redirect =
        (StatusCode / 100 == 3 && StatusCode != 304) || (location && !location->empty());
    if (redirect || StatusCode / 100 != 2)
        throw EIdProtocolReplyError(StatusCode, StatusText);
}

bool TIdHTTP::ReadBody(ByteReader& reader, std::string& buffer) {
    const std::size_t limit = MaxBodySize;
    const auto refuse = [limit] { return Exception(BodyTooLargeText(limit)); };
    const std::string* lengthText = FindHeader(ResponseHeaders, "Content-Length");
    const std::string* encoding = FindHeader(ResponseHeaders, "Transfer-Encoding");

    // The answer to a conditional request that the tile is unchanged has no body.
    if (StatusCode == 304 && !Conditional.empty())
        return true;
    if (Rules.StrictFraming) {
        if (StatusCode == 204 || StatusCode == 304)
            return true;
        if (encoding) {
            // Transfer-Encoding wins; an answer that names both lengths leaves the connection
            // out of step with any intermediary that read the other, so it is not reused.
            if (!EndsChunked(*encoding)) {
                ReadUntilClose(reader, buffer);
                return false;
            }
            ReadChunked(reader, buffer);
            return lengthText == nullptr;
        }
        if (lengthText && !ParseContentLength(TrimBlanks(*lengthText)))
            throw Exception(std::string(BadLengthText));
    }

    if (const auto length = lengthText ? ParseContentLength(*lengthText) : std::nullopt) {
        if (*length > limit)
            throw refuse();
        reader.ReadExactly(buffer, static_cast<std::size_t>(*length));
        return true;
    }

    if (encoding && encoding->find("chunked") != std::string::npos) {
        ReadChunked(reader, buffer);
        return true;
    }
    ReadUntilClose(reader, buffer);
    return true;
}

void TIdHTTP::ReadChunked(ByteReader& reader, std::string& buffer) {
    const std::size_t limit = MaxBodySize;
    std::size_t total = 0;
    std::string line;
    for (;;) {
        ReadResponseLine(reader, line);
        std::uint64_t size = 0;
        if (!Rules.StrictFraming) {
            size = ParseChunkSize(line);
        } else if (const auto strict = StrictChunkSize(line)) {
            size = *strict;
        } else {
            throw Exception(std::string(BadChunkText));
        }
        if (size == 0)
            break;
        if (size > limit - total)
            throw Exception(BodyTooLargeText(limit));
        reader.ReadExactly(buffer, static_cast<std::size_t>(size));
        total += static_cast<std::size_t>(size);
        ReadResponseLine(reader, line); // the line end after the chunk's bytes
        if (Rules.StrictFraming && !line.empty())
            throw Exception(std::string(BadChunkText));
    }
    if (!Rules.StrictFraming) {
        // One line after the last chunk; further trailers are not read.
        ReadResponseLine(reader, line);
        return;
    }
    // The trailer fields, up to the empty line that ends the answer.
    for (std::size_t fields = 0;; ++fields) {
        ReadResponseLine(reader, line);
        if (line.empty())
            return;
        if (fields == MaxHeaderLines)
            throw Exception(std::string(TooManyHeadersText));
    }
}

void TIdHTTP::ReadUntilClose(ByteReader& reader, std::string& buffer) {
    // Reading one byte past the limit to see whether it is exceeded.
    const std::size_t limit = MaxBodySize;
    std::size_t total = 0;
    for (;;) {
        const std::size_t room = limit - total;
        const std::size_t received = reader.ReadSome(
            buffer, room == std::numeric_limits<std::size_t>::max() ? room : room + 1);
        if (received == 0)
            return;
        total += received;
        if (total > limit)
            throw Exception(BodyTooLargeText(limit));
    }
}

} // namespace quarrow
