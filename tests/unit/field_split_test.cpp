// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/field_split.h"

namespace {

// Every field next_field yields from the text, walking as the extraction does.
std::vector<std::string> walk(const char *text, size_t capacity = field_capacity)
{
    std::vector<std::string> fields;
    char field[64];
    const char *at = text;
    while (at != nullptr && fields.size() < 40) {
        at = next_field(at, field, capacity, ',');
        fields.push_back(field);
    }
    return fields;
}

TEST(FieldSplit, FieldsUpToEachCommaAndTheEndEachCutToItsCapacity)
{
    struct {
        const char *text;
        std::vector<std::string> fields;
    } cases[] = {
        {"$GPRMC,123519,A\n", {"$GPRMC", "123519", "A\n"}},
        {"a,,b", {"a", "", "b"}},
        {"", {""}},
        {"single", {"single"}},
        // An empty last field counts as no field.
        {"a,b,", {"a", "b"}},
        {",", {""}},
        {",,x", {"", "", "x"}},
        // A long field is cut to 19 characters, and the next is still found.
        {"$GPRMC,1234567890123456789ABC,next,", {"$GPRMC", "1234567890123456789", "next"}},
        {"1234567890123456789,x", {"1234567890123456789", "x"}},
    };
    for (auto &c : cases)
        EXPECT_EQ(walk(c.text), c.fields) << c.text;
}

TEST(FieldSplit, ReturnsTheStartOfTheNextField)
{
    const char *text = "ab,cd";
    char field[field_capacity];
    EXPECT_EQ(next_field(text, field, sizeof field, ','), text + 3);
    EXPECT_EQ(next_field(text + 3, field, sizeof field, ','), nullptr);
    EXPECT_STREQ(field, "cd");
    // Another delimiter splits elsewhere.
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
