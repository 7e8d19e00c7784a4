// The reading of a request head by the local tile service.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quarrow::tileservice {

// A request head as the service reads it; the views point into the received bytes.
struct RequestHead {
    std::string_view Method;
    std::string_view Target;
    bool Close = false; // the client asked to close, or speaks HTTP/1.0
    bool HasBody = false;
    // The validators of a conditional request; empty when it sends none.
    std::string_view IfNoneMatch;
    std::string_view IfModifiedSince;
    std::string_view Host;
    std::string_view Range;
};

// Whether an If-None-Match value names the entity tag (or is "*").
bool MatchesEntityTag(std::string_view ifNoneMatch, std::string_view etag);

// Drops the blank lines that come before a request line from the front of the received bytes,
// as HTTP asks of servers, and returns the length of the head up to and including the empty line
// that ends it (LF with an optional CR before it), or npos while that line has not come.
std::size_t FindRequestHead(std::string& received);

// Reads a request head; nullopt when it is malformed.
std::optional<RequestHead> ParseRequestHead(std::string_view head);

} // namespace quarrow::tileservice
