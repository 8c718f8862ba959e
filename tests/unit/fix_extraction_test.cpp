// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "report/fix_extraction.h"
#include "reference.h"

namespace {

fix_values extract(const std::string &gga, const std::string &rmc)
{
    fix_values fix;
    extract_fix(gga.c_str(), rmc.c_str(), &fix);
    return fix;
}

// Every field of a fix on one line, floats to their last digit (and sign),
// so that a whole fix is compared at once and a difference shows where.
std::string fields(const fix_values &f)
{
    char text[300];
    snprintf(text, sizeof text, "%d:%d:%d (%.9g s) %c lat %.9g lon %.9g %.9g kn %.9g deg %d/%d/%d %.9g m", f.hours,
             f.minutes, f.seconds, f.seconds_of_day, f.void_fix ? 'V' : 'A', f.latitude, f.longitude, f.speed,
             f.course, f.day, f.month, f.year, f.altitude);
    return text;
}

const fix_values example_fix = {12, 35, 19, 45319, false, 48.1173f, 11.5166667f, 22.4f, 84.4f, 23, 3, 94, 545.4f};

TEST(FixExtraction, TheExampleSentences)
{
    EXPECT_EQ(fields(extract(example_gga, example_rmc)), fields(example_fix));
}

TEST(FixExtraction, EmptyFieldsGiveZerosAndTheStatusComesFromField2)
{
    // The GGA text still gives the altitude.
    EXPECT_EQ(fields(extract(example_gga, "$GPRMC,,V,,,,,,,,,,N*53\n")),
              fields({0, 0, 0, 0, true, 0, 0, 0, 0, 0, 0, 0, 545.4f}));

    EXPECT_FALSE(extract(example_gga, "$GPRMC,,,,,,,,,,,,\n").void_fix);
    EXPECT_TRUE(extract(example_gga, "$GPRMC,1,Valid\n").void_fix); // only the first letter counts
    // A short text: the walk stops, the fields it does not reach are empty.
    EXPECT_EQ(fields(extract(example_gga, "$GPRMC,0905\n")),
              fields({9, 5, 0, 9 * 3600 + 5 * 60, false, 0, 0, 0, 0, 0, 0, 0, 545.4f}));
}

TEST(FixExtraction, SouthAndWestAreNegative)
{
    fix_values south_west = example_fix;
    south_west.latitude = -south_west.latitude;
    south_west.longitude = -south_west.longitude;
    EXPECT_EQ(fields(extract(example_gga, "$GPRMC,123519,A,4807.038,S,01131.000,W,022.4,084.4,230394,,\n")),
              fields(south_west));
    // A zero southern latitude is negative zero.
    EXPECT_EQ(fields(extract(example_gga, "$GPRMC,123519,A,0000.000,S,00000.000,W,0,0,230394,,\n")),
              fields({12, 35, 19, 45319, false, -0.0f, -0.0f, 0, 0, 23, 3, 94, 545.4f}));
    // Only exactly "S" and "W" count: the line end makes a last field another word.
    fix_values last = extract(example_gga, "$GPRMC,123519,A,4807.038,S\n");
    EXPECT_GT(last.latitude, 0.0f);
    fix_values lower = extract(example_gga, "$GPRMC,123519,A,4807.038,s,01131.000,w,\n");
    EXPECT_GT(lower.latitude, 0.0f);
    EXPECT_GT(lower.longitude, 0.0f);
}

TEST(FixExtraction, AltitudeComesFromGgaField9AndIsNeverBelowZero)
{
    // The altitude each GGA text gives, its sign included.
    const std::pair<const char *, float> cases[] = {
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-12.5,M,46.9,M,,*47\n", 0.0f},
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-0,M,46.9,M,,*47\n", -0.0f},
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,5200,M,46.9,M,,*47\n", 5200.0f},
        // Fewer fields: the last one reached.
        {"$GPGGA,123519,4807.038\n", 4807.038f},
        {"$GPGGA,1,2,3,4,5,6,7,8,", 8.0f},   // an empty last field is no field
        {"$GPGGA,1,2,3,4,5,6,7,8,\n", 0.0f}, // but a line end is one
        {"$GPGGA,1,2,3,4,5,6,7,8,,10\n", 0.0f},
        // An empty field 9 in the middle reads as 0.
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,,M,46.9,M,,*47\n", 0.0f},
    };
    for (auto &c : cases) {
        fix_values fix = extract(c.first, example_rmc);
        EXPECT_EQ(fix.altitude, c.second) << c.first;
        EXPECT_EQ(std::signbit(fix.altitude), std::signbit(c.second)) << c.first;
    }
}

TEST(FixExtraction, ALongFieldIsCutAndTheFollowingFieldsAreStillFound)
{
    // 22 characters of course: cut to 19, the date after it is still read.
    fix_values fix = extract(example_gga, "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,1234567890123456789999,230394,,\n");
    EXPECT_EQ(fix.course, 1234567890123456789.0f);
    EXPECT_EQ(fix.day, 23);
    EXPECT_EQ(fix.month, 3);
    EXPECT_EQ(fix.year, 94);
}

TEST(FixExtraction, OnlyASentenceOfTheTypeAtTheStartOfALineCounts)
{
    struct {
        const char *text;
        const char *type;
        int at; // where the sentence starts, -1 for none
    } cases[] = {
        {"$GPRMC,123519,A\n", "RMC", 0},
        {"$GNGGA,123519\n", "GGA", 0},
        {"$xyRMC,", "RMC", 0},                 // any talker, and the shortest that counts
        {"$GPGGA,123519\n", "RMC", -1},
        {"$GPGSV,3,1,11*74\r\n$GPRMC,1\n", "RMC", 18}, // after CR LF
        {"$GPGSV,3,1,11*74\r$GPRMC,1\n", "RMC", 17},   // after a CR alone
        {"$GPGGA,1\n$GPRMC,2\n", "GGA", 0},
        {"$GPGGA,1\n$GPRMC,2\n", "RMC", 9},
        // Look-alikes.
        {"!AIVDM,1,1,,A,13aGRMC,GGA,0*4E\n", "RMC", -1}, // letters in an AIS payload
        {"!AIVDM,1,1,,A,13aGRMC,GGA,0*4E\n", "GGA", -1},
        {"!GPRMC,123519,A\n", "RMC", -1},               // "!" sentences never count
        {"$GPTXT,01,01,02,RMC,GGA mentioned*00\n", "RMC", -1},
        {"$GPTXT,01,01,02,see $GPRMC,123519,A*00\n", "RMC", -1}, // "$" inside a line
        {"$GPTXT,01,01,02,see $GPGGA,123519*00\n", "GGA", -1},
        {"$PGRMC,1,2\n", "RMC", -1},                    // proprietary
        {"$PGGGA,1,2\n", "GGA", -1},
        {"$GPRMC*00\n", "RMC", -1},                     // no comma after the type
        {"$GPRMCX,1\n", "RMC", -1},
        {"$GPrmc,1\n", "RMC", -1},
        {"GPRMC,123519,A\n", "RMC", -1},                // no "$"
        {" $GPRMC,123519,A\n", "RMC", -1},              // not where the line begins
        {"xx$GPRMC,123519,A\n", "RMC", -1},
        {"$G\nRMC,1\n", "RMC", -1},                     // a line end in the talker
        {"$GPRMC", "RMC", -1},
    };
    for (auto &c : cases) {
        const char *found = find_sentence(c.text, strlen(c.text), c.type);
        EXPECT_EQ(found == nullptr ? -1 : static_cast<int>(found - c.text), c.at) << c.text;
    }
    // Only the first `length` characters are looked at.
    EXPECT_EQ(find_sentence("$GPRMC,", 6, "RMC"), nullptr);
}

TEST(FixExtraction, EachSentenceIsReadFromItsOwnLine)
{
    const std::string gga = example_gga.substr(0, example_gga.size() - 1);
    const std::string rmc = example_rmc.substr(0, example_rmc.size() - 1);
    const std::string texts[] = {
        gga + "\r\n" + rmc + "\n",
        rmc + "\r\n" + gga + "\n",
        gga + "\r" + rmc + "\n",
        // A look-alike before the sentence is passed over.
        "$GPTXT,01,01,02,RMC,GGA*00\r\n" + rmc + "\r\n" + gga + "\n",
    };
    for (const std::string &both : texts)
        EXPECT_EQ(fields(extract(both, both)), fields(example_fix)) << both;
    // A short sentence ends at its line: the next line gives it no fields,
    // and a last field keeps its line end, as in a text of one line.
    fix_values short_fix = extract("$GPGGA,1,2,3,4,5,6,7,8\n$GPGGA,1,2,3,4,5,6,7,8,9\n",
                                   "$GPRMC,0905,A,4807.038,S\r\n$GPGGA,1,2,3,4,5,6,7,8,9\n");
    EXPECT_EQ(short_fix.altitude, 8.0f);
    EXPECT_GT(short_fix.latitude, 0.0f); // "S\r\n" is not "S"
    EXPECT_EQ(short_fix.longitude, 0.0f);
    EXPECT_EQ(short_fix.day, 0);
    // A text without the sentence gives what empty fields give.
    EXPECT_EQ(fields(extract("$GPTXT,GGA,1,2,3,4,5,6,7,8,9\n", "$GPTXT,RMC,123519,A,4807.038,N\n")),
              fields({0, 0, 0, 0, false, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(FixExtraction, TimeAndDatePieces)
{
    struct {
        const char *rmc;
        fix_values fix;
    } cases[] = {
        {"$GPRMC,235959,A,,,,,,,311299,,\n", {23, 59, 59, 86399, false, 0, 0, 0, 0, 31, 12, 99, 545.4f}},
        {"$GPRMC,090503.75,A,,,,,,,010100,,\n", {9, 5, 3, 32703, false, 0, 0, 0, 0, 1, 1, 0, 545.4f}},
        {"$GPRMC,1,A,,,,,,,7,,\n", {1, 0, 0, 3600, false, 0, 0, 0, 0, 7, 0, 0, 545.4f}},
        // Malformed: a negative piece gives a negative time.
        {"$GPRMC,-1-2-3,A,,,,,,,-1-1-1,,\n", {-1, -2, -3, -3723, false, 0, 0, 0, 0, -1, -1, -1, 545.4f}},
    };
    for (auto &c : cases)
        EXPECT_EQ(fields(extract(example_gga, c.rmc)), fields(c.fix)) << c.rmc;
}

TEST(FixExtraction, HugeAndNonNumericFieldsGiveDefinedValues)
{
    fix_values fix = extract("$GPGGA,1,2,3,4,5,6,7,8,1e999,M\n",
                             "$GPRMC,ab:cd:ef,A,991e9999,S,xyz1e99,W,nan,-inf,zz,,\n");
    EXPECT_EQ(fix.seconds_of_day, 0.0f);
    EXPECT_EQ(fix.latitude, -HUGE_VALF);  // 99 + huge minutes, south
    EXPECT_EQ(fix.longitude, -HUGE_VALF); // "1e99" after "xyz" is beyond any float
    EXPECT_TRUE(std::isnan(fix.speed));
    EXPECT_EQ(fix.course, -HUGE_VALF);
    EXPECT_EQ(fix.altitude, HUGE_VALF);
    EXPECT_EQ(fix.day, 0);
}

} // namespace
