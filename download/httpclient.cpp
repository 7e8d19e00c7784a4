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

#include "../engine/TextRules.h"
#include "FailureTexts.h"
#include "Socket.h"

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

// Where a "Location" leads from the URL that answered with it.
std::string ResolveLocation(const std::string& from, const std::string& location) {
    if (location.find("://") != std::string::npos)
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
            std::string next = ResolveLocation(current, *location);
            if (EqualsNoCase(SplitUrl(current).Scheme, "HTTPS") &&
                !EqualsNoCase(SplitUrl(next).Scheme, "HTTPS"))
                throw Exception("A redirect from https to http was refused.");
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
    std::string host = parts.Host;
    if (EqualsNoCase(host, "LOCALHOST"))
        host = "127.0.0.1";
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
            if (ProxyServer.empty()) {
                m_connection = TcpConnection::Open(host, port, limits);
            } else {
                const std::string proxy =
                    EqualsNoCase(ProxyServer, "LOCALHOST") ? "127.0.0.1" : ProxyServer;
                m_connection = TcpConnection::Open(proxy, ProxyPort, limits);
                OpenTunnel(host, port);
            }
            m_connection->StartTls(*Tls, host);
            m_secureTarget = key;
        }
        SendRequest(parts.Target, HostLine(443), false);
    });
}

void TIdHTTP::OpenTunnel(const std::string& host, int port) {
    const std::string authority = host + ":" + std::to_string(port);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!ProxyUsername.empty())
        request +=
            "Proxy-Authorization: Basic " + Base64(ProxyUsername + ":" + ProxyPassword) + "\r\n";
    request += "\r\n";
    m_connection->Write(request);
    ByteReader& reader = m_connection->Reader();
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
        throw Exception("The proxy refused the tunnel to " + authority + ": " + status);
}

void TIdHTTP::Exchange(const WaitLimits& limits, std::string& buffer,
                       const std::function<void()>& connectAndSend) {
    try {
        CheckLimits(limits); // a cut client sends nothing more
        if (m_connection)
            m_connection->SetLimits(limits);
        connectAndSend();
        if (!ReadAnswer(m_connection->Reader(), buffer))
            m_connection.reset();
    } catch (const EIdProtocolReplyError&) {
        throw; // the answer was read whole: the connection is still in step
    } catch (...) {
        // Any other failure may leave the rest of the answer unread or the socket broken.
        m_connection.reset();
        throw;
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
    // One write per line, in this order, and nothing else; the empty line ends the request.
    const auto line = [this](const std::string& text) {
        m_connection->Write(text + "\r\n", !text.empty());
    };
    line("GET " + target + " HTTP/1.1");
    line("Host: " + host);
    line("Accept: " + Accept);
    if (!Referer.empty())
        line("Referer: " + Referer);
    if (!UserAgent.empty())
        line("User-Agent: " + UserAgent);
    if (!Connection.empty())
        line("Connection: " + Connection);
    for (const auto& [name, value] : Rules.Headers)
        line(name + ": " + value);
    if (proxyAuthorization && !ProxyUsername.empty())
        line("Proxy-Authorization: Basic " + Base64(ProxyUsername + ":" + ProxyPassword));
    line("");
}

bool TIdHTTP::ReadAnswer(ByteReader& reader, std::string& buffer) {
    StatusCode = 0;
    StatusText.clear();
    ResponseHeaders.clear();
    std::string line;
    ReadResponseLine(reader, line);
    // Characters 6 to 8 of "HTTP/1.0".
    const bool http10 =
        line.size() >= 8 && EqualsNoCase(std::string_view(line).substr(5, 3), "1.0");
    const auto blank = line.find(' ');
    StatusText = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    const std::string word = StatusText.substr(0, StatusText.find(' '));
    const std::optional<int> code = ParseDecimal(word);
    if (!code)
        throw EConvertError("'" + word + "' is not a valid integer value");
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

    const std::string* location = FindHeader(ResponseHeaders, "Location");
    const bool redirect =
        (StatusCode / 100 == 3 && StatusCode != 304) || (location && !location->empty());
    ReadBody(reader, buffer);
    if (redirect || StatusCode / 100 != 2)
        throw EIdProtocolReplyError(StatusCode, StatusText);

    const std::string* connection = FindHeader(ResponseHeaders, "Connection");
    return !(http10 || (connection && EqualsNoCase(TrimBlanks(*connection), "close")));
}

void TIdHTTP::ReadBody(ByteReader& reader, std::string& buffer) {
    const std::size_t limit = MaxBodySize;
    const auto refuse = [limit] { return Exception(BodyTooLargeText(limit)); };

    const std::string* lengthText = FindHeader(ResponseHeaders, "Content-Length");
    if (const auto length = lengthText ? ParseContentLength(*lengthText) : std::nullopt) {
        if (*length > limit)
            throw refuse();
        reader.ReadExactly(buffer, static_cast<std::size_t>(*length));
        return;
    }

    std::size_t total = 0;
    const std::string* encoding = FindHeader(ResponseHeaders, "Transfer-Encoding");
    if (encoding && encoding->find("chunked") != std::string::npos) {
        std::string line;
        for (;;) {
            ReadResponseLine(reader, line);
            const std::uint64_t size = ParseChunkSize(line);
            if (size == 0)
                break;
            if (size > limit - total)
                throw refuse();
            reader.ReadExactly(buffer, static_cast<std::size_t>(size));
            total += static_cast<std::size_t>(size);
            ReadResponseLine(reader, line); // the line end after the chunk's bytes
        }
        // One line after the last chunk; further trailers are not read.
        ReadResponseLine(reader, line);
        return;
    }

    // Until the peer closes, reading one byte past the limit to see whether it is exceeded.
    for (;;) {
        const std::size_t room = limit - total;
        const std::size_t received = reader.ReadSome(
            buffer, room == std::numeric_limits<std::size_t>::max() ? room : room + 1);
        if (received == 0)
            return;
        total += received;
        if (total > limit)
            throw refuse();
    }
}

} // namespace quarrow
