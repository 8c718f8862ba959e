// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <string>

#include "report/fix_extraction.h"
#include "report/status_text.h"
#include "reference.h"

namespace {

// The status text of two stored texts; "" when it does not fit in `room`.
std::string status_of(const std::string &gga, const std::string &rmc, size_t room = status_text_capacity)
{
    fix_values fix;
    extract_fix(gga.c_str(), rmc.c_str(), &fix);
    static char text[status_text_capacity];
    return std::string(text, format_status_text(text, room, rmc.c_str(), gga.c_str(), fix));
}

TEST(StatusText, LinesForTheExampleAndUnusualFixes)
{
    const struct { std::string gga, rmc, lines; /* what follows the two NMEA lines */ } cases[] = {
        {example_gga, example_rmc, example_lines},
        {example_gga, "$GPRMC,,V,,,,,,,,,,N*53\n",
         "Status: VOID\nDate(day/mon/yr): 0/0/0\nTime(hh:mm:ss): 0:0:0\nLat(deg): 0\nLon(deg): 0\n"
         "Course(deg): 0\nSpeed(m/s): 0\nAlt(m): 545.4\n"},
        // Leading zeros go; a zero southern latitude is -0; below sea level is 0.
        {"$GPGGA,090503,0000.000,S,00000.000,W,1,08,0.9,-12.5,M,46.9,M,,*47\n",
         "$GPRMC,090503,A,0000.000,S,00000.000,W,000.0,360.0,010203,,\n",
         "Status: ACTIVE\nDate(day/mon/yr): 1/2/3\nTime(hh:mm:ss): 9:5:3\nLat(deg): -0\nLon(deg): -0\n"
         "Course(deg): 360\nSpeed(m/s): 0\nAlt(m): 0\n"},
        {example_gga, "$GPRMC,123519,A,4807.038,S,01131.000,W,1000,1e999,230394,,\n",
         "Status: ACTIVE\nDate(day/mon/yr): 23/3/94\nTime(hh:mm:ss): 12:35:19\nLat(deg): -48.1173\n"
         "Lon(deg): -11.5167\nCourse(deg): inf\nSpeed(m/s): 514.444\nAlt(m): 545.4\n"},
    };
    for (auto &c : cases)
        EXPECT_EQ(status_of(c.gga, c.rmc), "NMEA: " + c.rmc + "NMEA: " + c.gga + c.lines);
}

TEST(StatusText, StoresAreWrittenWholeEvenAtTheirLongestAndACutTextIsRefused)
{
    // Two stores of 8191 characters each, as many sentences as they hold.
    std::string rmc = example_rmc, gga = example_gga;
    while (rmc.size() + example_rmc.size() <= text_capacity - 1)
        rmc += example_rmc;
    rmc += std::string(text_capacity - 1 - rmc.size(), 'R');
    gga += std::string(text_capacity - 1 - gga.size(), 'G');
    std::string status = status_of(gga, rmc);
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.compare(0, 6 + rmc.size(), "NMEA: " + rmc), 0);
    EXPECT_EQ(status.compare(6 + rmc.size(), 6 + gga.size(), "NMEA: " + gga), 0);
    EXPECT_EQ(status.substr(status.size() - 14), "Alt(m): 545.4\n");
    // Exactly room for the text and its terminator, then one byte less.
    EXPECT_EQ(status_of(example_gga, example_rmc, example_status.size() + 1), example_status);
    EXPECT_EQ(status_of(example_gga, example_rmc, example_status.size()), "");
    EXPECT_EQ(status_of(example_gga, example_rmc, 0), "");
}

} // namespace
