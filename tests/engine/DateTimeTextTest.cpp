// The date-and-time text of the log, in the "C" locale's formats and a fixed time zone.
#include "engine/DateTimeText.h"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono;
using quarrow::DateTimeText;

class DateTimeTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_hadTz = tz != nullptr;
        if (m_hadTz)
            m_savedTz = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        if (m_hadTz)
            setenv("TZ", m_savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    static system_clock::time_point At(int y, unsigned m, unsigned d, hours h, minutes min,
                                       seconds s) {
        return sys_days{year{y} / month{m} / day{d}} + h + min + s;
    }

private:
    bool m_hadTz = false;
    std::string m_savedTz;
};

TEST_F(DateTimeTextTest, ShortDateBlankLongTime) {
    EXPECT_EQ(DateTimeText(At(2024, 3, 5, 12h, 34min, 56s)), "03/05/24 12:34:56");
    EXPECT_EQ(DateTimeText(At(1999, 12, 31, 23h, 59min, 59s)), "12/31/99 23:59:59");
}

TEST_F(DateTimeTextTest, TimeLeftOutAtExactlyMidnight) {
    const auto midnight = At(2024, 3, 5, 0h, 0min, 0s);
    EXPECT_EQ(DateTimeText(midnight), "03/05/24");
    EXPECT_EQ(DateTimeText(midnight + 1s), "03/05/24 00:00:01");
    EXPECT_EQ(DateTimeText(midnight + 1ms), "03/05/24 00:00:00");
    EXPECT_EQ(DateTimeText(midnight - 1ms), "03/04/24 23:59:59");
}

TEST_F(DateTimeTextTest, LocalMidnightFollowsTheTimeZone) {
    setenv("TZ", "XST-2", 1); // two hours east of UTC
    tzset();
    EXPECT_EQ(DateTimeText(At(2024, 3, 4, 22h, 0min, 0s)), "03/05/24");
    EXPECT_EQ(DateTimeText(At(2024, 3, 5, 0h, 0min, 0s)), "03/05/24 02:00:00");
}

} // namespace
