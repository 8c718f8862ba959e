// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "report/fix_extraction.h"
#include "reference.h"

namespace {

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

const float lat = 48.1173f, lon = 11.5166667f, alt = 545.4f;
const fix_values example_fix = {12, 35, 19, 45319, false, lat, lon, 22.4f, 84.4f, 23, 3, 94, alt};

fix_values at_altitude(float altitude)
{
    fix_values fix = example_fix;
    fix.altitude = altitude;
    return fix;
}

TEST(FixExtraction, WholeFixes)
{
    const std::string gga = example_gga.substr(0, example_gga.size() - 1);
    const std::string rmc = example_rmc.substr(0, example_rmc.size() - 1);
    // Texts of both sentences: each is read from its own line, wherever it stands.
    const std::string both[] = {gga + "\r\n" + rmc + "\n", rmc + "\r\n" + gga + "\n", gga + "\r" + rmc + "\n",
                                "$GPTXT,01,01,02,RMC,GGA*00\r\n" + rmc + "\r\n" + gga + "\n"};
    const struct { std::string gga, rmc; fix_values fix; } rows[] = {
        {example_gga, example_rmc, example_fix},
        {both[0], both[0], example_fix},
        {both[1], both[1], example_fix},
        {both[2], both[2], example_fix},
        {both[3], both[3], example_fix},
        // A short sentence ends at its line: the next line gives it no fields,
        // and its last field keeps the line end ("S\r\n" is not "S").
        {"$GPGGA,1,2,3,4,5,6,7,8\n$GPGGA,1,2,3,4,5,6,7,8,9\n", "$GPRMC,0905,A,4807.038,S\r\n$GPGGA,1,2,3,4,5,6,7,8,9\n",
         {9, 5, 0, 32700, false, lat, 0, 0, 0, 0, 0, 0, 8}},
        // A text without the sentence gives what empty fields give.
        {"$GPTXT,GGA,1,2,3,4,5,6,7,8,9\n", "$GPTXT,RMC,123519,A,4807.038,N\n", {}},
        // Empty fields give zeros; the status comes from the first letter of field 2.
        {example_gga, "$GPRMC,,V,,,,,,,,,,N*53\n", {0, 0, 0, 0, true, 0, 0, 0, 0, 0, 0, 0, alt}},
        {example_gga, "$GPRMC,,,,,,,,,,,,\n", {0, 0, 0, 0, false, 0, 0, 0, 0, 0, 0, 0, alt}},
        {example_gga, "$GPRMC,1,Valid\n", {1, 0, 0, 3600, true, 0, 0, 0, 0, 0, 0, 0, alt}},
        {example_gga, "$GPRMC,0905\n", {9, 5, 0, 32700, false, 0, 0, 0, 0, 0, 0, 0, alt}},
        // South and west are negative, a zero south negative zero; only exactly "S" and "W" count.
        {example_gga, "$GPRMC,123519,A,4807.038,S,01131.000,W,022.4,084.4,230394,,\n",
         {12, 35, 19, 45319, false, -lat, -lon, 22.4f, 84.4f, 23, 3, 94, alt}},
        {example_gga, "$GPRMC,123519,A,0000.000,S,00000.000,W,0,0,230394,,\n",
         {12, 35, 19, 45319, false, -0.0f, -0.0f, 0, 0, 23, 3, 94, alt}},
        {example_gga, "$GPRMC,123519,A,4807.038,S\n", {12, 35, 19, 45319, false, lat, 0, 0, 0, 0, 0, 0, alt}},
        {example_gga, "$GPRMC,123519,A,4807.038,s,01131.000,w,\n",
         {12, 35, 19, 45319, false, lat, lon, 0, 0, 0, 0, 0, alt}},
        // A long field is cut to 19 characters; the date after it is still found.
        {example_gga, "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,1234567890123456789999,230394,,\n",
         {12, 35, 19, 45319, false, lat, lon, 22.4f, 1234567890123456789.0f, 23, 3, 94, alt}},
        // Time and date pieces; a negative piece gives a negative time.
        {example_gga, "$GPRMC,235959,A,,,,,,,311299,,\n", {23, 59, 59, 86399, false, 0, 0, 0, 0, 31, 12, 99, alt}},
        {example_gga, "$GPRMC,090503.75,A,,,,,,,010100,,\n", {9, 5, 3, 32703, false, 0, 0, 0, 0, 1, 1, 0, alt}},
        {example_gga, "$GPRMC,1,A,,,,,,,7,,\n", {1, 0, 0, 3600, false, 0, 0, 0, 0, 7, 0, 0, alt}},
        {example_gga, "$GPRMC,-1-2-3,A,,,,,,,-1-1-1,,\n", {-1, -2, -3, -3723, false, 0, 0, 0, 0, -1, -1, -1, alt}},
        // The altitude comes from GGA field 9 (the last one reached in a shorter text), never below zero.
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-12.5,M,46.9,M,,*47\n", example_rmc, at_altitude(0.0f)},
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-0,M,46.9,M,,*47\n", example_rmc, at_altitude(-0.0f)},
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,5200,M,46.9,M,,*47\n", example_rmc, at_altitude(5200.0f)},
        {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,,M,46.9,M,,*47\n", example_rmc, at_altitude(0.0f)},
        {"$GPGGA,123519,4807.038\n", example_rmc, at_altitude(4807.038f)},
        {"$GPGGA,1,2,3,4,5,6,7,8,", example_rmc, at_altitude(8.0f)},   // an empty last field is no field
        {"$GPGGA,1,2,3,4,5,6,7,8,\n", example_rmc, at_altitude(0.0f)}, // but a line end is one
        {"$GPGGA,1,2,3,4,5,6,7,8,,10\n", example_rmc, at_altitude(0.0f)},
        // Huge and non-numeric fields give defined values: 99 degrees and huge minutes, "1e99" after "xyz"
        // beyond any float.
        {"$GPGGA,1,2,3,4,5,6,7,8,1e999,M\n", "$GPRMC,ab:cd:ef,A,991e9999,S,xyz1e99,W,nan,-inf,zz,,\n",
         {0, 0, 0, 0, false, -HUGE_VALF, -HUGE_VALF, NAN, -HUGE_VALF, 0, 0, 0, HUGE_VALF}},
    };
    for (auto &row : rows) {
        fix_values fix;
        extract_fix(row.gga.c_str(), row.rmc.c_str(), &fix);
        EXPECT_EQ(fields(fix), fields(row.fix)) << row.gga << row.rmc;
    }
}

TEST(FixExtraction, OnlyASentenceOfTheTypeAtTheStartOfALineCounts)
{
    const struct { const char *text, *type; int at; /* where the sentence starts, -1 for none */ } cases[] = {
        {"$GPRMC,123519,A\n", "RMC", 0},
        {"$GNGGA,123519\n", "GGA", 0},
        {"$xyRMC,", "RMC", 0}, // any talker, and the shortest that counts
        {"$GPGGA,123519\n", "RMC", -1},
        {"$GPGSV,3,1,11*74\r\n$GPRMC,1\n", "RMC", 18}, // after CR LF
        {"$GPGSV,3,1,11*74\r$GPRMC,1\n", "RMC", 17},   // after a CR alone
        {"$GPGGA,1\n$GPRMC,2\n", "GGA", 0},
        {"$GPGGA,1\n$GPRMC,2\n", "RMC", 9},
        // Look-alikes.
        {"!AIVDM,1,1,,A,13aGRMC,GGA,0*4E\n", "RMC", -1}, // letters in an AIS payload
        {"!AIVDM,1,1,,A,13aGRMC,GGA,0*4E\n", "GGA", -1},
        {"!GPRMC,123519,A\n", "RMC", -1}, // "!" sentences never count
        {"$GPTXT,01,01,02,RMC,GGA mentioned*00\n", "RMC", -1},
        {"$GPTXT,01,01,02,see $GPRMC,123519,A*00\n", "RMC", -1}, // "$" inside a line
        {"$GPTXT,01,01,02,see $GPGGA,123519*00\n", "GGA", -1},
        {"$PGRMC,1,2\n", "RMC", -1}, // proprietary
        {"$PGGGA,1,2\n", "GGA", -1},
        {"$GPRMC*00\n", "RMC", -1}, // no comma after the type
        {"$GPRMCX,1\n", "RMC", -1},
        {"$GPrmc,1\n", "RMC", -1},
        {"GPRMC,123519,A\n", "RMC", -1},   // no "$"
        {" $GPRMC,123519,A\n", "RMC", -1}, // not where the line begins
        {"xx$GPRMC,123519,A\n", "RMC", -1},
        {"$G\nRMC,1\n", "RMC", -1}, // a line end in the talker
        {"$GPRMC", "RMC", -1},
    };
    for (auto &c : cases) {
        const char *found = find_sentence(c.text, strlen(c.text), c.type);
        EXPECT_EQ(found == nullptr ? -1 : static_cast<int>(found - c.text), c.at) << c.text;
    }
    // Only the first `length` characters are looked at.
    EXPECT_EQ(find_sentence("$GPRMC,", 6, "RMC"), nullptr);
}

} // namespace
