// How long a service's "Retry-After" asks to wait, and the waits that grow without one.
#include "download/ServiceRules.h"

#include <chrono>

#include <gtest/gtest.h>

namespace quarrow {
namespace {

TEST(ServiceRules, RetryAfterInSecondsOrAsADateWithinTenMinutes) {
    // Sun, 06 Nov 1994 08:49:37 GMT
    const auto now = std::chrono::system_clock::from_time_t(784111777);
    EXPECT_EQ(120, RetryAfterSeconds(" 120 ", now));
    EXPECT_EQ(600, RetryAfterSeconds("3600", now));
    EXPECT_EQ(600, RetryAfterSeconds("99999999999999999999", now));
    EXPECT_EQ(30, RetryAfterSeconds("Sun, 06 Nov 1994 08:50:07 GMT", now));
    EXPECT_EQ(0, RetryAfterSeconds("Sun, 06 Nov 1994 08:00:00 GMT", now));
    EXPECT_EQ(600, RetryAfterSeconds("Mon, 07 Nov 1994 08:49:37 GMT", now));
    EXPECT_FALSE(RetryAfterSeconds("soon", now));
    EXPECT_FALSE(RetryAfterSeconds("-5", now));
    EXPECT_FALSE(RetryAfterSeconds("Sunday, 06-Nov-94 08:49:37 GMT", now));
    // Dates of any year, from a clock far on too: clamped, never an overflow of the clock's type.
    EXPECT_EQ(600, RetryAfterSeconds("Fri, 31 Dec 9999 23:59:59 GMT", now));
    EXPECT_EQ(0, RetryAfterSeconds("Mon, 01 Jan 0001 00:00:00 GMT", now));
    const auto late = std::chrono::system_clock::time_point(std::chrono::hours(24 * 365 * 250));
    EXPECT_EQ(0, RetryAfterSeconds("Sun, 06 Nov 1994 08:50:07 GMT", late));

    const int expected[] = {5, 10, 20, 40, 80, 160, 300, 300};
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(expected[n - 1], BackoffSeconds(n)) << n;
}

} // namespace
} // namespace quarrow
