// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

#include "report/fix_extraction.h"
#include "report/number_text.h"
#include "report/status_text.h"
#include "reference.h"
#include "report_scratch.h"

namespace {

TEST(NumberText, PiecesAreReadAsAtoiReadsThem)
{
    const struct { const char *text; size_t offset, count; int value; } cases[] = {
        {"123519", 0, 2, 12}, {"123519", 2, 2, 35}, {"123519", 4, 2, 19},
        {"123519.50", 4, 2, 19}, // fractions are another piece
        {"1", 0, 2, 1}, {"1", 2, 2, 0}, {"", 0, 2, 0}, {"12", 4, 2, 0}, {" 5", 0, 2, 5}, {"-5", 0, 2, -5},
        {"+7", 0, 2, 7}, {"5x", 0, 2, 5}, {"x5", 0, 2, 0}, {"0113", 0, 3, 11}, {"-", 0, 2, 0},
        // Far more digits than an int holds: saturated, never undefined.
        {"99999999999999999999999", 0, 23, INT_MAX}, {"-99999999999999999999999", 0, 24, INT_MIN},
        {"2147483648", 0, 10, INT_MAX}, {"-2147483648", 0, 11, INT_MIN},
    };
    for (auto &c : cases)
        EXPECT_EQ(piece_to_int(c.text, c.offset, c.count), c.value) << c.text << " " << c.offset;
}

TEST(NumberText, RealsAreReadAsAtofReadsThemAndNarrowedDefinedly)
{
    const std::pair<const char *, double> reals[] = {
        {"545.4", 545.4}, {" -12.5M", -12.5}, {"07.038", 7.038}, {"", 0.0},
        {"W*6A\n", 0.0}, {"0x10", 16.0}, {"1e999", HUGE_VAL},
    };
    for (auto &c : reals)
        EXPECT_EQ(text_to_double(c.first), c.second) << c.first;
    EXPECT_TRUE(std::isnan(text_to_double("nan")));
    // Beyond the float range; just past FLT_MAX rounds back to it, as IEEE rounding does, the tie to infinity.
    const std::pair<double, float> narrowed[] = {
        {1e300, HUGE_VALF}, {-1e300, -HUGE_VALF}, {static_cast<double>(FLT_MAX) * (1 + 1e-9), FLT_MAX},
        {-static_cast<double>(FLT_MAX) * (1 + 1e-9), -FLT_MAX}, {0x1.ffffffp127, HUGE_VALF}, {545.4, 545.4f},
    };
    for (auto &c : narrowed)
        EXPECT_EQ(narrow_to_float(c.first), c.second) << c.first;
    EXPECT_TRUE(std::signbit(narrow_to_float(-0.0)));
    EXPECT_TRUE(std::isnan(narrow_to_float(NAN)));
}

TEST(NumberText, TheProcessLocaleDoesNotChangeConversionsOrFormatting)
{
    // A locale whose decimal point is a comma, compiled into a scratch directory when the system has none.
    scratch_directory scratch;
    std::string name;
    for (const char *known : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
        if (locale_t probe = newlocale(LC_NUMERIC_MASK, known, static_cast<locale_t>(0))) {
            freelocale(probe);
            name = known;
            break;
        }
    }
    std::string command = "localedef -i de_DE -f UTF-8 " + scratch.at("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (name.empty() && !scratch.path.empty() && system(command.c_str()) == 0) {
        setenv("LOCPATH", scratch.path.c_str(), 1);
        name = "de_DE.UTF-8";
    }
    if (name.empty())
        GTEST_SKIP() << "no locale with a decimal comma (install the locales package)";
    ASSERT_NE(setlocale(LC_ALL, name.c_str()), nullptr);
    EXPECT_EQ(atof("48.5"), 48.0); // the locale is in force: plain atof stops at the point

    EXPECT_EQ(text_to_double("48.5"), 48.5);
    fix_values fix;
    extract_fix(example_gga.c_str(), example_rmc.c_str(), &fix);
    char text[status_text_capacity];
    std::string status(text, format_status_text(text, sizeof text, "R\n", "G\n", fix));
    setlocale(LC_ALL, "C");
    EXPECT_EQ(status, "NMEA: R\nNMEA: G\n" + example_lines);
}

} // namespace
