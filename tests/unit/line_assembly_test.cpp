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
    // receive), whether UDP input is taken, the texts it relays ("" for none), where the next one goes, and the
    // fragments and torn units dropped so far.
    const std::string longest = "$" + std::string(text_capacity - 3, 'B') + "\n";
    const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";
    const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
    const std::string cold = "$GPRMC,000346.03,A,4808" + std::string(12, '\0') + "  \r\n"; // a NUL hides nothing
    const struct { std::string datagram; bool accept; std::string relayed; size_t cursor; unsigned long dropped; } rows[] = {
        {"$GPGGA,1", true, "", 8, 0},                          // a fragment waits
        {",2\r\n", true, "$GPGGA,1,2\n", 0, 0},               // for its line end
        {"$GPGGA,1*00\r\n$GPRMC,2*00\r\n", true, "$GPGGA,1*00\r\n$GPRMC,2*00\n", 0, 0}, // two sentences, one text
        {"$GPGGA,lost", true, "", 11, 0},
        {"<failed>", true, "", 0, 1},                          // a failed receive drops the fragment
        {"$GPGGA,lost", true, "", 11, 1},
        {"", true, "", 0, 2},                                  // and so does an empty one
        {"$GPGGA,x\n", false, "", 0, 2},                       // dropped input leaves the cursor
        {"$GPRMC,garbage", true, "", 14, 2},
        {gga + "\r\n", true, gga + "\n", 0, 3},                // a sentence never continues a fragment
        {"!AIVDM,1,1,,A,torn", true, "", 18, 3},
        {"!AIVDM,1,1,,B,next\r\n", true, "!AIVDM,1,1,,B,next\n", 0, 4},
        {rmc, true, rmc + "\n", 0, 4},                          // a whole sentence without its line end
        {rmc.substr(0, rmc.size() - 1) + "B", true, "", rmc.size(), 4}, // its checksum does not match: held
        {"$GPGGA,", true, "", 7, 5},
        {"1*00\r\n$GPRM", true, "$GPGGA,1*00\n", 5, 5},          // the head of the next line is held
        {"C,2*00\r\n", true, "$GPRMC,2*00\n", 0, 5},
        {"$GPGGA,1*00\n" + rmc, true, "$GPGGA,1*00\n" + rmc + "\n", 0, 5}, // a whole sentence after the last line end
        {"$GPGGA,1*00\r\r\n", true, "$GPGGA,1*00\r\n", 0, 5},     // only the last CR becomes the LF
        {cold, true, "", 0, 6},                                // torn by a NUL: dropped whole
        {gga + "\r\n", true, gga + "\n", 0, 6},                // and the next sentence is whole
        {gga + "\r\n$GPRMC,0003" + std::string(3, '\0') + "\r\n", true, gga + "\n", 0, 7},
        {std::string("$GPRMC,\r\n\0junk", 14), true, "$GPRMC,\n", 0, 8},
        {std::string(9000, 'A') + "\n", true, "", 0, 9},         // cut to the room: its line end is lost
        {"\n", true, "", 0, 9},
        {"$GPGGA,after\n", true, "$GPGGA,after\n", 0, 9},
        {longest, true, longest, 0, 9},                        // a line that just fits is whole
    };
    line_assembly a;
    assembly_reset(&a);
    unsigned long dropped = 0;
    for (auto &row : rows) {
        std::string relayed;
        size_t length = 0;
        long received = row.datagram == "<failed>" ? -1 : assembly_put(&a, row.datagram.data(), row.datagram.size());
        if (const char *text = assembly_text_to_relay(&a, received, row.accept, &length))
            relayed.append(text, length);
        if (const char *text = assembly_held_sentence(&a, &length))
            relayed.append(text, length);
        dropped += a.dropped;
        a.dropped = 0;
        EXPECT_EQ(relayed, row.relayed) << row.datagram.substr(0, 40);
        EXPECT_EQ(a.cursor + a.tail_length, row.cursor) << row.datagram.substr(0, 40);
        EXPECT_EQ(dropped, row.dropped) << row.datagram.substr(0, 40);
    }
}

TEST(LineAssembly, SerialReads)
{
    // A read is a unit of its own; it relays only what ends with its line end. Each row: the read, the text,
    // whether text was torn.
    const struct { std::string read, relayed; bool torn; } rows[] = {
        {"$GPGGA,1*00\n", "$GPGGA,1*00\n", false},
        {"$GPGGA,1*00\r\n", "$GPGGA,1*00\n", false},
        {std::string("$GPRMC,000346.03,A,4808\0\0  \r\n", 30), "", true}, // a NUL tears the line
        {std::string("$GPRMC,\n\0junk\n", 15), "$GPRMC,\n", true},
        {"$GPGGA,1*4B", "$GPGGA,1*4B\n", false},               // a whole sentence, its line end lost
        {"$GPGGA,no line end", "", true},
        {"\n", "", false},
    };
    for (auto &row : rows) {
        char buffer[text_capacity];
        memcpy(buffer, row.read.data(), row.read.size());
        bool torn = false;
        size_t length = read_text_to_relay(buffer, static_cast<long>(row.read.size()), &torn);
        EXPECT_EQ(std::string(buffer, length), row.relayed) << row.read;
        EXPECT_EQ(torn, row.torn) << row.read;
    }
    for (const char *sentence : {"$GPGGA,1*4B", "$GPGGA,1*4b", "!AIVDM,x*03", "$*00"})
        EXPECT_TRUE(whole_sentence(sentence, strlen(sentence))) << sentence;
    for (const char *not_one : {"$*0", "GPGGA,1*4B", "$GPGGA,1*4C", "$GPGGA,1*4G", "$GP\nGA*00", "$GPGGA,1*4B "})
        EXPECT_FALSE(whole_sentence(not_one, strlen(not_one))) << not_one;
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
        {"$GPGGA,1*47\r\r\n", "$GPGGA,1*47\r\n"}, // only the last CR becomes the LF
        {"A\rB\rCDEF\r\rjunk", "A\rB\rCDEF\r\n"},
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
