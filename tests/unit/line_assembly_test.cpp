// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "relay/line_assembly.h"
#include "relay/text_normalise.h"

namespace {

// Feeds one datagram as the relay loop does; returns the text relayed by it,
// or "" when it relays nothing.
std::string feed(line_assembly *a, const std::string &datagram, bool accept = true)
{
    if (!assembly_take(a, assembly_put(a, datagram.data(), datagram.size()), accept))
        return "";
    size_t length = normalise_text(a->line_buffer);
    return length ? std::string(a->line_buffer, length) : "";
}

TEST(LineAssembly, FragmentsAreJoinedUntilALineEnd)
{
    line_assembly a;
    assembly_reset(&a);
    EXPECT_EQ(feed(&a, "$GPGGA,1"), "");
    EXPECT_EQ(feed(&a, ",2\r\n"), "$GPGGA,1,2\n");
    EXPECT_EQ(a.cursor, 0u);
    EXPECT_EQ(feed(&a, "$GPRMC,3\n"), "$GPRMC,3\n");
}

TEST(LineAssembly, TwoSentencesInOneDatagramAreOneText)
{
    line_assembly a;
    assembly_reset(&a);
    EXPECT_EQ(feed(&a, "$GPGGA,1*00\r\n$GPRMC,2*00\r\n"), "$GPGGA,1*00\r\n$GPRMC,2*00\n");
}

TEST(LineAssembly, AFailedOrEmptyReceiveDiscardsTheFragment)
{
    line_assembly a;
    assembly_reset(&a);
    feed(&a, "$GPGGA,lost");
    EXPECT_FALSE(assembly_take(&a, -1, true));
    EXPECT_EQ(feed(&a, "$GPRMC,kept\n"), "$GPRMC,kept\n");
    feed(&a, "$GPGGA,lost");
    EXPECT_FALSE(assembly_take(&a, 0, true));
    EXPECT_EQ(a.cursor, 0u);
}

TEST(LineAssembly, DroppedInputLeavesTheCursor)
{
    line_assembly a;
    assembly_reset(&a);
    EXPECT_EQ(feed(&a, "$GPGGA,x\n", false), "");
    EXPECT_EQ(a.cursor, 0u);
}

TEST(LineAssembly, ANulHidesTheLineEndBehindIt)
{
    line_assembly a;
    assembly_reset(&a);
    // The line end after the NUL is not seen: the bytes wait as a fragment.
    EXPECT_EQ(feed(&a, std::string("$GPGGA,a\0b\r\n", 12)), "");
    // Completed later, the text stops at the NUL.
    EXPECT_EQ(feed(&a, "rest\n"), "$GPGGA,a");
    EXPECT_EQ(feed(&a, std::string("$GPRMC,\r\n\0junk", 14)), "$GPRMC,\n");
}

TEST(LineAssembly, OversizedInputIsCutAndAFullBufferDiscarded)
{
    line_assembly a;
    assembly_reset(&a);
    // A datagram larger than the room is cut to it: its line end is lost.
    EXPECT_EQ(feed(&a, std::string(9000, 'A') + "\n"), "");
    EXPECT_EQ(a.cursor, text_capacity - 1);
    // With no room left, the next datagram yields nothing and the fragment goes.
    EXPECT_EQ(feed(&a, "\n"), "");
    EXPECT_EQ(a.cursor, 0u);
    EXPECT_EQ(feed(&a, "$GPGGA,after\n"), "$GPGGA,after\n");
    // A line that just fits is relayed whole.
    std::string longest = "$" + std::string(text_capacity - 3, 'B') + "\n";
    EXPECT_EQ(feed(&a, longest), longest);
}

TEST(TextNormalise, LineEnds)
{
    struct {
        std::string in, out;
    } cases[] = {
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
    };
    for (auto &c : cases) {
        char text[text_capacity] = {0};
        memcpy(text, c.in.data(), c.in.size());
        size_t length = normalise_text(text);
        EXPECT_EQ(length ? std::string(text, length) : "", c.out) << c.in;
        if (length) {
            EXPECT_EQ(strlen(text), length);
        }
    }
}

TEST(TextNormalise, AnUnterminatedBufferIsClamped)
{
    char text[text_capacity];
    memset(text, 'x', sizeof text);
    EXPECT_EQ(normalise_text(text), text_capacity - 1);
    EXPECT_EQ(text[text_capacity - 1], '\0');
}

} // namespace
