#include "HttpDate.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace quarrow {

namespace {

constexpr std::array<std::string_view, 12> Months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> Days = {"Sun", "Mon", "Tue", "Wed",
                                                  "Thu", "Fri", "Sat"};

// Digits only: from_chars would take a sign.
std::optional<int> Number(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::time_t> ParseHttpDate(std::string_view text) {
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    if (text.size() != 29 || text.substr(3, 2) != ", " || text.substr(25) != " GMT")
        return std::nullopt;
    const auto month = std::find(Months.begin(), Months.end(), text.substr(8, 3));
    const auto day = Number(text.substr(5, 2)), year = Number(text.substr(12, 4)),
               hour = Number(text.substr(17, 2)), minute = Number(text.substr(20, 2)),
               second = Number(text.substr(23, 2));
    if (month == Months.end() || !day || !year || !hour || !minute || !second || text[16] != ' ' ||
        text[19] != ':' || text[22] != ':' || *day < 1 || *day > 31 || *hour > 23 ||
        *minute > 59 || *second > 60)
        return std::nullopt;
    std::tm fields{};
    fields.tm_year = *year - 1900;
    fields.tm_mon = static_cast<int>(month - Months.begin());
    fields.tm_mday = *day;
    fields.tm_hour = *hour;
    fields.tm_min = *minute;
    fields.tm_sec = *second;
    return ::timegm(&fields);
}

std::string HttpDate(std::time_t seconds) {
    std::tm fields{};
    ::gmtime_r(&seconds, &fields);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                  Days[static_cast<std::size_t>(fields.tm_wday)].data(), fields.tm_mday,
                  Months[static_cast<std::size_t>(fields.tm_mon)].data(), fields.tm_year + 1900,
                  fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

} // namespace quarrow
