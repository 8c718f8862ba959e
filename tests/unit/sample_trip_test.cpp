// SPDX-License-Identifier: BSD-2-Clause
// The committed sample trip is a log a receiver could have written: whole sentences with good checksums
// and CR LF, all the types the daemon's users meet, and one RMC a second, so an RMC-paced replay takes its time.
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "nmea_compose.h"
#include "replay/replay_pace.h"

namespace {

TEST(SampleTrip, EveryLineIsAWholeSentenceWithAGoodChecksumAndOneRmcASecond)
{
    std::ifstream file(std::string(GPSFANOUT_SOURCE_DIR) + "/samples/trip.nmea", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
    std::set<std::string> kinds;
    size_t lines = 0, rmc_count = 0;
    replay_pace pace = pace_start(0);
    double last_due = 0, seconds;
    for (size_t start = 0; start < text.size(); lines++) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_TRUE(sentence_checksum_ok(line.c_str())) << line;
        EXPECT_LE(line.size() + 2, 82u) << line; // the longest sentence NMEA allows
        kinds.insert(line.substr(3, 3));
        rmc_count += rmc_time_of_day(line.c_str(), &seconds);
        last_due = pace_line(&pace, line.c_str());
        start = end + 2;
    }
    EXPECT_GE(lines, 100u);
    for (const char *kind : {"GGA", "RMC", "GSV", "VTG", "VDM"})
        EXPECT_EQ(kinds.count(kind), 1u) << kind;
    EXPECT_GE(rmc_count, 60u);
    EXPECT_DOUBLE_EQ(last_due, rmc_count - 1.0);
}

} // namespace
