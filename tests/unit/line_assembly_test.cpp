// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "relay/line_assembly.h"
#include "relay/text_normalise.h"

namespace {

TEST(LineAssembly, DatagramsInTurn)
{
    // One assembly, fed in order as the relay loop feeds it. Each row: the datagram ("<failed>" for a failed
    // receive), whether UDP input is taken, the text it relays ("" for none) and where the next one goes.
    const std::string longest = "$" + std::string(text_capacity - 3, 'B') + "\n";
    const struct { std::string datagram; bool accept; std::string relayed; size_t cursor; } rows[] = {
        {"$GPGGA,1", true, "", 8},                          // a fragment waits
        {",2\r\n", true, "$GPGGA,1,2\n", 0},                // for its line end
        {"$GPGGA,1*00\r\n$GPRMC,2*00\r\n", true, "$GPGGA,1*00\r\n$GPRMC,2*00\n", 0}, // two sentences, one text
        {"$GPGGA,lost", true, "", 11},
        {"<failed>", true, "", 0},                          // a failed receive discards the fragment
        {"$GPGGA,lost", true, "", 11},
        {"", true, "", 0},                                  // and so does an empty one
        {"$GPGGA,x\n", false, "", 0},                       // dropped input leaves the cursor
        {std::string("$GPGGA,a\0b\r\n", 12), true, "", 12}, // a NUL hides the line end behind it
        {"rest\n", true, "$GPGGA,a", 0},                    // and ends the text
        {std::string("$GPRMC,\r\n\0junk", 14), true, "$GPRMC,\n", 0},
        {std::string(9000, 'A') + "\n", true, "", text_capacity - 1}, // cut to the room: its line end is lost
        {"\n", true, "", 0},                                // no room left: nothing, and the fragment goes
        {"$GPGGA,after\n", true, "$GPGGA,after\n", 0},
        {longest, true, longest, 0},                        // a line that just fits is whole
    };
    line_assembly a;
    assembly_reset(&a);
    for (auto &row : rows) {
        size_t length = 0;
        long received = row.datagram == "<failed>" ? -1 : assembly_put(&a, row.datagram.data(), row.datagram.size());
        const char *text = assembly_text_to_relay(&a, received, row.accept, &length);
        EXPECT_EQ(text != nullptr ? std::string(text, length) : "", row.relayed) << row.datagram.substr(0, 40);
        EXPECT_EQ(a.cursor, row.cursor) << row.datagram.substr(0, 40);
    }
}

TEST(TextNormalise, LineEnds)
{
    const struct { std::string in, out; } cases[] = {
        {"abc\r\n", ""},                     // 4 characters: too short
        {"abcde\n", "abcde\n"},              // 6: relayed
        {"abcd\r", ""},                      // becomes 5 characters
        {"ABCDE,F\rG", "ABCDE,F\n"},         // the last CR ends the text
        {"A\rBCDE\r\nFG", "A\rBCDE\n"},      // earlier CRs stay
        {"$GPGGA,no line end", "$GPGGA,no line end"},
        {"$GPGGA,1*47\r\r\n", "$GPGGA,1*47\n"},   // never CR LF at the end
        {"\r\r\r\r\r\r\r", ""},
        {"A\rB\rCDEF\r\rjunk", "A\rB\rCDEF\n"},
        {"", ""},
        {std::string(text_capacity, 'x'), std::string(text_capacity - 1, 'x')}, // an unterminated buffer is clamped
    };
    for (auto &c : cases) {
        char text[text_capacity] = {0};
        memcpy(text, c.in.data(), std::min(c.in.size(), sizeof text));
        size_t length = normalise_text(text);
        EXPECT_EQ(length ? std::string(text, length) : "", c.out) << c.in;
        EXPECT_TRUE(length == 0 || strlen(text) == length) << c.in; // terminated where it ends
    }
}

} // namespace
