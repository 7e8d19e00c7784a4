// A service's "Retry-After", as delay-seconds or an HTTP date of any year, against any clock:
// always a wait from none to the cap, never an overflow.
#include <chrono>
#include <cstring>

#include "FuzzSupport.h"
#include "download/ServiceRules.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8)
        return 0;
    // The first eight bytes are the clock's seconds since 1970, within what the clock holds.
    std::int64_t seconds = 0;
    std::memcpy(&seconds, data, sizeof seconds);
    seconds %= std::int64_t{9'000'000'000};
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
    const std::string_view value(reinterpret_cast<const char*>(data) + 8, size - 8);
    if (const auto wait = RetryAfterSeconds(value, now))
        fuzz::Check(*wait >= 0 && *wait <= MaxRetryAfterSeconds,
                    "a wait lies between none and the cap");
    return 0;
}
