// The local date-and-time text, in the formats of the current C locale (LC_TIME).
#include "DateTimeText.h"

#include <ctime>

namespace quarrow {
namespace {

std::string FormatTime(const char* format, const std::tm& local) {
    char buffer[256];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, length);
}

} // namespace

std::chrono::system_clock::time_point SystemNow() {
    return std::chrono::system_clock::now();
}

std::string DateTimeText(std::chrono::system_clock::time_point when) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(when);
    const std::time_t time = std::chrono::system_clock::to_time_t(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    std::string text = FormatTime("%x", local);
    const bool midnight =
        seconds == when && local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0;
    if (!midnight) {
        text += ' ';
        text += FormatTime("%X", local);
    }
    return text;
}

} // namespace quarrow
