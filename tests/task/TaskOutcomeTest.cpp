// The end of a task in words: counts, the reason from the last failure, and what to do next.
#include "task/TaskOutcome.h"

#include <gtest/gtest.h>

namespace quarrow {
namespace {

TEST(TaskOutcome, TellsHowATaskEndedAndWhy) {
    struct Case {
        TaskOutcome Outcome;
        const char* Text;
    };
    // clang-format off
    //  total done listed stopped last failure                                 seconds stop reason, go on
    const Case cases[] = {
        {{99, 99, 0, false, "",                                                14.2, "", ""},
         "99 of 99 tiles saved in 14 s"},
        {{99, 51, 8, false, "403 Forbidden",                                   30, "", ""},
         "51 of 99 tiles: 48 not fetched (the service refused: 403). Start again with the same entries to go on."},
        {{10, 4, 0, true, "",                                                  3, "", ""},
         "4 of 10 tiles: 6 not fetched (stopped). Start again with the same entries to go on."},
        {{10, 10, 2, false, "Socket Error # 10060\r\nConnection timed out.",   3, "", ""},
         "10 of 10 tiles: 2 failed (the network failed: Socket Error # 10060 Connection timed out.). Re-download them from the failed list."},
        {{10, 10, 1, false, "failed",                                          3, "", ""},
         "10 of 10 tiles: 1 failed (failed). Re-download them from the failed list."},
        {{10, 4, 0, true, "",                                                  3, "", "Go on with: quarrow-batch --resume m/t.zav"},
         "4 of 10 tiles: 6 not fetched (stopped). Go on with: quarrow-batch --resume m/t.zav"},
        {{10, 0, 0, false, "",                                                 1, "The certificate of h.example was refused: expired. Set the CA file in Options or ask the service's owner.", ""},
         "The certificate of h.example was refused: expired. Set the CA file in Options or ask the service's owner. 0 of 10 tiles: 10 not fetched."},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(c.Text, OutcomeText(c.Outcome));
}


} // namespace
} // namespace quarrow
