// HTTP's dates (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT"), the only form servers must send:
// Retry-After, Expires, Last-Modified and If-Modified-Since.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace quarrow {

// Seconds since 1970 of an IMF-fixdate, any year; nullopt for any other text.
std::optional<std::time_t> ParseHttpDate(std::string_view text);

// The IMF-fixdate of seconds since 1970.
std::string HttpDate(std::time_t seconds);

} // namespace quarrow
