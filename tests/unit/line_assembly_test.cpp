// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "model/line_rules_model.h"
#include "relay/line_assembly.h"
#include "relay/text_normalise.h"

namespace {

// Feeds one piece, as a receive of up to 8191 bytes would hand it over, to
// the daemon's assembly and to the model written from the man page; both
// must give `relayed` and have counted `drops` pieces so far.
struct both_sides {
    line_assembly a;
    line_rules_model m;
    unsigned long drops = 0;
    explicit both_sides(bool joins)
    {
        assembly_reset(&a, joins);
        m.joins = joins;
    }
    void take(const std::string &piece, const std::string &relayed, unsigned long drops_so_far)
    {
        bool cut = piece.size() > text_capacity - 1;
        std::string received = piece.substr(0, text_capacity - 1), got;
        relayed_texts texts;
        assembly_take(&a, received.data(), received.size(), cut, &texts);
        for (unsigned i = 0; i < texts.count; i++) {
            EXPECT_EQ(strlen(texts.text[i]), texts.length[i]);
            got.append(texts.text[i], texts.length[i]);
        }
        drops += a.dropped;
        a.dropped = 0;
        size_t model_from = m.relayed.size();
        model_take(m, received, cut);
        std::string modelled;
        for (size_t i = model_from; i < m.relayed.size(); i++)
            modelled += m.relayed[i];
        const std::string shown = printable(piece.substr(0, 48));
        EXPECT_EQ(got, relayed) << shown;
        EXPECT_EQ(drops, drops_so_far) << shown;
        EXPECT_EQ(modelled, relayed) << "model: " << shown;
        EXPECT_EQ(m.drops, drops_so_far) << "model: " << shown;
    }
    static std::string printable(const std::string &s)
    {
        std::string out;
        for (char c : s)
            out += c == '\0' ? std::string("\\0") : c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
        return out;
    }
};

const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";
const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
const std::string vtg = "$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48";
const std::string nul(1, '\0');

// An NMEA 4 line: a TAG block, then the sentence it tags.
std::string tagged(const std::string &tag, const std::string &body)
{
    const auto sum = [](const std::string &between) {
        unsigned x = 0;
        for (char c : between)
            x ^= static_cast<unsigned char>(c);
        char hex[3];
        snprintf(hex, sizeof hex, "%02X", x);
        return std::string(hex);
    };
    return "\\" + tag + "*" + sum(tag) + "\\!" + body + "*" + sum(body);
}
const std::string tag1 = tagged("s:rcv1,c:1700000000", "AIVDM,1,1,,A,13aG?P0P00PD;88MD5MTDww@2<0L,0");
const std::string tag2 = tagged("s:rcv1,c:1700000001", "AIVDM,1,1,,B,13aG?P0P00PD;88MD5MTDww@2<0L,0");

TEST(LineAssembly, DatagramsInTurn)
{
    // One assembly, fed in order as the relay loop feeds it. Each row: the datagram ("" is also what a failed
    // receive gives), the texts it relays, the pieces dropped so far.
    const std::string longest = "$" + std::string(text_capacity - 3, 'B') + "\n";
    const std::string cold = "$GPRMC,000346.03,A,4808" + std::string(12, '\0') + "  \r\n";
    std::string lines;
    for (int i = 0; i < 130; i++)
        lines += gga + "\r\n"; // 8710 bytes: cut at 8191, after 122 whole lines
    std::string first_122;
    for (int i = 0; i < 121; i++)
        first_122 += gga + "\r\n";
    const struct { std::string datagram, relayed; unsigned long drops; } rows[] = {
        {"$GPGGA,1", "", 0},                                              // a head waits
        {",2\r\n", "$GPGGA,1,2\n", 0},                                    // for its line end
        {"$GPGGA,1*00\r\n$GPRMC,2*00\r\n", "$GPGGA,1*00\r\n$GPRMC,2*00\n", 0}, // two sentences, one text
        {"$GPGGA,lost", "", 0},
        {"", "", 1},                                                      // an empty one drops the head
        {"rest of it\r\n$GPGGA,x*00\r\n", "$GPGGA,x*00\n", 2},            // and its rest, not what follows
        {"$GPGGA,lost", "", 2},
        {"", "", 3},
        {"no line end", "", 4},                                           // the rest goes on
        {"still\r", "", 5},
        {"\n$GPGGA,after*00\r\n", "$GPGGA,after*00\n", 5},                // its LF came late
        {"$GPRMC,garbage", "", 5},
        {gga + "\r\n", gga + "\n", 6},                                    // a sentence never continues a head
        {"!AIVDM,1,1,,A,torn", "", 6},
        {"!AIVDM,1,1,,B,next\r\n", "!AIVDM,1,1,,B,next\n", 7},
        {rmc, rmc + "\n", 7},                                             // a whole sentence without its line end
        {rmc.substr(0, rmc.size() - 1) + "B", "", 7},                     // its checksum does not match: held
        {"$GPGGA,", "", 8},
        {"1*00\r\n$GPRM", "$GPGGA,1*00\n", 8},                            // the head of the next line is held
        {"C,2*00\r\n", "$GPRMC,2*00\n", 8},
        {"$GPGGA,1*00\n" + rmc, "$GPGGA,1*00\n" + rmc + "\n", 8},         // a whole sentence after the last line end
        {"$GPGGA,1*00\r\r\n", "$GPGGA,1*00\r\n", 8},                      // only the last CR becomes the LF
        {cold, "", 9},                                                    // torn by a NUL: dropped
        {gga.substr(0, 20) + nul + gga.substr(20) + "\r\n" + rmc + "\r\n" + vtg + "\r\n", rmc + "\r\n" + vtg + "\n", 10},
        {gga + "\r\n" + std::string(3, '\0') + "\r\n" + rmc + "\r\n", gga + "\r\n" + rmc + "\n", 10}, // NULs alone pad
        {rmc + nul, rmc + "\n", 10},                                      // a C string's NUL pads
        {gga + "\r\n" + nul + nul, gga + "\n", 10},
        {gga + "\r\n$GPRMC,0003" + nul + "\r", gga + "\n", 11},
        {gga + "\r", gga + "\n", 11},                                     // a CR LF parted over datagrams
        {"\n" + rmc + "\r", rmc + "\n", 11},
        {"\n", "", 11},
        {"$GPGGA," + std::string(8173, 'x'), "", 11},                     // a head of 8180 bytes
        {gga + "\r\n", gga + "\n", 12},                                   // gets the whole buffer, not 11 bytes
        {lines, first_122 + gga + "\n", 13},                              // cut: its tail is dropped
        {"continuation of a line,split by its sender\r\n", "", 14},       // and so is the rest of that line
        {"$GPGGA,after\n", "$GPGGA,after\n", 14},
        {std::string(9000, 'A') + "\n", "", 15},                          // cut without a line end
        {"\n", "", 16},
        {longest, longest, 16},                                           // a line that just fits is whole
        {"$" + std::string(text_capacity - 2, 'C'), "", 17},              // full without a line end
        {"x\r\n", "", 18},
        {vtg, vtg + "\n", 18},                                           // relayed at once,
        {"\r\n" + rmc + "\r\n", rmc + "\n", 18},                         // then its line end: passed over
        {vtg, vtg + "\n", 18},
        {"\r", "", 18},                                                   // that line end parted too
        {"\n" + gga + "\r\n", gga + "\n", 18},
        {vtg, vtg + "\n", 18},
        {"\n", "", 18},
        {gga + "\r\n" + rmc + "\n", gga + "\r\n" + rmc + "\n", 18},        // mixed line ends lose no line
        {tag1, tag1 + "\n", 18},                                         // a TAG line is a whole sentence,
        {tag2 + "\r\n", tag2 + "\n", 18},                                 // never glued to the next
        {"$GPGGA,lost", "", 18},
        {"", "", 19},
        {tag1 + "\r\n", tag1 + "\n", 19},                                 // and begins a line, no lost line's rest
        {"\\s:rcv1*00\\$GPGGA,", "", 19},
        {"1*4B\r\n", "\\s:rcv1*00\\$GPGGA,1*4B\n", 19},                  // its head waits as any
    };
    both_sides sides(true);
    for (auto &row : rows)
        sides.take(row.datagram, row.relayed, row.drops);
}

TEST(LineAssembly, SerialReads)
{
    // A read is a unit of its own and never waits for more. Each row: the read, the text, the pieces dropped so far.
    const struct { std::string read, relayed; unsigned long drops; } rows[] = {
        {"$GPGGA,1*00\n", "$GPGGA,1*00\n", 0},
        {"$GPGGA,1*00\r\n", "$GPGGA,1*00\n", 0},
        {std::string("$GPRMC,000346.03,A,4808\0\0  \r\n", 30), "", 1},  // a NUL tears the line
        {std::string("$GPRMC,\n\0junk\n", 15), "$GPRMC,\n", 2},
        {"$GPGGA,1*4B", "$GPGGA,1*4B\n", 2},                             // a whole sentence, its line end lost
        {"$GPGGA,12", "", 3},                                            // ended by a ^D
        {"3519,4807.038,N*00\n", "", 4},                                 // its rest is no line
        {gga + "\n", gga + "\n", 4},
        {"\n", "", 4},
        {std::string(4040, 'j') + gga.substr(0, 55) + "\n", "", 5},    // the terminal dropped its middle
        {gga + "\n", gga + "\n", 5},
        {std::string(4200, 'j'), "", 6},                                 // as full, without its line end
        {"the rest\n", "", 7},
        {gga + "\r\n", gga + "\n", 7},
    };
    both_sides sides(false);
    for (auto &row : rows)
        sides.take(row.read, row.relayed, row.drops);
    for (const char *sentence : {"$GPGGA,1*4B", "$GPGGA,1*4b", "!AIVDM,x*03", "$*00", "\\c:1*00\\$*00", "\\a\\\\b\\!AIVDM,x*03"})
        EXPECT_TRUE(whole_sentence(sentence, strlen(sentence))) << sentence;
    for (const char *not_one : {"$*0", "GPGGA,1*4B", "$GPGGA,1*4C", "$GPGGA,1*4G", "$GP\nGA*00", "$GPGGA,1*4B ", "\\c:1*00$*00", "\\c\n\\$*00", "\\c:1*00\\"})
        EXPECT_FALSE(whole_sentence(not_one, strlen(not_one))) << not_one;
}

TEST(TextNormalise, LineEnds)
{
    const struct { std::string in, out; } cases[] = {
        {"abc\r\n", ""},                     // 4 characters: too short
        {"abcde\n", "abcde\n"},              // 6: relayed
        {"abcd\r", ""},                      // becomes 5 characters
        {"ABCDE,F\r\n\n", "ABCDE,F\n"},      // the last CR of the closing run ends the text
        {"A\rBCDE\r\n", "A\rBCDE\n"},        // earlier CRs stay
        {"ABCDE\r\nFGHIJ\n", "ABCDE\r\nFGHIJ\n"}, // so do line ends before the closing run
        {"$GPGGA,no line end", "$GPGGA,no line end"},
        {"$GPGGA,1*47\r\r\n", "$GPGGA,1*47\r\n"}, // only the last CR becomes the LF
        {"A\rB\rCDEF\r\r", "A\rB\rCDEF\r\n"},
        {"ABCDE\n\r", "ABCDE\n\n"},
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
