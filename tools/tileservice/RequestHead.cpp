// Reading a request head from the bytes that a connection has received.
#include "RequestHead.h"

#include <vector>

#include "base/TextRules.h"

namespace quarrow::tileservice {
namespace {

// Whether a comma-separated header value holds the token, letter case ignored.
bool HasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (EqualsNoCase(TrimBlanks(list.substr(0, comma)), token)) {
            return true;
        }
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    }
    return false;
}

// Offset just past the empty line that ends the request head, or npos. Lines end in LF with an
// optional CR before it.
std::size_t HeadEnd(std::string_view buffer) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t lf = buffer.find('\n', start);
        if (lf == std::string_view::npos) {
            return std::string_view::npos;
        }
        if (lf == start || (lf == start + 1 && buffer[start] == '\r')) {
            return lf + 1;
        }
        start = lf + 1;
    }
}

bool IsTokenChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (!IsTokenChar(c)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::size_t FindRequestHead(std::string& received) {
    const std::size_t text = received.find_first_not_of("\r\n");
    received.erase(0, text == std::string::npos ? received.size() : text);
    return HeadEnd(received);
}

std::optional<RequestHead> ParseRequestHead(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const std::size_t lf = head.find('\n');
        std::string_view line = head.substr(0, lf);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break; // the empty line that ends the head
        }
        lines.push_back(line);
        head.remove_prefix(lf == std::string_view::npos ? head.size() : lf + 1);
    }
    if (lines.empty()) {
        return std::nullopt;
    }

    RequestHead request;
    const std::string_view requestLine = lines.front();
    const std::size_t firstBlank = requestLine.find(' ');
    const std::size_t lastBlank = requestLine.rfind(' ');
    if (firstBlank == std::string_view::npos || firstBlank == lastBlank) {
        return std::nullopt;
    }
    request.Method = requestLine.substr(0, firstBlank);
    request.Target = requestLine.substr(firstBlank + 1, lastBlank - firstBlank - 1);
    const std::string_view version = requestLine.substr(lastBlank + 1);
    if (!IsToken(request.Method) || request.Target.empty()) {
        return std::nullopt;
    }
    for (const char c : request.Target) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
            return std::nullopt;
        }
    }
    if (version == "HTTP/1.0") {
        request.Close = true;
    } else if (version != "HTTP/1.1") {
        return std::nullopt;
    }

    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        // Folded continuation lines are obsolete and may be refused.
        if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
            return std::nullopt;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (EqualsNoCase(name, "Connection") && HasToken(value, "close")) {
            request.Close = true;
        } else if (EqualsNoCase(name, "If-None-Match")) {
            request.IfNoneMatch = value;
        } else if (EqualsNoCase(name, "If-Modified-Since")) {
            request.IfModifiedSince = value;
        } else if (EqualsNoCase(name, "Host")) {
            request.Host = value;
        } else if (EqualsNoCase(name, "Range")) {
            request.Range = value;
        } else if (EqualsNoCase(name, "Transfer-Encoding") ||
                   (EqualsNoCase(name, "Content-Length") && value != "0")) {
            request.HasBody = true;
        }
    }
    return request;
}

bool MatchesEntityTag(std::string_view ifNoneMatch, std::string_view etag) {
    for (std::string_view rest = ifNoneMatch; !rest.empty();) {
        const std::size_t comma = rest.find(',');
        const std::string_view one = TrimBlanks(rest.substr(0, comma));
        if (one == "*" || one == etag || (one.starts_with("W/") && one.substr(2) == etag))
            return true;
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
    return false;
}

} // namespace quarrow::tileservice
