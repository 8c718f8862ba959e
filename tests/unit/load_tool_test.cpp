// SPDX-License-Identifier: BSD-2-Clause
// The load tool's own arithmetic: its figures are only as good as these.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <unistd.h>

#include "load_stats.h"
#include "process_probe.h"
#include "stamped_lines.h"

TEST(LoadTool, PercentilesTakeTheNearestRank)
{
    const struct { std::vector<uint32_t> samples; double fraction; uint32_t expected; } rows[] = {
        {{}, 0.5, 0}, {{7}, 0.5, 7}, {{7}, 0.99, 7}, {{5, 1, 4, 2, 3}, 0.0, 1}, {{5, 1, 4, 2, 3}, 1.0, 5},
        {{5, 1, 4, 2, 3}, 0.5, 3},  // ceil(2.5) = 3rd smallest
        {{5, 1, 4, 2, 3}, 0.2, 1},  // exactly the 1st
        {{5, 1, 4, 2, 3}, 0.21, 2}, // just past it: the 2nd
        {{4, 1, 3, 2}, 0.5, 2},     // even count: the lower middle, no averaging
    };
    for (auto &row : rows) {
        std::vector<uint32_t> samples = row.samples;
        EXPECT_EQ(percentile(&samples, row.fraction), row.expected) << "fraction " << row.fraction;
    }
    // p99 of 1..1000 is 990 and the maximum 1000, in any order.
    std::vector<uint32_t> many(1000);
    std::iota(many.rbegin(), many.rend(), 1u);
    EXPECT_EQ(percentile(&many, 0.99), 990u);
    EXPECT_EQ(percentile(&many, 1.0), 1000u);
}

TEST(LoadTool, TallyCountsLossDuplicatesAndDisorder)
{
    std::vector<client_tally> tallies(3);
    for (client_tally &tally : tallies)
        tally_reset(&tally, 5);
    // Client 0 gets everything; client 1 misses 2 and 4, sees 3 twice and 1 late; client 2 only warm-up lines.
    for (uint32_t seq : {1u, 2u, 3u, 4u, 5u})
        EXPECT_TRUE(tally_line(&tallies[0], seq));
    const struct { uint32_t seq; bool counted; } client_1[] = {
        {3, true}, {3, false}, {5, true}, {1, true}, {6, false /* never sent */}};
    for (auto &row : client_1)
        EXPECT_EQ(tally_line(&tallies[1], row.seq), row.counted) << row.seq;
    EXPECT_FALSE(tally_line(&tallies[2], 0));

    run_losses sum = sum_losses(tallies, 5);
    EXPECT_EQ(sum.served, 3);
    EXPECT_EQ(sum.lost, 2u + 5u);
    EXPECT_EQ(sum.clients_with_loss, 2);
    EXPECT_EQ(sum.fewest_delivered, 0u);
    EXPECT_EQ(sum.duplicates, 1u);
    EXPECT_EQ(sum.out_of_order, 1u);
    EXPECT_EQ(sum.strangers, 1u);
}

TEST(LoadTool, StampedSentencesCarryValidChecksumsAndReadBackAndOthersDoNot)
{
    static sentence_body mix[mix_lines_per_second * 2];
    ASSERT_TRUE(compose_mix(mix, mix_lines_per_second * 2));
    const char *kinds[] = {"GGA", "RMC", "VTG", "GSV", "GSV", "GSV", "VDM", "VDM"};
    uint32_t seq_back = 0;
    uint64_t sent_back = 0;
    for (int i = 0; i < mix_lines_per_second * 2; i++) {
        char line[stamped_line_size];
        uint32_t seq = 4000000000u + static_cast<uint32_t>(i);
        uint64_t sent = 18446744073709551615ull - static_cast<uint64_t>(i);
        int length = stamp_sentence(mix[i], seq, sent, line, sizeof line);
        ASSERT_GT(length, 0) << i;
        EXPECT_NE(strstr(line, kinds[i % mix_lines_per_second]), nullptr) << line;
        EXPECT_TRUE(sentence_checksum_ok(line)) << line;
        ASSERT_TRUE(parse_stamp(line, static_cast<size_t>(length), &seq_back, &sent_back)) << line;
        EXPECT_EQ(seq_back, seq);
        EXPECT_EQ(sent_back, sent);
    }
    // Successive seconds differ, so a receiver's parser sees a moving fix.
    EXPECT_STRNE(mix[0].body, mix[mix_lines_per_second].body);

    // Lines without a stamp are not matched.
    const char *lines[] = {
        "{\"class\":\"VERSION\",\"release\":\"3.22\"}\n",
        "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n", // empty last field
        "$GPVTG,084.4,T,,M,022.4,N,041.5,K,A*01\n",                             // no dash
        "$GPVTG,084.4,T,,M,022.4,N,041.5,K,12-*01\n",                           // no time
        "$GPVTG,084.4,T,,M,022.4,N,041.5,K,-5*01\n",                            // no sequence
        "$GPVTG,084.4,T,,M,022.4,N,041.5,K,4294967296-5*01\n",                  // sequence too big
        "$GPVTG,084.4,T,,M,022.4,N,041.5,K,1x-5*01\n",
        "$GPVTG,1-5\n",                                                          // no checksum
    };
    for (const char *line : lines)
        EXPECT_FALSE(parse_stamp(line, strlen(line), &seq_back, &sent_back)) << line;
}

TEST(LoadTool, LineStreamJoinsReadsIntoWholeLines)
{
    static line_stream stream;
    stream_reset(&stream);
    std::vector<std::string> lines;
    const char *line;
    size_t length, room;
    const char *reads[] = {"$A,1", "-2*00\n$B,3-4*00\n$C", ",5-6*00\n", "\n"};
    for (const char *bytes : reads) {
        char *at = stream_room(&stream, &room);
        ASSERT_GE(room, strlen(bytes));
        memcpy(at, bytes, strlen(bytes));
        stream_received(&stream, strlen(bytes));
        while (stream_next_line(&stream, &line, &length))
            lines.emplace_back(line, length);
    }
    const std::vector<std::string> expected = {"$A,1-2*00\n", "$B,3-4*00\n", "$C,5-6*00\n", "\n"};
    EXPECT_EQ(lines, expected);

    // A line longer than the whole buffer is dropped, and counted, rather than stalling the stream.
    memset(stream_room(&stream, &room), 'x', room);
    stream_received(&stream, room);
    EXPECT_FALSE(stream_next_line(&stream, &line, &length));
    stream_room(&stream, &room);
    EXPECT_EQ(stream.overlong, 1u);
    EXPECT_EQ(room, line_stream_capacity);
}

TEST(LoadTool, ProcTextsAreRead)
{
    uint64_t ticks = 0;
    // A command name with spaces and a parenthesis must not shift the fields.
    EXPECT_TRUE(stat_cpu_ticks("1234 (gps fan) out) S 1 1234 1234 0 -1 4194560 100 0 0 0 "
                               "250 31 0 0 20 0 13 0 500 1000 200", &ticks));
    EXPECT_EQ(ticks, 281u);
    EXPECT_FALSE(stat_cpu_ticks("1234 gpsfanout S 1", &ticks));
    EXPECT_FALSE(stat_cpu_ticks("1234 (gpsfanout) S 1 2 3", &ticks));

    const char *status = "Name:\tgpsfanout\nVmHWM:\t    3212 kB\nVmRSS:\t    3100 kB\nThreads:\t13\n"
                         "voluntary_ctxt_switches:\t7\nnonvoluntary_ctxt_switches:\t2\n";
    EXPECT_EQ(status_number(status, "VmHWM:"), 3212);
    EXPECT_EQ(status_number(status, "Threads:"), 13);
    EXPECT_EQ(status_number(status, "voluntary_ctxt_switches:"), 7);
    EXPECT_EQ(status_number(status, "nonvoluntary_ctxt_switches:"), 2);
    EXPECT_EQ(status_number(status, "VmSwap:"), -1);

    // A sleep is a context switch of this thread's own: a short test process may have none yet.
    usleep(1000);
    process_sample self = {};
    ASSERT_TRUE(sample_process(getpid(), &self));
    EXPECT_GE(self.threads, 1);
    EXPECT_GT(self.peak_rss_kb, 0);
    EXPECT_GE(self.peak_rss_kb, self.rss_kb);
    EXPECT_GT(self.context_switches, 0u);
}
