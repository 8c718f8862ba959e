// SPDX-License-Identifier: BSD-2-Clause
// Which waiting text a newer one replaces, and the bounds that still hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/text_queue.h"

namespace {

TEST(TextQueue, ASentenceIsTypedByItsAddressAndPartAnythingElseNotAtAll)
{
    const struct { const char *text; const char *address; int part; } rows[] = {
        {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\n", "$GPRMC", 0},
        {"$PGRME,15.0,M,45.0,M,25.0,M*1C\n", "$PGRME", 0},
        {"$PMTK001,604,3*32\n", "$PMTK001", 0}, // three digits are no part count
        {"$GPZDA,201530,04,07,2002,00,00*60\n", "$GPZDA", 0},
        {"$GPGSV,3,2,11,14,25,170,00,16,57,208,39*7C\n", "$GPGSV", 2},
        {"$GPTXT,01,01,02,u-blox ag - www.u-blox.com*50\n", "$GPTXT", 1},
        {"$GPRTE,2,1,c,0,W1,W2*06\n", "$GPRTE", 1},
        {"!AIVDM,2,2,3,A,88888888880,2*25\n", "!AIVDM", 2},
        {"$GPGSV,3,4,11*7C\n", "$GPGSV", 0}, // a part beyond the count
        {"$GPGSV,3,1.5,11\n", "$GPGSV", 0},
        {"$GPGSV,3,3*7C\n", "$GPGSV", 3},
        {"$PGRMO*2F\n", "$PGRMO", 0},
        {"$ABCDEFGHIJ,1\n", "$ABCDEFGHIJ", 0},
        {"$ABCDEFGHIJK,1\n", nullptr, 0}, // an address too long
        {"GPRMC,1\n", nullptr, 0},
        {"$gprmc,1\n", nullptr, 0},
        {"$GP RMC,1\n", nullptr, 0},
        {"$GPRMC,1\n$GPGGA,2\n", nullptr, 0}, // two sentences in one text
        {"$GPRMC,1\r$GPGGA,2\n", nullptr, 0},
    };
    for (auto &row : rows) {
        sentence_type type = {"unset", -1};
        std::string text = row.text;
        EXPECT_EQ(sentence_type_of(text.data(), text.size(), &type), row.address != nullptr) << text;
        if (row.address != nullptr) {
            EXPECT_STREQ(type.address, row.address) << text;
            EXPECT_EQ(type.part, row.part) << text;
        }
    }
}

// A text of `length` bytes beginning with `head`, ending in LF.
std::string text_of(const std::string &head, size_t length)
{
    std::string text = head;
    text.resize(length - 1, '0');
    return text + "\n";
}

TEST(TextQueue, ANewerSentenceTakesTheWaitingOnesPlaceWithinTheBacklog)
{
    const std::string rmc30 = text_of("$GPRMC,", 30), rmc60 = text_of("$GPRMC,", 60), other = text_of("y", 50);
    const struct {
        std::vector<std::string> offered;
        size_t backlog;
        std::vector<std::string> taken;
        int dropped;
    } rows[] = {
        {{"$GPRMC,1\n", "$GPGGA,1\n", "$GPRMC,2\n"}, 959, {"$GPRMC,2\n", "$GPGGA,1\n"}, 1},
        {{"$GPRMC,1\n", "$GNRMC,1\n", "!GPRMC,1\n"}, 959, {"$GPRMC,1\n", "$GNRMC,1\n", "!GPRMC,1\n"}, 0},
        {{"$PGRME,1\n", "$PGRMZ,1\n", "$PGRME,22222\n"}, 959, {"$PGRME,22222\n", "$PGRMZ,1\n"}, 1},
        // A part replaces only its own number, whatever the count says.
        {{"$GPGSV,3,1,a\n", "$GPGSV,3,2,a\n", "$GPGSV,3,1,b\n", "$GPGSV,3,3,a\n", "$GPGSV,4,2,b\n"},
         959,
         {"$GPGSV,3,1,b\n", "$GPGSV,4,2,b\n", "$GPGSV,3,3,a\n"},
         2},
        // Texts that are not one sentence are queued while there is room, as they come.
        {{"x 1\n", "x 1\n", "$gprmc,1\n", "$gprmc,1\n", "$GPRMC,1\n$GPGGA,1\n", "$GPRMC,2\n"},
         959,
         {"x 1\n", "x 1\n", "$gprmc,1\n", "$gprmc,1\n", "$GPRMC,1\n$GPGGA,1\n", "$GPRMC,2\n"},
         0},
        {{other, other, "y\n"}, 99, {other, "y\n"}, 1},
        {{text_of("y", 200), "y\n"}, 99, {text_of("y", 200)}, 1}, // one text of any length fits an empty queue
        // A newer that no longer fits: the older goes all the same.
        {{rmc30, other, rmc60}, 99, {other}, 2},
        {{rmc30, rmc60}, 10, {rmc60}, 1},
    };
    static text_queue queue;
    for (auto &row : rows) {
        int dropped = 0;
        for (size_t i = 0; i < row.offered.size(); i++) {
            int now = 0;
            text_queue_offer(&queue, row.offered[i].data(), row.offered[i].size(), static_cast<long long>(i),
                             row.backlog, &now);
            dropped += now;
        }
        EXPECT_EQ(dropped, row.dropped) << row.offered.back();
        std::vector<std::string> taken;
        char text[text_capacity];
        long long queued_ms = -1;
        for (size_t length; (length = text_queue_take(&queue, text, &queued_ms)) > 0;) {
            taken.emplace_back(text, length);
            // Its age counts from when the newer was offered.
            ASSERT_LT(static_cast<size_t>(queued_ms), row.offered.size());
            EXPECT_EQ(row.offered[static_cast<size_t>(queued_ms)], taken.back());
        }
        EXPECT_EQ(taken, row.taken) << row.offered.back();
        EXPECT_EQ(queue.used + queue.text_bytes, 0u) << row.offered.back();
    }
}

} // namespace
