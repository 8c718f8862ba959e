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
    struct {
        const char *text;
        size_t offset, count;
        int value;
    } cases[] = {
        {"123519", 0, 2, 12},   {"123519", 2, 2, 35},  {"123519", 4, 2, 19},
        {"123519.50", 4, 2, 19}, // fractions are another piece
        {"1", 0, 2, 1},         {"1", 2, 2, 0},        {"", 0, 2, 0},
        {"12", 4, 2, 0},        {" 5", 0, 2, 5},       {"-5", 0, 2, -5},
        {"+7", 0, 2, 7},        {"5x", 0, 2, 5},       {"x5", 0, 2, 0},
        {"0113", 0, 3, 11},     {"-", 0, 2, 0},
        // Far more digits than an int holds: saturated, never undefined.
        {"99999999999999999999999", 0, 23, INT_MAX},
        {"-99999999999999999999999", 0, 24, INT_MIN},
        {"2147483648", 0, 10, INT_MAX},
        {"-2147483648", 0, 11, INT_MIN},
    };
    for (auto &c : cases)
        EXPECT_EQ(piece_to_int(c.text, c.offset, c.count), c.value) << c.text << " " << c.offset;
}

TEST(NumberText, RealsAreReadAsAtofReadsThem)
{
    EXPECT_EQ(text_to_double("545.4"), 545.4);
    EXPECT_EQ(text_to_double(" -12.5M"), -12.5);
    EXPECT_EQ(text_to_double("07.038"), 7.038);
    EXPECT_EQ(text_to_double(""), 0.0);
    EXPECT_EQ(text_to_double("W*6A\n"), 0.0);
    EXPECT_EQ(text_to_double("0x10"), 16.0);
    EXPECT_EQ(text_to_double("1e999"), HUGE_VAL);
    EXPECT_TRUE(std::isnan(text_to_double("nan")));
}

TEST(NumberText, NarrowingBeyondTheFloatRangeIsDefined)
{
    EXPECT_EQ(narrow_to_float(1e300), HUGE_VALF);
    EXPECT_EQ(narrow_to_float(-1e300), -HUGE_VALF);
    // Just past FLT_MAX rounds back to it, as IEEE rounding does.
    EXPECT_EQ(narrow_to_float(static_cast<double>(FLT_MAX) * (1 + 1e-9)), FLT_MAX);
    EXPECT_EQ(narrow_to_float(-static_cast<double>(FLT_MAX) * (1 + 1e-9)), -FLT_MAX);
    EXPECT_EQ(narrow_to_float(0x1.ffffffp127), HUGE_VALF); // the tie goes to infinity
    EXPECT_EQ(narrow_to_float(545.4), 545.4f);
    EXPECT_TRUE(std::signbit(narrow_to_float(-0.0)));
    EXPECT_TRUE(std::isnan(narrow_to_float(NAN)));
}

// A locale whose decimal point is a comma, compiled into a scratch directory
// when the system has none. Empty when it cannot be had.
std::string comma_locale(const scratch_directory &scratch)
{
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
        locale_t probe = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
        if (probe != static_cast<locale_t>(0)) {
            freelocale(probe);
            return name;
        }
    }
    std::string command = "localedef -i de_DE -f UTF-8 " + scratch.at("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (scratch.path.empty() || system(command.c_str()) != 0)
        return "";
    setenv("LOCPATH", scratch.path.c_str(), 1);
    return "de_DE.UTF-8";
}

TEST(NumberText, TheProcessLocaleDoesNotChangeConversionsOrFormatting)
{
    scratch_directory scratch;
    std::string name = comma_locale(scratch);
    if (name.empty())
        GTEST_SKIP() << "no locale with a decimal comma (install the locales package)";
    ASSERT_NE(setlocale(LC_ALL, name.c_str()), nullptr);
    // The locale is in force: plain atof stops at the point.
    EXPECT_EQ(atof("48.5"), 48.0);

    EXPECT_EQ(text_to_double("48.5"), 48.5);
    fix_values fix;
    extract_fix(example_gga.c_str(), example_rmc.c_str(), &fix);
    char text[status_text_capacity];
    size_t length = format_status_text(text, sizeof text, "R\n", "G\n", fix);
    std::string status(text, length);
    setlocale(LC_ALL, "C");
    EXPECT_NE(status.find("Lat(deg): 48.1173\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Speed(m/s): 11.5235\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Alt(m): 545.4\n"), std::string::npos) << status;
}

} // namespace
