// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/field_split.h"

namespace {

TEST(FieldSplit, FieldsUpToEachCommaAndTheEndEachCutToItsCapacity)
{
    const struct { const char *text; std::vector<std::string> fields; } cases[] = {
        {"$GPRMC,123519,A\n", {"$GPRMC", "123519", "A\n"}},
        {"a,,b", {"a", "", "b"}},
        {"", {""}},
        {"single", {"single"}},
        {"a,b,", {"a", "b"}}, // an empty last field counts as no field
        {",", {""}},
        {",,x", {"", "", "x"}},
        // A long field is cut to 19 characters, and the next is still found.
        {"$GPRMC,1234567890123456789ABC,next,", {"$GPRMC", "1234567890123456789", "next"}},
        {"1234567890123456789,x", {"1234567890123456789", "x"}},
    };
    for (auto &c : cases) {
        // Walking as the extraction does: each call returns where the next field starts.
        std::vector<std::string> fields;
        char field[64];
        const char *at = c.text;
        while (at != nullptr && fields.size() < 40) {
            at = next_field(at, field, field_capacity, ',');
            fields.push_back(field);
        }
        EXPECT_EQ(fields, c.fields) << c.text;
    }
    // Another delimiter splits elsewhere.
    char field[field_capacity];
    const char *starred = "x*47";
    EXPECT_EQ(next_field(starred, field, sizeof field, '*'), starred + 2);
    EXPECT_STREQ(field, "x");
}

TEST(FieldSplit, ATinyCapacityStillTerminates)
{
    char field[4] = {'x', 'x', 'x', 'x'};
    next_field("abcdef,g", field, 1, ',');
    EXPECT_EQ(field[0], '\0');
    EXPECT_EQ(field[1], 'x'); // nothing written past the capacity
    next_field("abcdef,g", field, 3, ',');
    EXPECT_STREQ(field, "ab");
}

} // namespace
