// The local date-and-time text of the log files, with an injectable clock.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace quarrow {

using Clock = std::function<std::chrono::system_clock::time_point()>;

// The real clock.
std::chrono::system_clock::time_point SystemNow();

// The locale's short date, a blank and its long time; the date alone at exactly midnight.
std::string DateTimeText(std::chrono::system_clock::time_point when);

} // namespace quarrow
