// SPDX-License-Identifier: BSD-2-Clause
// When the replay tool sends each line: RMC timestamps read from sentences,
// steps across midnight and pieced-together logs, and fixed rates.
#include <gtest/gtest.h>

#include <vector>

#include "replay/replay_pace.h"

namespace {

TEST(ReplayPace, RmcTimeOfDay)
{
    const struct { const char *line; bool is_rmc; double seconds; } cases[] = {
        {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A", true, 45319},
        {"$GNRMC,235959.50,A,,,,,,,,,,A*00\r\n", true, 86399.5},
        {"$GPRMC,000000.125,V,,,,,,,,,,N*00", true, 0.125},
        {"$GPRMC,101010*00", true, 36610},
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47", false, -1},
        {"$GPRMC,,V,,,,,,,,,,N*53", false, -1}, // no time yet
        {"$GPRMC,12351,A,*00", false, -1},      // five digits
        {"$GPRMC,1235x9,A,*00", false, -1},
        {"$GPRMC,246000,A,*00", false, -1},     // hour 24
        {"$GPRMC,126000,A,*00", false, -1},     // minute 60
        {"$GPRMC,123519A,*00", false, -1},      // time runs into the next field
        {"!AIVDM,1,1,,A,139>Jh@00vPlgJ:KQwcjWR6D0000,0*0F", false, -1},
        {"GPRMC,123519,A", false, -1},
        {"$GPRMC", false, -1},
        {"", false, -1},
    };
    for (auto &c : cases) {
        double seconds = -1;
        EXPECT_EQ(rmc_time_of_day(c.line, &seconds), c.is_rmc) << c.line;
        if (c.is_rmc) {
            EXPECT_DOUBLE_EQ(seconds, c.seconds) << c.line;
        }
    }
}

TEST(ReplayPace, StepsBetweenRmcTimes)
{
    const struct { double previous, next, step; } cases[] = {
        {45319, 45320, 1},
        {45319, 45319, 0}, // a repeated time: no wait
        {45319, 45321.5, 2.5},
        {86399, 0, 1}, // across midnight
        {86399.5, 0.5, 1},
        {86000, 200, 600},
        {45319, 45000, 1}, // back a little: a new recording starts
        {43300, 100, 1},   // back under half a day is still a new recording
    };
    for (auto &c : cases)
        EXPECT_DOUBLE_EQ(rmc_step(c.previous, c.next), c.step) << c.previous << " -> " << c.next;
}

TEST(ReplayPace, WhenEachLineOfALogPlayedOverIsDue)
{
    const char *ais = "!AIVDM,1,1,,A,139>Jh@00vPlgJ:KQwcjWR6D0000,0*0F";
    // A rate of 0 lines a second keeps the pace of the RMC times; the due times run on pass after pass.
    const struct { const char *what; double lines_per_second; int passes; std::vector<const char *> log;
                   std::vector<double> due; } cases[] = {
        // Each RMC at its time, the rest right after; at once before any RMC.
        {"a log at RMC pace", 0, 1,
         {"$GPGGA,115959*00", "$GPRMC,120000.00,A*00", "$GPVTG,84.4,T*00", "$GPRMC,120001.00,A*00",
          "$GPGGA,120001.00*00", ais, "$GPRMC,120003.50,A*00", "$GPRMC,120000.00,A*00", "$GPRMC,120001.00,A*00"},
         {0, 0, 0, 1, 1, 1, 3.5, 4.5, 5.5}}, // the log played again from its top
        {"across midnight", 0, 1,
         {"$GPRMC,235958,A*00", "$GPRMC,235959,A*00", "$GPRMC,000000,A*00", "$GPRMC,000002,A*00"}, {0, 1, 2, 4}},
        // A fixed rate spaces every line evenly; timestamps play no part.
        {"four a second", 4, 1, {"$GPRMC,120000,A*00", "$GPRMC,120000,A*00", "$GPRMC,120000,A*00", "x", "x"},
         {0, 0.25, 0.5, 0.75, 1.0}},
        {"one in two seconds", 0.5, 1, {"a", "b", "c"}, {0, 2, 4}},
        // A pass through the log begins at least a second after the one before.
        {"times that do not advance", 0, 3, {"$GPRMC,120000.00,A*00", "$GPGGA,120000.00*00", "$GPRMC,120000.00,A*00"},
         {0, 0, 0, /**/ 1, 1, 1, /**/ 2, 2, 2}},
        {"no RMC at all", 0, 3, {"$GPGGA,120000.00*00", "$GPTXT,hello*00"}, {0, 0, /**/ 1, 1, /**/ 2, 2}},
        {"half a second of times", 0, 3, {"$GPRMC,120000.00,A*00", "$GPRMC,120000.50,A*00"},
         {0, 0.5, /**/ 1.5, 2, /**/ 3, 3.5}}, // the step back from the end already waits a second
        {"lines before the first RMC", 0, 3, {"$GPGGA,115959*00", "$GPRMC,120000,A*00", "$GPRMC,120003,A*00"},
         {0, 0, 3, /**/ 3, 4, 7, /**/ 7, 8, 11}}, // a long log: the passes are seconds apart already
        {"a fixed rate", 4, 3, {"$GPRMC,120000,A*00"}, {0, /**/ 0.25, /**/ 0.5}}, // the rate rules
    };
    for (auto &c : cases) {
        replay_pace pace = pace_start(c.lines_per_second);
        std::vector<double> due;
        for (int pass = 0; pass < c.passes; pass++) {
            pace_pass(&pace);
            for (const char *line : c.log)
                due.push_back(pace_line(&pace, line));
        }
        EXPECT_EQ(due, c.due) << c.what;
    }
    // No error builds up over a long log.
    replay_pace many = pace_start(1000);
    double due = 0;
    for (int i = 0; i <= 100000; i++)
        due = pace_line(&many, "x");
    EXPECT_DOUBLE_EQ(due, 100.0);
}

} // namespace
