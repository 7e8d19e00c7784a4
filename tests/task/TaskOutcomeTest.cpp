// The end of a task in words: counts, the reason from the last failure, and what to do next.
#include "task/TaskOutcome.h"
#include "task/RangeRun.h"

#include <gtest/gtest.h>

namespace quarrow {
namespace {

TEST(TaskOutcome, TellsHowATaskEndedAndWhy) {
    struct Case {
        TaskOutcome Outcome;
        std::string Text;
    };
    const std::string cert = "The certificate of h.example was refused: expired. Set the CA file "
                             "in Options or ask the service's owner.";
    // clang-format off
    //  total  saved blank failed not-fetched  stopped last failure                        seconds stop reason, go on
    const Case cases[] = {
        {{99, {96, 3, 0, 0},  false, "",                                                14.2, "", ""},
         "99 tiles: 96 saved, 3 blank (the service has none), 0 failed (listed for re-download). Done in 14 s."},
        {{99, {51, 0, 0, 48}, false, "403 Forbidden",                                   30, "", ""},
         "99 tiles: 51 saved, 0 blank (the service has none), 0 failed (listed for re-download), 48 not fetched (the service refused: 403). Start again with the same entries to go on."},
        {{10, {4, 0, 0, 6},   true, "",                                                 3, "", ""},
         "10 tiles: 4 saved, 0 blank (the service has none), 0 failed (listed for re-download), 6 not fetched (stopped). Start again with the same entries to go on."},
        {{10, {8, 0, 2, 0},   false, "Socket Error # 10060\r\nConnection timed out.",    3, "", ""},
         "10 tiles: 8 saved, 0 blank (the service has none), 2 failed (listed for re-download: the network failed: Socket Error # 10060 Connection timed out.). Re-download them from the failed list."},
        {{10, {9, 0, 1, 0},   false, "failed",                                          3, "", ""},
         "10 tiles: 9 saved, 0 blank (the service has none), 1 failed (listed for re-download: failed). Re-download them from the failed list."},
        {{10, {4, 0, 0, 6},   true, "",                                                 3, "", "Go on with: quarrow-batch --resume m/t.zav"},
         "10 tiles: 4 saved, 0 blank (the service has none), 0 failed (listed for re-download), 6 not fetched (stopped). Go on with: quarrow-batch --resume m/t.zav"},
        // A stop against a failing service: the tiles left are the stop's, the failed its.
        {{10, {4, 0, 1, 5},   true, "HTTP/1.1 500 Internal Server Error",               3, "", ""},
         "10 tiles: 4 saved, 0 blank (the service has none), 1 failed (listed for re-download), 5 not fetched (stopped). Start again with the same entries to go on."},
        {{10, {0, 0, 0, 10},  false, "",                                                1, cert, ""},
         cert + " 10 tiles: 0 saved, 0 blank (the service has none), 0 failed (listed for re-download), 10 not fetched. Start again with the same entries to go on."},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(c.Text, OutcomeText(c.Outcome));
}


// A range's end names every level as whole, not whole or not started, and goes on past a level
// that is not whole.
TEST(RangeRun, TheEndNamesEveryLevel) {
    RangeRun range(11, 14, "city");
    EXPECT_EQ("city_z11.zav", range.TaskName());
    EXPECT_EQ("Zoom 11 (1 of 4): ", range.Prefix());
    EXPECT_TRUE(range.Ended(false));
    EXPECT_EQ("Zoom 12 (2 of 4): ", range.Prefix());
    EXPECT_TRUE(range.Ended(true));
    EXPECT_EQ("Zoom 11 to 14: 12 whole, 11 not whole, 13 and 14 not started.", range.EndText());
    EXPECT_TRUE(range.Ended(true));
    EXPECT_FALSE(range.Ended(true));
    EXPECT_FALSE(range.AllWhole());
    EXPECT_EQ("Zoom 11 to 14: 12, 13 and 14 whole, 11 not whole.", range.EndText());
}

} // namespace
} // namespace quarrow
